#include "corelib/stored_file.hpp"

#include <atomic>
#include <cstring>

#include "corelib/key_derivation.hpp"
#include "corelib/limits.hpp"
#include "corelib/platform.hpp"
#include "tr47ini/core.hpp"

namespace tr47::detail {

namespace {

constexpr char kMagic[8] = {'T', 'R', '4', '7', 'S', 'T', 'O', 'R'};
// 2: the compact value tags; 1 (fixed-width tags only) is still read.
constexpr std::uint16_t kFormatVersion = 2;
constexpr std::uint8_t kPlain = 0;
constexpr std::uint8_t kAesGcm = 1; // key from one PBKDF2 lane
constexpr std::uint8_t kAesGcmLanes = 2; // key from four lanes of a quarter of the work each
constexpr std::size_t kSaltBytes = 16;
static_assert(kStoredKeyHeadBytes == 16 + kSaltBytes, "magic, version, protection, work factor, salt");
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kDigestBytes = 32;
constexpr std::size_t kPlainHead = 12 + 8;
constexpr std::size_t kProtectedHead = 12 + 4 + kSaltBytes + kNonceBytes + 8;
static_assert(kStoredHeadBytes == kProtectedHead && kProtectedHead >= kPlainHead, "the longest head");
// Upper bound accepted on reading, so a hostile header cannot make LOAD
// spin for hours deriving a key.
constexpr std::uint32_t kMaxIterations = 10'000'000;

// OWASP 2023 recommendation for PBKDF2-HMAC-SHA256. Atomic: keys for SAVE
// are derived on a second thread.
std::atomic<std::uint32_t> g_iterations{600'000};
// New files derive their key in four lanes (protection 2).
constexpr std::uint8_t kLanes = 4;
std::atomic<std::uint8_t> g_lanes{kLanes};

// From this payload size on, work on the payload is worth a thread.
constexpr std::uint64_t kChecksumAlongsideFrom = std::uint64_t{4} << 20;

// Plain data: no destructor to pin the library.
thread_local const PayloadWork* t_alongside = nullptr;

[[noreturn]] void bad(const char* why) { raise(hr::BAD_FILE_FORMAT, std::string("Bad file format: ") + why); }
void put_le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint64_t get_le(std::string_view s, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t(static_cast<std::uint8_t>(s[at + i])) << (8 * i);
    return v;
}

using platform::sha256;

// Runs `open` (which hands the payload to work.list as it goes) on a second
// thread, then the work on both; rethrows what `open` raised. Without a
// second thread all of it runs here, one after the other.
template <class Open>
void along(const PayloadWork& work, std::string_view payload, Open&& open) {
    platform::Background opening([&] {
        try {
            open();
        } catch (...) {
            work.stop();
            throw;
        }
        work.list(payload, payload.size());
        work.work();
    });
    work.work();
    opening.join();
}

} // namespace

std::uint32_t password_iterations() { return g_iterations; }
void set_password_iterations(std::uint32_t iterations) {
    g_iterations = iterations < 1 ? 1 : iterations > kMaxIterations ? kMaxIterations : iterations;
}

std::uint8_t password_lanes() { return g_lanes; }
void set_password_lanes(std::uint8_t lanes) { g_lanes = lanes == 1 ? 1 : kLanes; }

StoredFileKey new_stored_file_key(std::string_view password) {
    StoredFileKey k;
    k.iterations = g_iterations.load();
    k.lanes = g_lanes.load();
    k.salt.resize(kSaltBytes);
    platform::random_bytes(reinterpret_cast<unsigned char*>(k.salt.data()), kSaltBytes);
    k.key = derive_stored_file_key(password, k.salt, k.iterations, k.lanes);
    return k;
}

std::string seal_stored_file(std::string_view payload, const std::string& password, const StoredFileKey* key) {
    std::string out(kMagic, sizeof kMagic);
    put_le(out, kFormatVersion, 2);
    if (password.empty()) {
        out += static_cast<char>(kPlain);
        out += '\0';
        put_le(out, payload.size(), 8);
        out.append(payload);
        out += sha256(out);
        return out;
    }
    const StoredFileKey made = key ? StoredFileKey{} : new_stored_file_key(password);
    const StoredFileKey& k = key ? *key : made;
    out += static_cast<char>(k.lanes == kLanes ? kAesGcmLanes : kAesGcm);
    out += '\0';
    put_le(out, k.iterations, 4);
    unsigned char nonce[kNonceBytes];
    platform::random_bytes(nonce, sizeof nonce);
    out.append(k.salt);
    out.append(reinterpret_cast<char*>(nonce), sizeof nonce);
    put_le(out, payload.size(), 8);
    // The header is authenticated with the payload.
    const std::size_t head = out.size();
    out.resize(head + payload.size());
    unsigned char tag[kTagBytes];
    platform::aes_gcm_encrypt(k.key, nonce, std::string_view(out.data(), head), payload, out.data() + head, tag);
    out.append(reinterpret_cast<char*>(tag), sizeof tag);
    return out;
}

namespace {
// Why the first 12 bytes are no head of a stored file, or nullptr.
const char* head_problem(std::string_view file) {
    if (file.size() < 12 || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0) return "not a stored TR47_INI file";
    const auto version = get_le(file, 8, 2);
    if (version != 1 && version != kFormatVersion) return "unknown format version";
    const auto protection = static_cast<std::uint8_t>(file[10]);
    if (protection != kPlain && protection != kAesGcm && protection != kAesGcmLanes) return "unknown protection";
    return nullptr;
}
bool valid_work_factor(std::uint32_t iterations) { return iterations >= 1 && iterations <= kMaxIterations; }
// The lanes of a protected file's key derivation.
std::uint8_t lanes_of(std::string_view head) {
    return static_cast<std::uint8_t>(head[10]) == kAesGcmLanes ? kLanes : 1;
}
} // namespace

bool stored_file_key_parameters(std::string_view head, std::string& salt, std::uint32_t& iterations,
                                std::uint8_t& lanes) {
    if (head.size() < kStoredKeyHeadBytes || head_problem(head) || static_cast<std::uint8_t>(head[10]) == kPlain)
        return false;
    iterations = static_cast<std::uint32_t>(get_le(head, 12, 4));
    lanes = lanes_of(head);
    if (!valid_work_factor(iterations)) return false;
    salt.assign(head.substr(16, kSaltBytes));
    return true;
}

std::uint64_t stored_file_length(std::string_view head) {
    if (const char* why = head_problem(head)) bad(why);
    const bool plain = static_cast<std::uint8_t>(head[10]) == kPlain;
    const std::size_t headBytes = plain ? kPlainHead : kProtectedHead;
    if (head.size() < headBytes) bad("truncated");
    if (!plain && !valid_work_factor(static_cast<std::uint32_t>(get_le(head, 12, 4)))) bad("work factor out of range");
    const std::uint64_t n = get_le(head, headBytes - 8, 8);
    if (n > limits::kMaxStoredFileBytes)
        raise(hr::LIMIT_EXCEEDED, "Stored file too large: its head promises " + std::to_string(n) + " bytes");
    return headBytes + n + (plain ? kDigestBytes : kTagBytes);
}

std::string derive_stored_file_key(std::string_view password, std::string_view salt, std::uint32_t iterations,
                                   std::uint8_t lanes) {
    if (lanes != kLanes) return pbkdf2_sha256(password, salt, iterations);
    // Four chains of a quarter of the iterations, told apart by a byte after
    // the salt, hashed together: an attacker needs all four, so a guess
    // costs the whole work factor, while a defender computes two chains at
    // once per core and with two cores waits for a quarter of it and a bit.
    const std::uint32_t each = iterations / kLanes + (iterations % kLanes != 0);
    const std::string salts[kLanes] = {std::string(salt) + '\1', std::string(salt) + '\2', std::string(salt) + '\3',
                                       std::string(salt) + '\4'};
    std::string t[kLanes];
    const auto pair = [&](int first) {
        pbkdf2_sha256_two(password, salts[first], salts[first + 1], each, t[first], t[first + 1]);
    };
    if (platform::usable_cores() >= 2) {
        platform::Background other([&] { pair(0); });
        pair(2);
        other.join();
    } else {
        pair(0);
        pair(2);
    }
    return sha256(t[0] + t[1] + t[2] + t[3]);
}

std::size_t open_stored_file(char* bytes, std::size_t& size, const std::string& password, const std::string* key) {
    const std::string_view file(bytes, size);
    if (const char* why = head_problem(file)) bad(why);
    if (static_cast<std::uint8_t>(file[10]) == kPlain) {
        constexpr std::size_t head = kPlainHead;
        if (file.size() < head + kDigestBytes) bad("truncated");
        std::uint64_t n = get_le(file, head - 8, 8);
        if (n != file.size() - head - kDigestBytes) bad("truncated or extended");
        std::string_view body = file.substr(0, head + n);
        std::string digest;
        const PayloadWork* alongside = WhileChecksummed::current();
        if (alongside && n >= kChecksumAlongsideFrom) {
            const std::string_view payload = file.substr(head, n);
            along(*alongside, payload, [&] {
                digest = sha256(
                    body, [&](std::size_t hashed) { alongside->list(payload, hashed > head ? hashed - head : 0); });
            });
        } else {
            digest = sha256(body);
        }
        if (digest != file.substr(head + n)) bad("checksum mismatch (the file is damaged)");
        if (!password.empty()) raise(hr::PERMISSION_DENIED, "Permission denied: the file is not password protected");
        // The payload stays where it is: no copy of a large file.
        size = head + n;
        return head;
    }
    constexpr std::size_t head = kProtectedHead;
    if (file.size() < head + kTagBytes) bad("truncated");
    const auto iterations = static_cast<std::uint32_t>(get_le(file, 12, 4));
    if (!valid_work_factor(iterations)) bad("work factor out of range");
    std::uint64_t n = get_le(file, head - 8, 8);
    if (n != file.size() - head - kTagBytes) bad("truncated or extended");
    if (password.empty()) raise(hr::PERMISSION_DENIED, "Permission denied: the file needs a password");
    const std::string derived =
        key ? *key : derive_stored_file_key(password, file.substr(16, kSaltBytes), iterations, lanes_of(file));
    const auto* nonce = reinterpret_cast<const unsigned char*>(file.data() + 16 + kSaltBytes);
    // Decrypted in place: a second buffer the size of the file would cost
    // as much again in memory and page faults.
    const auto decrypt = [&](const platform::Progress& progress) {
        if (!platform::aes_gcm_decrypt(derived, nonce, file.substr(0, head), file.substr(head, n), bytes + head,
                                       reinterpret_cast<const unsigned char*>(file.data() + head + n), progress))
            raise(hr::PERMISSION_DENIED, "Permission denied: wrong password or damaged file");
    };
    const PayloadWork* alongside = WhileChecksummed::current();
    if (alongside && n >= kChecksumAlongsideFrom) {
        // The work reads plain text before the tag is checked; only a
        // file whose tag matches is then read for real.
        const std::string_view payload(bytes + head, n);
        along(*alongside, payload, [&] { decrypt([&](std::size_t done) { alongside->list(payload, done); }); });
    } else {
        decrypt({});
    }
    size = head + n;
    return head;
}

WhileChecksummed::WhileChecksummed(PayloadWork work) : work_(std::move(work)), outer_(t_alongside) {
    t_alongside = &work_;
}
WhileChecksummed::~WhileChecksummed() { t_alongside = outer_; }
const PayloadWork* WhileChecksummed::current() noexcept { return t_alongside; }

} // namespace tr47::detail

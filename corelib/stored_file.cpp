#include "corelib/stored_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "tr47ini/core.hpp"

namespace tr47::detail {

namespace {

constexpr char kMagic[8] = {'T', 'R', '4', '7', 'S', 'T', 'O', 'R'};
constexpr std::uint16_t kFormatVersion = 1;
constexpr std::uint8_t kPlain = 0;
constexpr std::uint8_t kAesGcm = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kDigestBytes = 32;
// Upper bound accepted on reading, so a hostile header cannot make LOAD
// spin for hours deriving a key.
constexpr std::uint32_t kMaxIterations = 10'000'000;

std::uint32_t g_iterations = 600'000; // OWASP 2023 recommendation for PBKDF2-HMAC-SHA256

[[noreturn]] void bad(const char* why) { raise(hr::BAD_FILE_FORMAT, std::string("Bad file format: ") + why); }
[[noreturn]] void crypto_failure(const char* why) { raise(hr::E_FAIL, std::string("Cryptography failure: ") + why); }

void put_le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint64_t get_le(std::string_view s, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t(static_cast<std::uint8_t>(s[at + i])) << (8 * i);
    return v;
}

std::string sha256(std::string_view data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1) crypto_failure("digest");
    return std::string(reinterpret_cast<char*>(md), len);
}

std::string derive_key(const std::string& password, std::string_view salt, std::uint32_t iterations) {
    unsigned char key[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          static_cast<int>(iterations), EVP_sha256(), sizeof key, key) != 1)
        crypto_failure("key derivation");
    return std::string(reinterpret_cast<char*>(key), sizeof key);
}

struct CipherCtx {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

// OpenSSL takes int lengths: feed large payloads in chunks.
template <class F>
void chunked(std::size_t total, F&& f) {
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    for (std::size_t at = 0; at < total; at += kChunk) f(at, std::min(kChunk, total - at));
}

} // namespace

std::uint32_t password_iterations() { return g_iterations; }
void set_password_iterations(std::uint32_t iterations) {
    g_iterations = iterations < 1 ? 1 : iterations > kMaxIterations ? kMaxIterations : iterations;
}

std::string seal_stored_file(std::string_view payload, const std::string& password) {
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
    out += static_cast<char>(kAesGcm);
    out += '\0';
    const std::uint32_t iterations = g_iterations;
    put_le(out, iterations, 4);
    unsigned char salt[kSaltBytes], nonce[kNonceBytes];
    if (RAND_bytes(salt, sizeof salt) != 1 || RAND_bytes(nonce, sizeof nonce) != 1) crypto_failure("random bytes");
    out.append(reinterpret_cast<char*>(salt), sizeof salt);
    out.append(reinterpret_cast<char*>(nonce), sizeof nonce);
    put_le(out, payload.size(), 8);
    const std::string key = derive_key(password, std::string_view(reinterpret_cast<char*>(salt), sizeof salt), iterations);
    CipherCtx c;
    int len = 0;
    if (!c.ctx || EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) != 1 ||
        EVP_EncryptInit_ex(c.ctx, nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()), nonce) != 1 ||
        EVP_EncryptUpdate(c.ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(out.data()),
                          static_cast<int>(out.size())) != 1)
        crypto_failure("encryption setup");
    const std::size_t head = out.size();
    out.resize(head + payload.size());
    chunked(payload.size(), [&](std::size_t at, std::size_t n) {
        if (EVP_EncryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(out.data() + head + at), &len,
                              reinterpret_cast<const unsigned char*>(payload.data() + at), static_cast<int>(n)) != 1)
            crypto_failure("encryption");
    });
    unsigned char tag[kTagBytes];
    if (EVP_EncryptFinal_ex(c.ctx, tag, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, kTagBytes, tag) != 1)
        crypto_failure("encryption");
    out.append(reinterpret_cast<char*>(tag), sizeof tag);
    return out;
}

std::string open_stored_file(std::string_view file, const std::string& password) {
    if (file.size() < 12 || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0) bad("not a stored TR47_INI file");
    if (get_le(file, 8, 2) != kFormatVersion) bad("unknown format version");
    const auto protection = static_cast<std::uint8_t>(file[10]);
    if (protection == kPlain) {
        if (file.size() < 20 + kDigestBytes) bad("truncated");
        std::uint64_t n = get_le(file, 12, 8);
        if (n != file.size() - 20 - kDigestBytes) bad("truncated or extended");
        std::string_view body = file.substr(0, 20 + n);
        if (sha256(body) != file.substr(20 + n)) bad("checksum mismatch (the file is damaged)");
        if (!password.empty()) raise(hr::PERMISSION_DENIED, "Permission denied: the file is not password protected");
        return std::string(file.substr(20, n));
    }
    if (protection != kAesGcm) bad("unknown protection");
    constexpr std::size_t head = 12 + 4 + kSaltBytes + kNonceBytes + 8;
    if (file.size() < head + kTagBytes) bad("truncated");
    const auto iterations = static_cast<std::uint32_t>(get_le(file, 12, 4));
    if (iterations < 1 || iterations > kMaxIterations) bad("work factor out of range");
    std::uint64_t n = get_le(file, head - 8, 8);
    if (n != file.size() - head - kTagBytes) bad("truncated or extended");
    if (password.empty()) raise(hr::PERMISSION_DENIED, "Permission denied: the file needs a password");
    const std::string key = derive_key(password, file.substr(16, kSaltBytes), iterations);
    const auto* nonce = reinterpret_cast<const unsigned char*>(file.data() + 16 + kSaltBytes);
    CipherCtx c;
    int len = 0;
    if (!c.ctx || EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) != 1 ||
        EVP_DecryptInit_ex(c.ctx, nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()), nonce) != 1 ||
        EVP_DecryptUpdate(c.ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(file.data()),
                          static_cast<int>(head)) != 1)
        crypto_failure("decryption setup");
    std::string plain(n, '\0');
    chunked(n, [&](std::size_t at, std::size_t k) {
        if (EVP_DecryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(plain.data() + at), &len,
                              reinterpret_cast<const unsigned char*>(file.data() + head + at), static_cast<int>(k)) != 1)
            crypto_failure("decryption");
    });
    unsigned char tag[kTagBytes];
    std::memcpy(tag, file.data() + head + n, kTagBytes);
    if (EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) != 1 ||
        EVP_DecryptFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(plain.data()), &len) != 1)
        raise(hr::PERMISSION_DENIED, "Permission denied: wrong password or damaged file");
    return plain;
}

void write_file_atomically(const std::string& path, std::string_view bytes) {
    std::string dir = ".";
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
    std::string tmp = path + ".tmpXXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) raise(hr::PATH_ACCESS, "Cannot create a file beside " + path + ": " + std::strerror(errno));
    auto fail = [&](const char* what) {
        int e = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        raise(hr::PATH_ACCESS, std::string(what) + " " + path + ": " + std::strerror(e));
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            fail("Cannot write");
        }
        done += static_cast<std::size_t>(w);
    }
    // Keep the permissions of the file being replaced, else the usual ones.
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0) fail("Cannot set permissions of");
    if (::fsync(fd) != 0) fail("Cannot flush");
    if (::close(fd) != 0) {
        fd = -1;
        ::unlink(tmp.c_str());
        raise(hr::PATH_ACCESS, "Cannot close " + tmp);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        raise(hr::PATH_ACCESS, "Cannot replace " + path + ": " + std::strerror(e));
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

} // namespace tr47::detail

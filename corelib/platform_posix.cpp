// The platform services on Linux and other POSIX systems: ICU for case
// mapping and date patterns, OpenSSL for cryptography.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <dlfcn.h>
#include <unicode/uchar.h>
#include <unicode/udat.h>
#include <unicode/uvernum.h>

#include "corelib/platform.hpp"
#include "tr47ini/core.hpp"

namespace tr47::detail::platform {

namespace {

// ICU and libcrypto are opened when first needed, not when the program
// starts: a program that reads a small ASCII file needs neither, and
// loading and relocating them costs more than reading the file. The
// headers still give the types, and the version this was built with gives
// the file names and ICU's versioned symbol names.
#define TR47_TEXT2(x) #x
#define TR47_TEXT(x) TR47_TEXT2(x)

void* open_library(const char* file) {
    void* handle = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!handle) raise(hr::FAIL, std::string("Cannot load ") + file + ": " + ::dlerror());
    return handle;
}

template <class F>
F symbol_of(void* library, const char* name) {
    void* p = ::dlsym(library, name);
    if (!p) raise(hr::FAIL, std::string("Missing symbol ") + name);
    F f;
    static_assert(sizeof f == sizeof p);
    std::memcpy(&f, &p, sizeof f);
    return f;
}

// A member pointing to a library's function of that name; the name is
// expanded first, so ICU's versioned names (u_toupper_72) are looked up.
#define TR47_LIBRARY_FN(lib, name) decltype(&::name) name = symbol_of<decltype(&::name)>(lib, TR47_TEXT(name))

struct IcuCommon {
    void* lib = open_library("libicuuc.so." U_ICU_VERSION_SHORT);
    TR47_LIBRARY_FN(lib, u_toupper);
};
struct IcuFormats {
    void* lib = open_library("libicui18n.so." U_ICU_VERSION_SHORT);
    TR47_LIBRARY_FN(lib, udat_open);
    TR47_LIBRARY_FN(lib, udat_toPattern);
    TR47_LIBRARY_FN(lib, udat_close);
};

struct Crypto {
    void* lib = open_library("libcrypto.so." TR47_TEXT(OPENSSL_VERSION_MAJOR));
    TR47_LIBRARY_FN(lib, EVP_Digest);
    TR47_LIBRARY_FN(lib, EVP_MD_CTX_new);
    TR47_LIBRARY_FN(lib, EVP_MD_CTX_free);
    TR47_LIBRARY_FN(lib, EVP_DigestInit_ex);
    TR47_LIBRARY_FN(lib, EVP_DigestUpdate);
    TR47_LIBRARY_FN(lib, EVP_DigestFinal_ex);
    TR47_LIBRARY_FN(lib, EVP_sha256);
    TR47_LIBRARY_FN(lib, PKCS5_PBKDF2_HMAC);
    TR47_LIBRARY_FN(lib, RAND_bytes);
    TR47_LIBRARY_FN(lib, EVP_CIPHER_CTX_new);
    TR47_LIBRARY_FN(lib, EVP_CIPHER_CTX_free);
    TR47_LIBRARY_FN(lib, EVP_CIPHER_CTX_ctrl);
    TR47_LIBRARY_FN(lib, EVP_aes_256_gcm);
    TR47_LIBRARY_FN(lib, EVP_EncryptInit_ex);
    TR47_LIBRARY_FN(lib, EVP_EncryptUpdate);
    TR47_LIBRARY_FN(lib, EVP_EncryptFinal_ex);
    TR47_LIBRARY_FN(lib, EVP_DecryptInit_ex);
    TR47_LIBRARY_FN(lib, EVP_DecryptUpdate);
    TR47_LIBRARY_FN(lib, EVP_DecryptFinal_ex);
};
// A library's functions, loaded once by whichever thread asks first;
// never closed.
template <class Library>
const Library& loaded() {
    static const Library* const library = new Library();
    return *library;
}
const IcuCommon& icu_common() { return loaded<IcuCommon>(); }
const IcuFormats& icu_formats() { return loaded<IcuFormats>(); }
const Crypto& crypto() { return loaded<Crypto>(); }

std::string locale_from_environment(int category) {
    const char* name = std::setlocale(category, nullptr);
    std::string n = name ? name : "";
    auto unset = [](const std::string& s) { return s.empty() || s == "C" || s == "POSIX"; };
    if (unset(n)) {
        const char* catVar = category == LC_TIME ? "LC_TIME" : "LC_CTYPE";
        for (const char* var : {"LC_ALL", catVar, "LANG"}) {
            const char* v = std::getenv(var);
            if (v && !unset(v)) {
                n = v;
                break;
            }
        }
    }
    if (unset(n) || n.find('=') != std::string::npos) return "en_US";
    return n.substr(0, n.find_first_of(".@"));
}

[[noreturn]] void crypto_failure(const char* why) { raise(hr::FAIL, std::string("Cryptography failure: ") + why); }

struct CipherCtx {
    const Crypto& lib = crypto();
    EVP_CIPHER_CTX* ctx = lib.EVP_CIPHER_CTX_new();
    ~CipherCtx() { lib.EVP_CIPHER_CTX_free(ctx); }
};

// OpenSSL takes int lengths: feed large payloads in chunks.
template <class F>
void chunked(std::size_t total, F&& f) {
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    for (std::size_t at = 0; at < total; at += kChunk) f(at, std::min(kChunk, total - at));
}
// The same in steps of kProgressStep, telling `progress` after each one.
template <class F>
void stepped(std::size_t total, const Progress& progress, F&& f) {
    if (!progress) return chunked(total, f);
    for (std::size_t at = 0; at < total; at += kProgressStep) {
        const std::size_t n = std::min(kProgressStep, total - at);
        f(at, n);
        progress(at + n);
    }
}

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

} // namespace

namespace {
// Raised when the environment's locale variables are to be read again.
std::atomic<unsigned> g_locale_environment{0};
} // namespace

void forget_locale_environment() noexcept { g_locale_environment.fetch_add(1, std::memory_order_relaxed); }

namespace {
// Case mapping asks on every upper-casing of an i: the answer is kept until
// the process locale changes (asking the C library for its name is cheap,
// reading the environment is not: it grows with the environment). The
// cache is plain data: a thread-local object with a destructor would pin
// the library in memory until the thread ends.
struct LocaleCache {
    char process[64];
    char name[64];
    unsigned environment;
    bool dots_i;
    bool valid;
};

// The cache of that use, brought up to date; null when the names are too
// long to keep, and then `name` holds the answer.
const LocaleCache* current_locale(LocaleUse use, std::string& name) {
    const int category = use == LocaleUse::Dates ? LC_TIME : LC_CTYPE;
    static thread_local LocaleCache cache[2];
    LocaleCache& c = cache[use == LocaleUse::Dates ? 0 : 1];
    const char* now = std::setlocale(category, nullptr);
    const unsigned environment = g_locale_environment.load(std::memory_order_relaxed);
    if (c.valid && now && c.environment == environment && std::strcmp(now, c.process) == 0) return &c;
    name = locale_from_environment(category);
    c.valid = now && std::strlen(now) < sizeof c.process && name.size() < sizeof c.name;
    if (!c.valid) return nullptr;
    std::strcpy(c.process, now);
    std::strcpy(c.name, name.c_str());
    c.environment = environment;
    c.dots_i = dots_i_in(name);
    return &c;
}
} // namespace

std::string locale_name(LocaleUse use) {
    std::string name;
    const LocaleCache* c = current_locale(use, name);
    return c ? c->name : name;
}

bool upper_cases_i_dotted() {
    std::string name;
    const LocaleCache* c = current_locale(LocaleUse::Text, name);
    return c ? c->dots_i : dots_i_in(name);
}

bool day_before_month() {
    // The answer for the last locale asked about, kept as plain data (see
    // locale_name); asking ICU opens a date formatter.
    struct Last {
        char name[64];
        bool day_first;
        bool valid;
    };
    static thread_local Last last;
    const std::string name = locale_name(LocaleUse::Dates);
    if (last.valid && name == last.name) return last.day_first;
    bool dayFirst = false;
    const IcuFormats& icu = icu_formats();
    UErrorCode status = U_ZERO_ERROR;
    UDateFormat* f = icu.udat_open(UDAT_NONE, UDAT_SHORT, name.c_str(), nullptr, 0, nullptr, 0, &status);
    if (f && U_SUCCESS(status)) {
        UChar pattern[64];
        const int32_t n = icu.udat_toPattern(f, false, pattern, 64, &status);
        if (U_SUCCESS(status)) {
            int d = -1, m = -1;
            for (int32_t i = 0; i < n && i < 64; ++i) {
                if (pattern[i] == u'd' && d < 0) d = i;
                if (pattern[i] == u'M' && m < 0) m = i;
            }
            dayFirst = d >= 0 && m >= 0 && d < m;
        }
    }
    if (f) icu.udat_close(f);
    last.valid = name.size() < sizeof last.name;
    if (last.valid) {
        std::strcpy(last.name, name.c_str());
        last.day_first = dayFirst;
    }
    return dayFirst;
}

char32_t simple_upper(char32_t cp) { return static_cast<char32_t>(icu_common().u_toupper(static_cast<UChar32>(cp))); }

std::string sha256(std::string_view data, const Progress& progress) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    const Crypto& c = crypto();
    if (!progress) {
        if (c.EVP_Digest(data.data(), data.size(), md, &len, c.EVP_sha256(), nullptr) != 1) crypto_failure("digest");
        return std::string(reinterpret_cast<char*>(md), len);
    }
    struct Ctx {
        const Crypto& lib;
        EVP_MD_CTX* ctx = lib.EVP_MD_CTX_new();
        ~Ctx() { lib.EVP_MD_CTX_free(ctx); }
    } h{c};
    if (!h.ctx || c.EVP_DigestInit_ex(h.ctx, c.EVP_sha256(), nullptr) != 1) crypto_failure("digest");
    stepped(data.size(), progress, [&](std::size_t at, std::size_t n) {
        if (c.EVP_DigestUpdate(h.ctx, data.data() + at, n) != 1) crypto_failure("digest");
    });
    if (c.EVP_DigestFinal_ex(h.ctx, md, &len) != 1) crypto_failure("digest");
    return std::string(reinterpret_cast<char*>(md), len);
}

std::string derive_key(std::string_view password, std::string_view salt, std::uint32_t iterations, std::size_t length) {
    std::string key(length, '\0');
    const Crypto& c = crypto();
    if (c.PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), bytes(salt),
                            static_cast<int>(salt.size()), static_cast<int>(iterations), c.EVP_sha256(),
                            static_cast<int>(length), reinterpret_cast<unsigned char*>(key.data())) != 1)
        crypto_failure("key derivation");
    return key;
}

void random_bytes(unsigned char* out, std::size_t n) {
    if (crypto().RAND_bytes(out, static_cast<int>(n)) != 1) crypto_failure("random bytes");
}

void aes_gcm_encrypt(std::string_view key, const unsigned char* nonce, std::string_view aad, std::string_view plain,
                     char* cipher, unsigned char* tag) {
    CipherCtx c;
    int len = 0;
    if (!c.ctx || c.lib.EVP_EncryptInit_ex(c.ctx, c.lib.EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        c.lib.EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1 ||
        c.lib.EVP_EncryptInit_ex(c.ctx, nullptr, nullptr, bytes(key), nonce) != 1 ||
        c.lib.EVP_EncryptUpdate(c.ctx, nullptr, &len, bytes(aad), static_cast<int>(aad.size())) != 1)
        crypto_failure("encryption setup");
    chunked(plain.size(), [&](std::size_t at, std::size_t n) {
        if (c.lib.EVP_EncryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(cipher + at), &len, bytes(plain) + at,
                                    static_cast<int>(n)) != 1)
            crypto_failure("encryption");
    });
    unsigned char rest[16];
    if (c.lib.EVP_EncryptFinal_ex(c.ctx, rest, &len) != 1 ||
        c.lib.EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, 16, tag) != 1)
        crypto_failure("encryption");
}

bool aes_gcm_decrypt(std::string_view key, const unsigned char* nonce, std::string_view aad, std::string_view cipher,
                     char* plain, const unsigned char* tag, const Progress& progress) {
    CipherCtx c;
    int len = 0;
    if (!c.ctx || c.lib.EVP_DecryptInit_ex(c.ctx, c.lib.EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        c.lib.EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1 ||
        c.lib.EVP_DecryptInit_ex(c.ctx, nullptr, nullptr, bytes(key), nonce) != 1 ||
        c.lib.EVP_DecryptUpdate(c.ctx, nullptr, &len, bytes(aad), static_cast<int>(aad.size())) != 1)
        crypto_failure("decryption setup");
    stepped(cipher.size(), progress, [&](std::size_t at, std::size_t k) {
        if (c.lib.EVP_DecryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(plain + at), &len, bytes(cipher) + at,
                                    static_cast<int>(k)) != 1)
            crypto_failure("decryption");
    });
    unsigned char expected[16], rest[16];
    std::memcpy(expected, tag, 16);
    return c.lib.EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, 16, expected) == 1 &&
           c.lib.EVP_DecryptFinal_ex(c.ctx, rest, &len) == 1;
}

FileKind file_kind(const std::string& path, std::uint64_t* size) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return FileKind::Missing;
    if (size) *size = static_cast<std::uint64_t>(st.st_size);
    if (S_ISREG(st.st_mode)) return FileKind::Regular;
    return S_ISDIR(st.st_mode) ? FileKind::Directory : FileKind::Other;
}

std::FILE* open_for_reading(const std::string& path) {
    // Not blocking: a FIFO put in the file's place since it was looked at
    // would otherwise wait for a writer. Anything but a regular file is
    // refused once it is open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    const auto fail = [fd](int e) -> std::FILE* {
        ::close(fd);
        errno = e;
        return nullptr;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(errno);
    std::FILE* f = ::fdopen(fd, "rb");
    return f ? f : fail(errno);
}

void write_file_atomically(const std::string& path, std::string_view data, bool secret) {
    std::string dir = ".";
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
    // A regular file of this user keeps its permissions, without
    // set-user-ID, set-group-ID and sticky bits and, under a password,
    // without those for others. Anything else at the name (nothing, a
    // symbolic link, which is replaced and never followed, another user's
    // file) gives way to a new file: 0666, under a password 0600, less the
    // umask, which open applies.
    struct stat old {};
    const bool keep = ::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) && old.st_uid == ::geteuid();
    // A name of its own, as mkstemp would make it, but with the mode above
    // from the start (mkstemp's 0600 would leave only fchmod, which
    // ignores the umask).
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        unsigned char r[6];
        random_bytes(r, sizeof r);
        tmp = path + ".tmp";
        for (unsigned char c : r) tmp += kChars[c % 62];
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, secret ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) raise(hr::PATH_ACCESS, "Cannot create a file beside " + path + ": " + std::strerror(errno));
    auto fail = [&](const char* what) {
        int e = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        raise(hr::PATH_ACCESS, std::string(what) + " " + path + ": " + std::strerror(e));
    };
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            fail("Cannot write");
        }
        done += static_cast<std::size_t>(w);
    }
    if (keep && ::fchmod(fd, old.st_mode & (secret ? 0770 : 0777)) != 0) fail("Cannot set permissions of");
    if (::fsync(fd) != 0) fail("Cannot flush");
    if (::close(fd) != 0) {
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

std::uintptr_t stack_floor() {
    static thread_local std::uintptr_t floor = [] {
        pthread_attr_t attr;
        std::uintptr_t low = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<std::uintptr_t>(addr);
            pthread_attr_destroy(&attr);
        }
        return low;
    }();
    return floor;
}

void prefer_large_pages(void* data, std::size_t size) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLarge = std::uintptr_t{2} << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kLarge - 1) & ~(kLarge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kLarge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data, (void)size;
#endif
}

unsigned usable_cores() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

struct Background::State {
    std::function<void()> work;
    std::exception_ptr error;
    pthread_t thread{};
    bool running = false;

    static void* run(void* self) {
        auto* s = static_cast<State*>(self);
        try {
            s->work();
        } catch (...) {
            s->error = std::current_exception();
        }
        return nullptr;
    }
};

Background::Background(std::function<void()> work) : state_(new State{std::move(work), nullptr}) {
    state_->running = pthread_create(&state_->thread, nullptr, &State::run, state_.get()) == 0;
    if (!state_->running) State::run(state_.get());
}

Background::~Background() {
    if (state_->running) pthread_join(state_->thread, nullptr);
}

void Background::join() {
    if (state_->running) {
        pthread_join(state_->thread, nullptr);
        state_->running = false;
    }
    if (state_->error) std::rethrow_exception(std::exchange(state_->error, nullptr));
}

} // namespace tr47::detail::platform

// The platform services on Windows: the national-language API for case
// mapping and date patterns, CNG (bcrypt) for cryptography, wide-character
// file functions for UTF-8 paths.
#include <windows.h>
#include <bcrypt.h>

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <cwchar>
#include <string>

#include "corelib/platform.hpp"
#include "corelib/utf.hpp"
#include "tr47ini/core.hpp"

namespace tr47::detail::platform {

namespace {

std::string last_error_text() {
    const DWORD code = GetLastError();
    wchar_t buf[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                             sizeof buf / sizeof buf[0], nullptr);
    while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L'.')) --n;
    buf[n] = 0;
    return n ? wide_to_utf8(std::wstring_view(buf, n)) : "error " + std::to_string(code);
}

[[noreturn]] void crypto_failure(const char* why, NTSTATUS status) {
    char code[16];
    std::snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(status));
    raise(hr::FAIL, std::string("Cryptography failure: ") + why + " (status 0x" + code + ")");
}

void check(NTSTATUS status, const char* why) {
    if (!BCRYPT_SUCCESS(status)) crypto_failure(why, status);
}

ULONG ulong_size(std::size_t n) {
    if (n > 0xFFFFFFFFu) raise(hr::LIMIT_EXCEEDED, "Data too large for the platform's cryptography");
    return static_cast<ULONG>(n);
}

PUCHAR bytes(std::string_view s) { return reinterpret_cast<PUCHAR>(const_cast<char*>(s.data())); }

struct Algorithm {
    BCRYPT_ALG_HANDLE handle = nullptr;
    Algorithm(const wchar_t* id, ULONG flags) {
        check(BCryptOpenAlgorithmProvider(&handle, id, nullptr, flags), "algorithm provider");
    }
    ~Algorithm() { BCryptCloseAlgorithmProvider(handle, 0); }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
};

struct GcmKey {
    Algorithm aes{BCRYPT_AES_ALGORITHM, 0};
    BCRYPT_KEY_HANDLE key = nullptr;
    explicit GcmKey(std::string_view secret) {
        check(BCryptSetProperty(aes.handle, BCRYPT_CHAINING_MODE,
                                reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                sizeof(BCRYPT_CHAIN_MODE_GCM), 0),
              "chaining mode");
        check(BCryptGenerateSymmetricKey(aes.handle, &key, nullptr, 0, bytes(secret), ulong_size(secret.size()), 0),
              "key");
    }
    ~GcmKey() { BCryptDestroyKey(key); }
    GcmKey(const GcmKey&) = delete;
    GcmKey& operator=(const GcmKey&) = delete;
};

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO gcm_info(const unsigned char* nonce, std::string_view aad, unsigned char* tag) {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce);
    info.cbNonce = 12;
    info.pbAuthData = bytes(aad);
    info.cbAuthData = ulong_size(aad.size());
    info.pbTag = tag;
    info.cbTag = 16;
    return info;
}

} // namespace

void forget_locale_environment() noexcept {}

std::string locale_name(LocaleUse) {
    wchar_t name[LOCALE_NAME_MAX_LENGTH];
    if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) == 0 || !name[0]) return "en_US";
    std::string n = wide_to_utf8(name);
    for (char& c : n)
        if (c == '-') c = '_';
    return n;
}

bool upper_cases_i_dotted() { return dots_i_in(locale_name(LocaleUse::Text)); }

bool day_before_month() {
    wchar_t pattern[96];
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SSHORTDATE, pattern, 96) == 0) return false;
    const wchar_t* d = std::wcschr(pattern, L'd');
    const wchar_t* m = std::wcschr(pattern, L'M');
    return d && m && d < m;
}

char32_t simple_upper(char32_t cp) {
    wchar_t in[2], out[4];
    int n = 1;
    if (cp >= 0x10000) {
        in[0] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
        in[1] = static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        n = 2;
    } else {
        in[0] = static_cast<wchar_t>(cp);
    }
    const int got = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, in, n, out, 4, nullptr, nullptr, 0);
    // Only one-to-one mappings count.
    if (got == 1 && n == 1 && (out[0] < 0xD800 || out[0] > 0xDFFF)) return static_cast<char32_t>(out[0]);
    if (got == 2 && out[0] >= 0xD800 && out[0] <= 0xDBFF && out[1] >= 0xDC00 && out[1] <= 0xDFFF)
        return 0x10000 + ((static_cast<char32_t>(out[0]) - 0xD800) << 10) + (static_cast<char32_t>(out[1]) - 0xDC00);
    return cp;
}

std::string sha256(std::string_view data, const Progress& progress) {
    Algorithm alg(BCRYPT_SHA256_ALGORITHM, 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    check(BCryptCreateHash(alg.handle, &hash, nullptr, 0, nullptr, 0, 0), "digest");
    unsigned char md[32];
    NTSTATUS st = 0;
    if (!progress) {
        st = BCryptHashData(hash, bytes(data), ulong_size(data.size()), 0);
    } else {
        for (std::size_t at = 0; at < data.size() && BCRYPT_SUCCESS(st); at += kProgressStep) {
            const std::string_view step = data.substr(at, kProgressStep);
            st = BCryptHashData(hash, bytes(step), ulong_size(step.size()), 0);
            if (BCRYPT_SUCCESS(st)) progress(at + step.size());
        }
    }
    if (BCRYPT_SUCCESS(st)) st = BCryptFinishHash(hash, md, sizeof md, 0);
    BCryptDestroyHash(hash);
    check(st, "digest");
    return std::string(reinterpret_cast<char*>(md), sizeof md);
}

std::string derive_key(std::string_view password, std::string_view salt, std::uint32_t iterations, std::size_t length) {
    Algorithm prf(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    std::string key(length, '\0');
    check(BCryptDeriveKeyPBKDF2(prf.handle, bytes(password), ulong_size(password.size()), bytes(salt),
                                ulong_size(salt.size()), iterations, reinterpret_cast<PUCHAR>(key.data()),
                                ulong_size(length), 0),
          "key derivation");
    return key;
}

void random_bytes(unsigned char* out, std::size_t n) {
    check(BCryptGenRandom(nullptr, out, ulong_size(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG), "random bytes");
}

void aes_gcm_encrypt(std::string_view key, const unsigned char* nonce, std::string_view aad, std::string_view plain,
                     char* cipher, unsigned char* tag) {
    GcmKey k(key);
    auto info = gcm_info(nonce, aad, tag);
    ULONG done = 0;
    check(BCryptEncrypt(k.key, bytes(plain), ulong_size(plain.size()), &info, nullptr, 0,
                        reinterpret_cast<PUCHAR>(cipher), ulong_size(plain.size()), &done, 0),
          "encryption");
}

// One step: the progress hears of the whole at once.
bool aes_gcm_decrypt(std::string_view key, const unsigned char* nonce, std::string_view aad, std::string_view cipher,
                     char* plain, const unsigned char* tag, const Progress& progress) {
    GcmKey k(key);
    unsigned char expected[16];
    std::memcpy(expected, tag, 16);
    auto info = gcm_info(nonce, aad, expected);
    ULONG done = 0;
    const NTSTATUS st = BCryptDecrypt(k.key, bytes(cipher), ulong_size(cipher.size()), &info, nullptr, 0,
                                      reinterpret_cast<PUCHAR>(plain), ulong_size(cipher.size()), &done, 0);
    if (st == static_cast<NTSTATUS>(0xC000A002L)) return false; // STATUS_AUTH_TAG_MISMATCH
    check(st, "decryption");
    if (progress) progress(cipher.size());
    return true;
}

FileKind file_kind(const std::string& path, std::uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExW(utf8_to_wide(path).c_str(), GetFileExInfoStandard, &data))
        return FileKind::Missing;
    if (size) *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Directory;
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) ? FileKind::Other : FileKind::Regular;
}

std::FILE* open_for_reading(const std::string& path) {
    std::FILE* f = _wfopen(utf8_to_wide(path).c_str(), L"rb");
    // Files on a disk only: a device (CON, NUL, a serial port) or a pipe
    // could keep a reader waiting or never end.
    if (f && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) != FILE_TYPE_DISK) {
        std::fclose(f);
        errno = EINVAL;
        return nullptr;
    }
    return f;
}

// The new file takes the folder's inherited permissions; `secret` changes
// nothing here.
void write_file_atomically(const std::string& path, std::string_view data, bool) {
    unsigned char salt[6];
    random_bytes(salt, sizeof salt);
    std::string tmp = path + ".tmp";
    for (unsigned char b : salt) {
        static const char hex[] = "0123456789abcdef";
        tmp += hex[b >> 4];
        tmp += hex[b & 15];
    }
    const std::wstring wtmp = utf8_to_wide(tmp), wpath = utf8_to_wide(path);
    HANDLE h = CreateFileW(wtmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        raise(hr::PATH_ACCESS, "Cannot create a file beside " + path + ": " + last_error_text());
    auto fail = [&](const char* what) {
        const std::string why = last_error_text();
        CloseHandle(h);
        DeleteFileW(wtmp.c_str());
        raise(hr::PATH_ACCESS, std::string(what) + " " + path + ": " + why);
    };
    std::size_t done = 0;
    while (done < data.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(h, data.data() + done, chunk, &wrote, nullptr)) fail("Cannot write");
        done += wrote;
    }
    if (!FlushFileBuffers(h)) fail("Cannot flush");
    CloseHandle(h);
    if (!MoveFileExW(wtmp.c_str(), wpath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::string why = last_error_text();
        DeleteFileW(wtmp.c_str());
        raise(hr::PATH_ACCESS, "Cannot replace " + path + ": " + why);
    }
}

std::uintptr_t stack_floor() {
    static thread_local std::uintptr_t floor = [] {
        ULONG_PTR low = 0, high = 0;
        GetCurrentThreadStackLimits(&low, &high);
        return static_cast<std::uintptr_t>(low);
    }();
    return floor;
}

// Large pages need a privilege that programs seldom hold: left to the system.
void prefer_large_pages(void*, std::size_t) {}

unsigned usable_cores() {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
    unsigned n = 0;
    for (; process; process &= process - 1) ++n;
    return n;
}

struct Background::State {
    std::function<void()> work;
    std::exception_ptr error;
    HANDLE thread = nullptr;

    static DWORD WINAPI run(void* self) {
        auto* s = static_cast<State*>(self);
        try {
            s->work();
        } catch (...) {
            s->error = std::current_exception();
        }
        return 0;
    }
};

Background::Background(std::function<void()> work) : state_(new State{std::move(work), nullptr}) {
    state_->thread = CreateThread(nullptr, 0, &State::run, state_.get(), 0, nullptr);
    if (!state_->thread) State::run(state_.get());
}

Background::~Background() {
    if (state_->thread) {
        WaitForSingleObject(state_->thread, INFINITE);
        CloseHandle(state_->thread);
    }
}

void Background::join() {
    if (state_->thread) {
        WaitForSingleObject(state_->thread, INFINITE);
        CloseHandle(state_->thread);
        state_->thread = nullptr;
    }
    if (state_->error) std::rethrow_exception(std::exchange(state_->error, nullptr));
}

} // namespace tr47::detail::platform

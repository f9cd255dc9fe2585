// The few services the library takes from the operating system: locale
// facts, case mapping, cryptography, files and the thread's stack. One
// implementation per platform (platform_posix.cpp, platform_win32.cpp);
// everything else in the library is the same on both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tr47::detail::platform {

// Locale name of the user ("de_DE", "en_US") for dates or for case mapping;
// "en_US" when the system names none. The process locale when a program has
// set one, else the environment's LC_ALL, LC_CTYPE/LC_TIME and LANG, read
// when the process locale changes (and after forget_locale_environment).
enum class LocaleUse { Dates, Text };
std::string locale_name(LocaleUse use);
void forget_locale_environment() noexcept;

// Whether case mapping under that locale upper-cases i to İ (Turkish, Azeri).
inline bool dots_i_in(std::string_view localeName) {
    return localeName.substr(0, 2) == "tr" || localeName.substr(0, 2) == "az";
}
// The same for the locale of case mapping now (as locale_name follows it).
bool upper_cases_i_dotted();

// Whether the user's short date writes the day before the month.
bool day_before_month();

// One-to-one upper-case mapping of a code point (letters whose upper case
// is several letters map to themselves).
char32_t simple_upper(char32_t cp);

// Told after each step of a long hash or decryption how many leading bytes
// are done (the last call: all of them).
using Progress = std::function<void(std::size_t done)>;
constexpr std::size_t kProgressStep = std::size_t{1} << 20;

// SHA-256 of the bytes.
std::string sha256(std::string_view data, const Progress& progress = {});
// PBKDF2-HMAC-SHA256, `length` bytes.
std::string derive_key(std::string_view password, std::string_view salt, std::uint32_t iterations, std::size_t length);
void random_bytes(unsigned char* out, std::size_t n);
// AES-256-GCM with a 12-byte nonce and a 16-byte tag; the associated data
// is authenticated, not encrypted. Decryption answers false when the tag
// does not match (wrong key or damaged data). Decryption may write the
// plain text over the cipher text (plain == cipher.data()).
void aes_gcm_encrypt(std::string_view key, const unsigned char* nonce, std::string_view aad, std::string_view plain,
                     char* cipher, unsigned char* tag);
bool aes_gcm_decrypt(std::string_view key, const unsigned char* nonce, std::string_view aad, std::string_view cipher,
                     char* plain, const unsigned char* tag, const Progress& progress = {});

enum class FileKind { Missing, Regular, Directory, Other };
FileKind file_kind(const std::string& path, std::uint64_t* size = nullptr);
// Opens a file for binary reading; nullptr and errno set on failure. Paths
// are UTF-8 on every platform.
std::FILE* open_for_reading(const std::string& path);
// Writes the whole file beside the old one and renames it over, so that a
// failure leaves the old file as it was. `secret`: the bytes are protected
// by a password, and the file is kept from other users.
void write_file_atomically(const std::string& path, std::string_view bytes, bool secret);

// Asks for large pages behind a large buffer not yet touched, so that
// filling it costs a few page faults instead of one per 4 KiB; a hint only.
void prefer_large_pages(void* data, std::size_t size);

// Cores this process may run on (its affinity), at least 1.
unsigned usable_cores();

// Lowest usable address of this thread's stack, or 0 when unknown.
std::uintptr_t stack_floor();

// Work on a thread of its own, so that it can overlap with this thread's.
// join() waits for it and rethrows what it threw; the destructor waits too.
// When no thread can be started the work runs at once, in the constructor.
class Background {
public:
    explicit Background(std::function<void()> work);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    void join();

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace tr47::detail::platform

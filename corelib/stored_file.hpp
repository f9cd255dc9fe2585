// The stored-value file of LOAD and SAVE: framing, checksum and password
// protection. Layout documented in docs/stored-file-format.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tr47::detail {

// PBKDF2-HMAC-SHA256 work factor written into new protected files.
std::uint32_t password_iterations();
void set_password_iterations(std::uint32_t iterations);
// How new protected files derive their key from that work: 4 (new files)
// in four lanes of a quarter of the iterations each, two at once per core;
// 1 in one (files of earlier versions). For tests.
std::uint8_t password_lanes();
void set_password_lanes(std::uint8_t lanes);

// A new file's salt, work factor and the key derived from them.
struct StoredFileKey {
    std::string salt;
    std::uint32_t iterations = 0;
    std::uint8_t lanes = 4;
    std::string key;
};
// A fresh random salt at the current work factor, and its key.
StoredFileKey new_stored_file_key(std::string_view password);

// Frames (and, with a password, encrypts) a payload into file bytes; `key`,
// when given, was made for the password by new_stored_file_key.
std::string seal_stored_file(std::string_view payload, const std::string& password, const StoredFileKey* key = nullptr);
// Bytes at the start of a file that say how its key is derived.
constexpr std::size_t kStoredKeyHeadBytes = 32;
// The key derivation the first bytes of a file ask for; false when the file
// is not protected or its head is not valid (open_stored_file says why).
// The key can then be derived while the rest of the file is read.
bool stored_file_key_parameters(std::string_view head, std::string& salt, std::uint32_t& iterations,
                                std::uint8_t& lanes);
std::string derive_stored_file_key(std::string_view password, std::string_view salt, std::uint32_t iterations,
                                   std::uint8_t lanes);

// Bytes of the longest head: a protected file's, up to its payload length.
constexpr std::size_t kStoredHeadBytes = 52;
// The length a whole file must have by the head it starts with (at most
// kStoredHeadBytes, the file's first bytes). Raises the error that
// open_stored_file would for a foreign file, an unknown version or
// protection, a head cut short or a payload longer than LOAD accepts, so
// that such a file is refused before the rest of it is read.
std::uint64_t stored_file_length(std::string_view head);

// Checks and opens file bytes in place: afterwards the first `size` bytes
// end with the payload, which starts at the returned offset. Raises an
// error for a wrong password, a tampered, truncated or foreign file. `key`,
// when given, is the key derived from the password and the parameters of
// these bytes.
std::size_t open_stored_file(char* bytes, std::size_t& size, const std::string& password,
                             const std::string* key = nullptr);

// Work on a stored file's payload that runs while the file is opened: it
// must change nothing a failed open would leave changed, and never throws.
// One thread hashes (or decrypts) the payload step by step and hands each
// readable stretch to `list`; then it joins the opening thread in `work`,
// which takes what `list` found, waiting for more until `list` has seen the
// whole payload or `stop` was called (the open failed on the way).
struct PayloadWork {
    std::function<void(std::string_view payload, std::size_t readable)> list;
    std::function<void()> stop;
    std::function<void()> work;
};

// While one lives on a thread, a large stored file opened there for reading
// has `work` done on its payload: an unprotected one while its checksum is
// computed, a protected one while it is decrypted (the check of its tag
// comes at the end). A file whose checksum or tag is wrong is refused as
// before, after the work ends. Smaller files leave the work undone.
class WhileChecksummed {
public:
    explicit WhileChecksummed(PayloadWork work);
    ~WhileChecksummed();
    WhileChecksummed(const WhileChecksummed&) = delete;
    WhileChecksummed& operator=(const WhileChecksummed&) = delete;
    // The work of the innermost one on this thread, or null.
    static const PayloadWork* current() noexcept;

private:
    PayloadWork work_;
    const PayloadWork* outer_;
};

} // namespace tr47::detail

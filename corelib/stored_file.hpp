// The stored-value file of LOAD and SAVE: framing, checksum and password
// protection. Layout documented in docs/stored-file-format.md.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tr47::detail {

// PBKDF2-HMAC-SHA256 work factor written into new protected files.
std::uint32_t password_iterations();
void set_password_iterations(std::uint32_t iterations);

// Frames (and, with a password, encrypts) a payload into file bytes.
std::string seal_stored_file(std::string_view payload, const std::string& password);
// Checks and opens file bytes in place: afterwards `bytes` ends with the
// payload, which starts at the returned offset. Raises an error for a wrong
// password, a tampered, truncated or foreign file.
std::size_t open_stored_file(std::string& bytes, const std::string& password);

} // namespace tr47::detail

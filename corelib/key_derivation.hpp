// PBKDF2-HMAC-SHA256 for the password of stored files.
//
// The work factor is what protects a password, so the defender's own
// derivation should cost no more than an attacker's: with the processor's
// SHA extensions the HMAC states are precomputed once and every iteration is
// exactly two block compressions. Without them the platform's implementation
// is used; both give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tr47::detail {

// `length` bytes of PBKDF2-HMAC-SHA256(password, salt, iterations).
std::string pbkdf2_sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                          std::size_t length = 32);

// 32 bytes of PBKDF2-HMAC-SHA256 for each of two salts, computed together:
// with the SHA extensions the two chains take about 1.25 times as long as
// one.
void pbkdf2_sha256_two(std::string_view password, std::string_view salt1, std::string_view salt2,
                       std::uint32_t iterations, std::string& out1, std::string& out2);

// Whether pbkdf2_sha256 runs on the SHA extensions on this processor.
bool key_derivation_uses_sha_extensions();

// The SHA-extension implementation itself, for comparison with the
// platform's; only valid when key_derivation_uses_sha_extensions().
std::string pbkdf2_sha256_extensions(std::string_view password, std::string_view salt, std::uint32_t iterations,
                                     std::size_t length);

} // namespace tr47::detail

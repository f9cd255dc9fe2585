// Hashes of keys as the key index compares them: two keys that
// normalise_key makes equal hash equal.
#pragma once

#include <cstdint>
#include <string_view>

namespace tr47::detail {

// The hash of a key already normalised (a result of normalise_key).
std::uint32_t hash_normalised_key(std::string_view normalised) noexcept;
// The hash of normalise_key(key), without building that text for the usual
// short ASCII key.
std::uint32_t key_hash(std::string_view key);

} // namespace tr47::detail

// The library-wide key generation: how a collection's key index learns
// that a key it may hold has changed somewhere.
#pragma once

#include <atomic>
#include <cstdint>

namespace tr47::detail {

// Advances whenever a key that a collection may have indexed can have
// changed (an identifier, a value's NAME, an entry's DATA). Shared by the
// documents of all threads, hence atomic; only its changes matter.
extern std::atomic<std::uint64_t> key_generation;
inline void advance_key_generation() noexcept { key_generation.fetch_add(1, std::memory_order_relaxed); }
inline std::uint64_t current_key_generation() noexcept { return key_generation.load(std::memory_order_relaxed); }

} // namespace tr47::detail

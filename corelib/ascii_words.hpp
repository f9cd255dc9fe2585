// Eight bytes at a time: the word tricks that key comparison, case mapping
// and the import's scans share.
#pragma once

#include <cstdint>
#include <cstring>

namespace tr47::detail {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// The bytes from p on, at most eight of the n left, as one word; zeros
// past the end.
inline std::uint64_t word_at(const char* p, std::size_t n) noexcept {
    std::uint64_t w = 0;
    if (n >= 8) {
        std::memcpy(&w, p, 8);
    } else if (n >= 4) {
        // Two overlapping halves: the bytes they share are the same.
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        w = lo | std::uint64_t{hi} << (8 * (n - 4));
    } else if (n > 0) {
        const auto at = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i); };
        w = at(0) | at(n / 2) | at(n - 1);
    }
    return w;
}

// Whether some byte of a word is below `bound` (at most 0x80):
// (w - bound..) & ~w & 0x80.. is non-zero exactly then.
constexpr bool has_byte_below(std::uint64_t w, unsigned bound) noexcept {
    return ((w - kOnes * bound) & ~w & kHighBits) != 0;
}

// Whether a word holds the byte c.
constexpr bool holds_byte(std::uint64_t w, char c) noexcept {
    return has_byte_below(w ^ (kOnes * static_cast<unsigned char>(c)), 1);
}

// A word of ASCII bytes with its letters upper-cased: a byte from 'a' on
// gains its high bit by one addition, a byte from '{' on by another (no
// carry crosses bytes below 0x80).
constexpr std::uint64_t ascii_upper_word(std::uint64_t w) noexcept {
    const std::uint64_t fromA = w + kOnes * (0x80 - 'a');
    const std::uint64_t pastZ = w + kOnes * (0x80 - 'z' - 1);
    return w - (((fromA & ~pastZ) & kHighBits) >> 2);
}

} // namespace tr47::detail

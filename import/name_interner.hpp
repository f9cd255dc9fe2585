// Value names of an import, kept once each in the packed pool.
//
// Settings files repeat a small vocabulary of names ("Enabled", "Path",
// "Timeout") in group after group; keeping each spelling once instead of
// once per value takes a tenth off an imported file's memory. Only exact
// byte matches share a text, so every value keeps its own spelling.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "corelib/key_hash.hpp"
#include "model/packed.hpp"

namespace tr47::detail {

class NameInterner {
public:
    // Names longer than this are rarely repeated: they are copied as before.
    static constexpr std::size_t kLongestShared = 64;
    // The table stops growing here (1 MiB); later new names are copied.
    static constexpr std::uint32_t kMostSlots = 1u << 16;

    explicit NameInterner(PackedPool& pool) : pool_(pool) {}

    const char* keep(std::string_view name) {
        if (name.empty() || name.size() > kLongestShared) {
            last_ = kNone;
            return pool_.keep(name);
        }
        if (!slots_) grow(1024);
        // Groups repeat their names in the same order: the name that came
        // after the last one before is tried first, without a hash.
        if (last_ != kNone) {
            const std::uint32_t guess = slots_[last_].follower;
            if (guess != kNone && slots_[guess].length == name.size() &&
                same_bytes(slots_[guess].text, name.data(), name.size())) {
                last_ = guess;
                return slots_[guess].text;
            }
        }
        const std::uint32_t h = hash(name);
        std::uint32_t i = h & mask_;
        for (;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (!s.text) break;
            if (s.hash == h && s.length == name.size() && same_bytes(s.text, name.data(), name.size()))
                return followed_by(i);
        }
        const char* kept = pool_.keep(name);
        if ((used_ + 1) * 4 > (mask_ + 1) * 3) {
            if (mask_ + 1 >= kMostSlots) {
                last_ = kNone;
                return kept;
            }
            grow((mask_ + 1) * 2);
        }
        ++used_;
        return followed_by(place({kept, static_cast<std::uint32_t>(name.size()), h}));
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    struct Slot {
        const char* text = nullptr;
        std::uint32_t length = 0;
        std::uint32_t hash = 0;
        std::uint32_t follower = kNone; // the slot of the name met after it last
    };

    // The text of slot i, which now follows the last name kept.
    const char* followed_by(std::uint32_t i) noexcept {
        if (last_ != kNone) slots_[last_].follower = i;
        last_ = i;
        return slots_[i].text;
    }

    // Most names are 4 to 16 bytes: two loads each, overlapping.
    static bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
        const auto same = [&](std::size_t at, auto word) {
            decltype(word) x, y;
            std::memcpy(&x, a + at, sizeof x);
            std::memcpy(&y, b + at, sizeof y);
            return x == y;
        };
        if (n >= 8 && n <= 16) return same(0, std::uint64_t{}) && same(n - 8, std::uint64_t{});
        if (n >= 4 && n < 8) return same(0, std::uint32_t{}) && same(n - 4, std::uint32_t{});
        return std::memcmp(a, b, n) == 0;
    }

    static std::uint32_t hash(std::string_view s) noexcept { return hash_bytes(s); }

    std::uint32_t place(const Slot& entry) noexcept {
        std::uint32_t i = entry.hash & mask_;
        while (slots_[i].text) i = (i + 1) & mask_;
        slots_[i] = entry;
        return i;
    }

    // Slots move: the followers start over.
    void grow(std::uint32_t slots) {
        std::unique_ptr<Slot[]> old = std::move(slots_);
        const std::uint32_t oldSlots = old ? mask_ + 1 : 0;
        slots_ = std::make_unique<Slot[]>(slots);
        mask_ = slots - 1;
        for (std::uint32_t i = 0; i < oldSlots; ++i)
            if (old[i].text) place({old[i].text, old[i].length, old[i].hash});
        last_ = kNone;
    }

    PackedPool& pool_;
    std::unique_ptr<Slot[]> slots_;
    std::uint32_t mask_ = 0;
    std::uint32_t used_ = 0;
    std::uint32_t last_ = kNone; // the slot of the name kept last
};

} // namespace tr47::detail

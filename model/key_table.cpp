#include "model/key_table.hpp"

#include <algorithm>

#include "tr47ini/corelib.hpp"

namespace tr47::detail {

std::uint32_t KeyTable::capacity_for(std::size_t n) {
    // At most three quarters full keeps the runs of linear probing short
    // enough for keys that are compared by their hash first.
    const std::uint64_t c = std::max<std::uint64_t>(8, (4 * static_cast<std::uint64_t>(n) + 2) / 3 + 1);
    if (c > (std::uint64_t{1} << 31)) raise(hr::LIMIT_EXCEEDED, "Too many entries in one collection");
    return static_cast<std::uint32_t>(c);
}

void KeyTable::rehash(std::uint32_t capacity) {
    const std::uint32_t oldCapacity = capacity_;
    std::unique_ptr<Slot[]> old = std::move(slots_);
    slots_ = std::make_unique<Slot[]>(capacity); // value-initialised: all free
    capacity_ = capacity;
    for (std::uint32_t i = 0; i < oldCapacity; ++i)
        if (old[i].position != 0) {
            std::uint32_t j = home(old[i].hash);
            while (slots_[j].position != 0) j = next(j);
            slots_[j] = old[i];
        }
}

void KeyTable::insert(std::uint32_t hash, std::int32_t position) {
    // Growing by half at least: entries added one by one cost amortised O(1).
    if (!slots_ || 4 * (std::uint64_t{used_} + 1) > 3 * std::uint64_t{capacity_})
        rehash(std::max<std::uint32_t>(capacity_for(used_ + 1), capacity_ + capacity_ / 2));
    std::uint32_t i = home(hash);
    while (slots_[i].position != 0) i = next(i);
    slots_[i] = {hash, position};
    ++used_;
}

bool KeyTable::replace(std::uint32_t hash, std::int32_t from, std::int32_t to) {
    if (!slots_ || from == 0) return false;
    std::uint32_t i = home(hash);
    while (slots_[i].position != 0 && !(slots_[i].hash == hash && slots_[i].position == from)) i = next(i);
    if (slots_[i].position == 0) return false;
    if (to != 0) {
        slots_[i].position = to;
        return true;
    }
    // Removal by shifting back the entries after it that probed past it,
    // so no run is cut short.
    --used_;
    std::uint32_t hole = i;
    for (std::uint32_t j = next(i); slots_[j].position != 0; j = next(j)) {
        const std::uint32_t home = this->home(slots_[j].hash);
        // The entry may move into the hole when its home is not in (hole, j].
        const bool homeBetween = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (!homeBetween) {
            slots_[hole] = slots_[j];
            hole = j;
        }
    }
    slots_[hole] = {0, 0};
    return true;
}

} // namespace tr47::detail

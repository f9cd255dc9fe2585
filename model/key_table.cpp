#include "model/key_table.hpp"

#include "tr47ini/corelib.hpp"

namespace tr47::detail {

std::uint32_t KeyTable::capacity_for(std::size_t n) {
    // At most three quarters full keeps the runs of linear probing short
    // enough for keys that are compared by their hash first.
    std::uint64_t c = 8;
    while (c * 3 < 4 * static_cast<std::uint64_t>(n)) c *= 2;
    if (c > (std::uint64_t{1} << 31)) raise(hr::LIMIT_EXCEEDED, "Too many entries in one collection");
    return static_cast<std::uint32_t>(c);
}

void KeyTable::rehash(std::uint32_t capacity) {
    const std::uint32_t oldCapacity = slots_ ? mask_ + 1 : 0;
    std::unique_ptr<Slot[]> old = std::move(slots_);
    slots_ = std::make_unique<Slot[]>(capacity); // value-initialised: all free
    mask_ = capacity - 1;
    for (std::uint32_t i = 0; i < oldCapacity; ++i)
        if (old[i].position != 0) {
            std::uint32_t j = old[i].hash & mask_;
            while (slots_[j].position != 0) j = (j + 1) & mask_;
            slots_[j] = old[i];
        }
}

void KeyTable::insert(std::uint32_t hash, std::int32_t position) {
    if (!slots_ || 4 * (std::uint64_t{used_} + 1) > 3 * (std::uint64_t{mask_} + 1)) rehash(capacity_for(used_ + 1));
    std::uint32_t i = hash & mask_;
    while (slots_[i].position != 0) i = (i + 1) & mask_;
    slots_[i] = {hash, position};
    ++used_;
}

bool KeyTable::replace(std::uint32_t hash, std::int32_t from, std::int32_t to) {
    if (!slots_ || from == 0) return false;
    std::uint32_t i = hash & mask_;
    while (slots_[i].position != 0 && !(slots_[i].hash == hash && slots_[i].position == from)) i = (i + 1) & mask_;
    if (slots_[i].position == 0) return false;
    if (to != 0) {
        slots_[i].position = to;
        return true;
    }
    // Removal by shifting back the entries after it that probed past it,
    // so no run is cut short.
    --used_;
    std::uint32_t hole = i;
    for (std::uint32_t j = (i + 1) & mask_; slots_[j].position != 0; j = (j + 1) & mask_) {
        const std::uint32_t home = slots_[j].hash & mask_;
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

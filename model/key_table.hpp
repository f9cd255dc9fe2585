// The key index of a collection: an open-addressing table of (hash of the
// normalised key, position). One block for the whole collection, so that
// indexing a group of twenty values costs one allocation, not twenty
// nodes and key copies.
#pragma once

#include <cstdint>
#include <memory>

namespace tr47::detail {

class KeyTable {
public:
    KeyTable() = default;
    explicit KeyTable(std::size_t expected) { rehash(capacity_for(expected)); }

    void insert(std::uint32_t hash, std::int32_t position);
    // Replaces the position `from` under `hash` by `to`, or removes it when
    // `to` is 0; false when it is not there.
    bool replace(std::uint32_t hash, std::int32_t from, std::int32_t to);
    // Calls f(position) for every position under `hash` (and perhaps a few
    // others whose hash collides in the table's bits): the caller compares
    // the keys. Positions come in no particular order.
    template <class F>
    void for_each_candidate(std::uint32_t hash, F&& f) const {
        if (!slots_) return;
        for (std::uint32_t i = home(hash); slots_[i].position != 0; i = next(i))
            if (slots_[i].hash == hash) f(slots_[i].position);
    }
    std::size_t size() const noexcept { return used_; }

private:
    struct Slot {
        std::uint32_t hash;
        std::int32_t position; // 0: free
    };
    static std::uint32_t capacity_for(std::size_t n);
    void rehash(std::uint32_t capacity);
    // Any capacity, not only powers of two: the hash's high bits pick the
    // home slot, so a table sized for its entries wastes no half of itself.
    std::uint32_t home(std::uint32_t hash) const noexcept {
        return static_cast<std::uint32_t>((std::uint64_t{hash} * capacity_) >> 32);
    }
    std::uint32_t next(std::uint32_t i) const noexcept { return i + 1 == capacity_ ? 0 : i + 1; }

    std::unique_ptr<Slot[]> slots_;
    std::uint32_t capacity_ = 0;
    std::uint32_t used_ = 0;
};

} // namespace tr47::detail

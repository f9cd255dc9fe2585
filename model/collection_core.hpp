// The machinery behind a keyed collection: its slot array, the packed
// records of entries not made real yet, and the key index.
//
// Slot 0 is a placeholder, so that positions are 1-based as clients see
// them. A slot is filled on first read: from its packed record, or (values
// and enumerations) with a new default entry. The key index keeps look-ups
// O(1) on average while the first match in position order still wins.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <string>
#include <string_view>
#include <vector>

#include "corelib/inline_first_list.hpp"
#include "model/key_table.hpp"
#include "model/packed.hpp"

namespace tr47::detail {

// Clears a taken flag when it goes.
class FlagTaken {
public:
    explicit FlagTaken(std::atomic<bool>& flag) : flag_(flag) {}
    ~FlagTaken() { flag_.store(false, std::memory_order_release); }
    FlagTaken(const FlagTaken&) = delete;
    FlagTaken& operator=(const FlagTaken&) = delete;

private:
    std::atomic<bool>& flag_;
};

// Held while a slot of a collection is filled from its group record (which
// the real group takes over) or while that record is stored; waits while
// another thread holds it.
class SlotClaim : FlagTaken {
public:
    explicit SlotClaim(std::atomic<bool>& flag) : FlagTaken(flag) {
        // Sequentially consistent, as walks pin the records: either the walk
        // sees the flag or the filler sees the walk.
        while (flag.exchange(true, std::memory_order_seq_cst)) std::this_thread::yield();
    }
};

class CollectionCore {
public:
    using Kind = CollectionBase::Kind;

    CollectionCore(CollectionBase& owner, Kind kind);
    ~CollectionCore();
    CollectionCore(const CollectionCore&) = delete;
    CollectionCore& operator=(const CollectionCore&) = delete;

    static CollectionCore& of(CollectionBase& c) noexcept { return *c.core_; }
    static const CollectionCore& of(const CollectionBase& c) noexcept { return *c.core_; }

    // An entry joins or leaves a slot of this collection.
    void joined(Persistable& entry) noexcept { entry.holder_ = entry.in_collections_++ == 0 ? &owner_ : nullptr; }
    // Until its data object is made, the entry's identifier is its name.
    static void identifier_follows_name(Persistable& entry) noexcept { entry.identifier_is_name_ = true; }
    static void left(Persistable& entry) noexcept {
        --entry.in_collections_;
        entry.holder_ = nullptr;
    }
    // The key of an entry held here alone changed: the index looks again.
    void keys_changed() noexcept { local_generation_.fetch_add(1, std::memory_order_relaxed); }
    static void key_changed(Persistable& entry) noexcept;

    // Whether entries may be appended in packed form: the database object
    // raises its events on this collection alone, so appending past it is
    // the same as adding through it.
    bool accepts_packed() const noexcept;
    void append_packed(PackedValue&& record, const ref<PackedPool>& pool);
    void append_packed(PackedGroup&& record, const ref<PackedPool>& pool);
    // Appends records (with the pools their texts live in) at the end.
    void adopt(RecordList<PackedValue>&& records, const PoolList& pools);
    void adopt(RecordList<PackedGroup>&& records, const PoolList& pools);

    // VALUE's look-up in a values collection: the content of the first
    // value of that NAME, found in one search and read without making a
    // packed value real; false when there is none.
    bool value_content(std::string_view name, const NormalisedKey& key, Variant& out);
    // The packed records still waiting (null when there are none).
    const PackedSlots* packed_records() const noexcept { return packed_.get(); }

    // Walks over the tree read group records in place instead of making
    // every group real. While a walk holds a pin on a collection whose
    // search is its own, a thread that would take one of its records over
    // waits; a pin is refused while a slot is being filled (false).
    bool pin_records() noexcept;
    void unpin_records() noexcept { walkers_.fetch_sub(1, std::memory_order_release); }
    // What a pinned walk finds at a position without making anything real:
    // the real entry, the packed record, or neither (the entry must be made
    // real first).
    struct Peek {
        Persistable* real = nullptr;
        const PackedGroup* packed = nullptr;
    };
    Peek peek(std::int32_t position) const noexcept;

    // What the public members of the collection do.
    bool allocated() const noexcept { return kind_ != Kind::Groups || allocated_; }
    std::int32_t upper_bound() const noexcept {
        return slots_.empty() ? 0 : static_cast<std::int32_t>(slots_.size()) - 1;
    }
    const std::string& entry_class_name() const;
    void rebuild(std::int32_t n);
    // Entry at a position as the model sees it (create-on-read for values
    // and enumerations); out-of-range raises.
    ref<Persistable> entry_at(std::int32_t position);
    ref<Object> item_object(const Variant& pID, bool pForceIndex);
    // The database object, made when first asked for (null after a client
    // set it to Nothing).
    ref<DatabaseObject> database_object();
    void set_database(ref<DatabaseObject> database);
    // Whether this collection's database object answers for it alone (or
    // there is none yet): its search is then this collection's own.
    bool answers_alone() const noexcept;
    // The database object's rules: through it when there is one, else run
    // on this collection alone (error 91 after a client set it to Nothing).
    std::int32_t count();
    bool exists(const Variant& ID);
    ref<Object> item(const Variant& ID, bool forceIndex);
    bool remove(const Variant& ID, bool forceIndex);
    void add(const ref<tmp_Data>& entry, const Variant& ID);

    void clear();
    void import(const ref<tmp_Data>& NewEntry, const Variant& ID);
    void remove(std::int32_t ID);
    std::int32_t search(const Variant& ID);
    // search for a text ID, normalised as `wanted` (asVariant: the same ID
    // as a variant, if the caller has one).
    std::int32_t search_text(std::string_view ID, const NormalisedKey& wanted, const Variant* asVariant);

    void copy_from(CollectionBase& other);
    void store(FileObject& f);
    void read(FileObject& f);

private:
    template <class F>
    auto route(F&& f);
    ref<Persistable> new_entry() const;
    Variant key_of(Persistable* entry) const;
    // Key of the entry at a position without making a packed one real: a
    // text in `text` (true) or another value in `other`.
    bool key_at(std::int32_t position, std::string_view& text, Variant& other);
    bool packed_at(std::int32_t position) const noexcept;
    // Fills an empty slot on first read (from its packed record, or a new
    // entry), published once for all reading threads.
    ref<Persistable> fill_slot(std::int32_t position);
    void make_real(std::int32_t position);
    // Groups: the slot array (with its placeholder) exists.
    void ensure_array();
    PackedSlots& packed_slots();
    void check_position(std::int32_t position) const;
    void set_slot(std::size_t position, ref<Persistable> entry);
    void drop_index() noexcept;
    // The current index, built when there is none and no other thread is
    // building one; null when another thread is.
    struct Index;
    Index* current_index();
    bool is_current(const Index* index) const noexcept;
    std::int32_t search_linear(const Variant& ID);

    // The collection as its database object's events reach it.
    DatabaseEvents* sink() const noexcept { return &owner_; }

    struct Index {
        explicit Index(std::size_t expected) : positions(expected) {}
        std::uint64_t generation = 0; // the library-wide key generation
        std::uint64_t local_generation = 0; // this collection's
        KeyTable positions; // of the entries whose key is a string, by folded_key_hash
        InlineFirstList<std::int32_t> non_text; // positions whose key is no string
        Index* retired_next = nullptr;
    };

    // Widest fields first: a collection is made for every group reached.
    CollectionBase& owner_;
    ref<DatabaseObject> database_;
    std::vector<ref<Persistable>> slots_; // slot 0 is the placeholder
    // Readers on several threads may build and publish an index; one that a
    // newer index replaced stays until the next change of the collection, as
    // a reader may still be using it.
    std::atomic<Index*> index_{nullptr};
    std::atomic<Index*> retired_{nullptr};
    std::atomic<std::uint64_t> local_generation_{0};
    // Packed records of the slots not made real yet (values and groups).
    std::unique_ptr<PackedSlots> packed_;
    std::atomic<std::uint32_t> walkers_{0}; // pins of walks reading records in place
    std::atomic<std::uint32_t> empty_slots_{0}; // slots that hold no entry (groups)
    const Kind kind_;
    bool database_assigned_ = false; // a client set DATABASE (Nothing included)
    bool allocated_ = false; // groups: whether the array exists
    std::atomic<bool> building_index_{false};
    std::atomic<bool> filling_slot_{false};
};

} // namespace tr47::detail

// Packed entries: the compact form in which imported and loaded values and
// groups wait in their collections until a client first reaches them.
//
// An imported value as a real object costs two heap objects and several
// strings (about 300 bytes); packed it costs one 32-byte record and its
// texts in a shared pool. The collection turns a record into the real
// object on first access and from then on holds that object, so clients
// see the same object every time and cannot tell the forms apart.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include "corelib/key_hash.hpp"
#include "corelib/platform.hpp"
#include "corelib/stored_cursor.hpp"
#include "model/key_table.hpp"
#include "tr47ini/model.hpp"

namespace tr47::detail {

// Texts of packed entries, copied into large chunks. Shared by every
// collection that holds records pointing into it.
class PackedPool final : public Object {
public:
    static ref<PackedPool> create() { return ref<PackedPool>(new PackedPool()); }
    // The text as it lives as long as the pool: a copy, or the text itself
    // when it lies in the bytes set by view_within.
    const char* keep(std::string_view text);
    // Room for `bytes` of records (8-byte aligned) that lives as long as the
    // pool: an import's record lists then share its large chunks instead of
    // taking a heap block (and its first-touch page faults) each.
    void* allot(std::size_t bytes);
    // Keeps an object (the bytes of a stored file) alive as long as the pool.
    void hold(const ref<Object>& keeper) {
        if (keeper && (held_.empty() || held_.back() != keeper)) held_.push_back(keeper);
    }
    // Texts inside these bytes, which outlive the pool (it holds their
    // keeper), are kept without a copy: a stored group made real reads its
    // values' texts in place.
    void view_within(std::string_view bytes) noexcept { viewed_ = bytes; }

    // Whether record lists read into this pool may reserve `bytes` ahead of
    // the counts their collections announce. Over the pool's life that room
    // is at most the size of the stored form it is first read from
    // (`stored`), so a file with false counts cannot make it allocate more.
    bool reserve_ahead(std::size_t bytes, std::size_t stored) {
        if (!reserve_set_) reserve_left_ = stored, reserve_set_ = true;
        if (bytes > reserve_left_) return false;
        reserve_left_ -= bytes;
        return true;
    }

private:
    PackedPool() = default;
    // A new chunk for `bytes`: the room of a chunk of their own (returned),
    // or a fresh current chunk (nullptr; free_ and left_ set).
    char* open_chunk(std::size_t bytes);
    std::size_t reserve_left_ = 0;
    bool reserve_set_ = false;
    // Chunks from 2 MiB on start on a huge-page boundary.
    struct FreeChunk {
        bool aligned = false;
        void operator()(char* p) const noexcept;
    };
    std::vector<std::unique_ptr<char[], FreeChunk>> chunks_;
    char* free_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_chunk_ = 256;
    std::vector<ref<Object>> held_;
    std::string_view viewed_;
};

// Blocks from this size on ask for huge pages.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// A list of records: a vector that costs 16 bytes, not 24, and grows from
// one element, since most packed groups hold few values and children.
template <class T>
class RecordList {
public:
    RecordList() = default;
    RecordList(RecordList&& o) noexcept { take(o); }
    RecordList& operator=(RecordList&& o) noexcept {
        if (this != &o) {
            free_all();
            take(o);
        }
        return *this;
    }
    ~RecordList() { free_all(); }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& front() noexcept { return data_[0]; }
    T& back() noexcept { return data_[size_ - 1]; }

    void push_back(T&& item) {
        if (size_ == cap_) grow_to(cap_ == 0 ? 1 : std::size_t{cap_} * 2);
        new (data_ + size_) T(std::move(item));
        ++size_;
    }
    void pop_back() noexcept { data_[--size_].~T(); }
    // An empty list takes room for exactly n records in the pool, which
    // owns it: the list never frees it, and moves to the heap if it grows.
    // Whoever holds the list must hold the pool too, and drop the list
    // first.
    void place_in(PackedPool& pool, std::size_t n) {
        if (n == 0 || cap_ != 0) return reserve(n);
        within_capacity(n);
        data_ = static_cast<T*>(pool.allot(n * sizeof(T)));
        cap_ = static_cast<std::uint32_t>(n);
        in_pool_ = 1;
    }
    // An exact reservation (the count is known): from 2 MiB on in huge
    // pages, which it fills, so that it is not faulted in 4 KiB at a time.
    void reserve(std::size_t n) {
        if (n <= cap_) return;
        grow_to(n);
        if (n * sizeof(T) >= kHugePageBytes) platform::prefer_large_pages(data_, n * sizeof(T));
    }
    void resize(std::size_t n) {
        reserve(n);
        while (size_ < n) new (data_ + size_++) T();
        while (size_ > n) pop_back();
    }
    void clear() noexcept {
        while (size_ > 0) pop_back();
    }
    void shrink_to_fit() {
        if (cap_ > size_) move_to(size_);
    }

private:
    // The capacity has 31 bits (the last one tells pool room apart).
    static void within_capacity(std::size_t n) {
        if (n > INT32_MAX) raise(hr::LIMIT_EXCEEDED, "Too many entries in one collection");
    }
    void grow_to(std::size_t n) {
        within_capacity(n);
        move_to(n);
    }
    void move_to(std::size_t n) {
        T* fresh = n ? static_cast<T*>(::operator new(n * sizeof(T))) : nullptr;
        for (std::uint32_t i = 0; i < size_; ++i) {
            new (fresh + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        release_room();
        data_ = fresh;
        cap_ = static_cast<std::uint32_t>(n);
    }
    void take(RecordList& o) noexcept {
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        cap_ = o.cap_;
        in_pool_ = o.in_pool_;
        o.cap_ = 0;
        o.in_pool_ = 0;
    }
    void release_room() noexcept {
        if (!in_pool_) ::operator delete(data_);
        in_pool_ = 0;
    }
    void free_all() noexcept {
        clear();
        release_room();
        data_ = nullptr;
        cap_ = 0;
    }
    T* data_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t cap_ : 31 = 0;
    std::uint32_t in_pool_ : 1 = 0; // the room belongs to a pool
};

// Stored: a group read by LOAD and kept in its stored form (a span of the
// file) until first reached; only its SORT and NAME are read.
enum class PackedForm : std::uint8_t { None, Packed, Object, Stored };

// One value slot. Packed: NAME (which is also the identifier), SORT and a
// CONTENT of a plain subtype, empty DESCRIPTION, no ENUMREF. Object: a
// real value that had to be made at once (it owns one reference).
//
// 24 bytes, as imports hold one per value: a NAME up to 64 KiB and a SORT
// up to 63 have a packed form (the kinds are 0 to 7); others are objects.
struct PackedValue {
    static constexpr std::size_t kMaxNameBytes = UINT16_MAX;
    static constexpr std::int32_t kMaxSort = 63;
    // Whether a value of that NAME length and SORT can be packed.
    static constexpr bool packable(std::size_t nameBytes, std::int32_t sort) noexcept {
        return nameBytes <= kMaxNameBytes && sort >= 0 && sort <= kMaxSort;
    }

    const char* name = nullptr;
    union {
        const char* text;
        double number;
        std::int32_t lng;
        bool flag;
        cls_INIValue* object;
    } u{};
    std::uint32_t text_len = 0;
    std::uint16_t name_len = 0;
    VarType type = VarType::Empty;

    PackedValue() = default;
    PackedValue(PackedValue&& o) noexcept { take(o); }
    PackedValue& operator=(PackedValue&& o) noexcept {
        if (this != &o) {
            reset();
            take(o);
        }
        return *this;
    }
    ~PackedValue() { reset(); }

    static PackedValue holding(ref<cls_INIValue> v);
    // The same record (an object record takes a reference of its own).
    static PackedValue copy_of(const PackedValue& r) noexcept;
    std::string_view key() const noexcept { return {name, name_len}; }
    // NAME, whose length packable() has checked.
    void set_name(const char* text, std::size_t bytes) noexcept {
        name = text;
        name_len = static_cast<std::uint16_t>(bytes);
    }
    std::int32_t sort() const noexcept { return sort_and_form_ & 0x3F; }
    void set_sort(std::int32_t sort) noexcept {
        sort_and_form_ = static_cast<std::uint8_t>((sort_and_form_ & 0xC0) | (sort & 0x3F));
    }
    PackedForm form() const noexcept { return static_cast<PackedForm>(sort_and_form_ >> 6); }
    void set_form(PackedForm form) noexcept {
        sort_and_form_ = static_cast<std::uint8_t>((sort_and_form_ & 0x3F) | (static_cast<unsigned>(form) << 6));
    }
    Variant content() const;
    // Sets the content when its subtype has a packed form; false otherwise.
    bool set_content(const Variant& v, PackedPool& pool);
    void reset() noexcept;

private:
    void take(PackedValue& o) noexcept {
        copy_fields(o);
        o.set_form(PackedForm::None);
    }
    void copy_fields(const PackedValue& o) noexcept {
        name = o.name;
        name_len = o.name_len;
        text_len = o.text_len;
        u = o.u;
        type = o.type;
        sort_and_form_ = o.sort_and_form_;
    }
    std::uint8_t sort_and_form_ = 0; // SORT in the low six bits, the form in the top two
};

// One group slot. Packed: SORT and NAME (also the identifier), empty
// DESCRIPTION, its values and child groups packed in turn, and collections
// with an empty identifier. Object: a real group. Stored: the span of a
// stored file that holds the group.
//
// Deep imports hold one record per level: 72 bytes, so that a chain of
// single children costs one small block per level.
struct PackedGroup {
    const char* name = nullptr;
    const char* sort = nullptr;
    std::uint32_t name_len = 0;
    std::uint32_t sort_len = 0;
    union {
        cls_INIGroup* object = nullptr; // Object
        const char* span; // Stored
    };
    std::uint32_t span_len = 0; // stored files stay below 4 GiB
    PackedForm form = PackedForm::None;
    RecordList<PackedValue> values; // Packed
    RecordList<PackedGroup> children; // Packed

    PackedGroup() = default;
    PackedGroup(PackedGroup&& o) noexcept { take(o); }
    PackedGroup& operator=(PackedGroup&& o) noexcept {
        if (this != &o) {
            reset();
            take(o);
        }
        return *this;
    }
    ~PackedGroup() { reset(); }

    static PackedGroup holding(ref<cls_INIGroup> g);
    std::string_view key() const noexcept { return {name, name_len}; }
    void reset() noexcept;

private:
    void take(PackedGroup& o) noexcept {
        name = o.name;
        sort = o.sort;
        name_len = o.name_len;
        sort_len = o.sort_len;
        if (o.form == PackedForm::Stored)
            span = o.span;
        else
            object = std::exchange(o.object, nullptr);
        span_len = o.span_len;
        values = std::move(o.values);
        children = std::move(o.children);
        form = std::exchange(o.form, PackedForm::None);
    }
};

// The check of a stored group (its span) on its bytes alone, for the forms
// SAVE writes: true when reading it raises no error, with the stored groups
// below it added to `below`; false when unsure (then it is read through).
bool stored_group_reads_through(std::string_view span, std::vector<std::string_view>& below) noexcept;

// While one lives on a thread, reading groups (LOAD) reads every group kept
// in its stored form through once, so that a broken one fails the read.
class CheckStoredGroups {
public:
    CheckStoredGroups();
    ~CheckStoredGroups();
    CheckStoredGroups(const CheckStoredGroups&) = delete;
    CheckStoredGroups& operator=(const CheckStoredGroups&) = delete;

private:
    bool on_;
};

// Whether every span of a stored payload, wherever it stands, holds a group
// that reads through (the check above passes for each). One thread lists
// the spans as the payload becomes readable, in steps: the bytes it walks
// over were just hashed or decrypted, so the walk from span to span costs
// no trip to memory. Any number of threads check the spans listed so far,
// in batches, and wait for more until the list is complete or stopped.
class StoredPayloadCheck {
public:
    // The payload's first `readable` bytes may be read (growing from call to
    // call; the list is complete once they are all of it). One thread only.
    void list(std::string_view payload, std::size_t readable) noexcept;
    // Nothing more will be listed: the check fails.
    void stop() noexcept;
    void work() noexcept;
    // After all threads ended: true when every span read through; false
    // when unsure.
    bool passed() const noexcept {
        return complete_.load(std::memory_order_acquire) && !failed_.load(std::memory_order_acquire) &&
               checked_.load(std::memory_order_acquire) == listed_.load(std::memory_order_acquire);
    }

private:
    static constexpr std::size_t kBlock = 4096;
    void fail() noexcept;
    bool add(std::string_view span) noexcept;
    std::string_view at(std::size_t i) const noexcept { return blocks_[i / kBlock][i % kBlock]; }

    // The lister's place; blocks of spans, none moved once listed.
    std::optional<StoredCursor> cursor_;
    std::vector<std::unique_ptr<std::string_view[]>> blocks_;
    std::atomic<std::size_t> listed_{0};
    std::atomic<bool> complete_{false};
    std::atomic<bool> failed_{false};
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> checked_{0};
};

// While one lives on a thread, the check above is off: the payload being
// read was found to read through as a whole beforehand.
class StoredGroupsChecked {
public:
    StoredGroupsChecked();
    ~StoredGroupsChecked();
    StoredGroupsChecked(const StoredGroupsChecked&) = delete;
    StoredGroupsChecked& operator=(const StoredGroupsChecked&) = delete;

private:
    unsigned char before_;
};

// Packed groups nest at most this deep below a real one, so the native
// recursion of storing, reading and freeing packed trees stays bounded; a
// deeper group is made real and packs its own children again.
constexpr int kMaxPackedDepth = 128;

// The pools that a collection's records point into: nearly always one,
// which is kept inline.
class PoolList {
public:
    PoolList() = default;
    explicit PoolList(ref<PackedPool> pool) : first_(std::move(pool)) {}
    void add(const ref<PackedPool>& pool) {
        if (!pool || pool == first_) return;
        for (const auto& p : more_)
            if (p == pool) return;
        if (!first_)
            first_ = pool;
        else
            more_.push_back(pool);
    }
    void add_all(const PoolList& other) {
        other.for_each([&](const ref<PackedPool>& p) { add(p); });
    }
    template <class F>
    void for_each(F&& f) const {
        if (first_) f(first_);
        for (const auto& p : more_) f(p);
    }

private:
    ref<PackedPool> first_;
    std::vector<ref<PackedPool>> more_;
};

// Below this many entries a collection is searched by a linear scan, which
// is as fast as its key index and costs no memory.
constexpr std::size_t kIndexedFrom = 16;
// Stored values tagged by key (below kIndexedFrom): fewer are read in turn.
constexpr std::size_t kTaggedFrom = 4;

// Values of a group made real from its record, waiting until its values
// collection is first asked for. Never changed once set: look-ups on other
// threads read them while the collection is made from copies.
//
// - From an import's records: groups of fewer than kIndexedFrom values keep
//   the records (larger ones get their collection, and its key index, at
//   once).
// - From the stored form: every group keeps its values as the stored bytes
//   (`stored_count` values, each of the plain form a record takes) and reads
//   them on each look-up, through a key index of their starts when there are
//   many, else through their starts and key tags (five bytes a value): a
//   loaded tree then costs no record per value reached, and a look-up reads
//   only the value it finds.
struct PendingValues {
    // First, so that it outlives the records placed in its pools.
    PoolList pools;
    RecordList<PackedValue> values;
    const char* stored = nullptr;
    std::uint32_t stored_bytes = 0;
    std::uint32_t stored_count = 0;
    // Stored values from kIndexedFrom on: where each starts in `stored`,
    // and their key index (positions from 1, by folded_key_hash).
    struct StoredIndex {
        std::vector<std::uint32_t> starts;
        KeyTable keys;
    };
    std::unique_ptr<StoredIndex> stored_index;
    // Fewer stored values: where each starts in `stored` (stored_count
    // 32-bit offsets), then the key_tag of each.
    std::unique_ptr<std::uint8_t[]> stored_tags;

    // The content of the first stored value of that name.
    bool find_stored(const NormalisedKey& wanted, Variant& out) const;
    // Records of all values, in their order (texts in the same bytes).
    RecordList<PackedValue> records() const;
};

// The parts of a real group that the packed machinery reaches.
struct GroupAccess {
    static void set_pending(cls_INIGroup& g, std::unique_ptr<PendingValues> pending);
    static const PendingValues* pending(const cls_INIGroup& g) noexcept { return g.pending_values_.get(); }
    // The values collection if it was made, without making it.
    static cls_INIValues* values_made(const cls_INIGroup& g) noexcept { return g.values_.load_acquire(); }
};

// Records of a collection, index = position - 1; the collection's slot
// array holds the objects already made.
struct PackedSlots {
    PoolList pools;
    RecordList<PackedValue> values;
    RecordList<PackedGroup> groups;
};

// Real objects from packed records (identifier set without invalidating
// any key index: nothing holds the new object yet).
ref<cls_INIValue> make_value(PackedValue& record);
ref<cls_INIGroup> make_group(PackedGroup& record, const PoolList& pools);

// The stored forms of packed records, value for value as the real objects
// write them.
void store_value(FileObject& f, const PackedValue& record);
void store_group(FileObject& f, const PackedGroup& record);
// The stored form of a packed group itself, without the span around it.
void store_packed_group(FileObject& f, const PackedGroup& record);

// Reads n stored entries into records; what has no packed form becomes an
// object record. Entries read before a failure are kept in `out`.
void read_values(FileObject& f, std::int32_t n, RecordList<PackedValue>& out, PackedPool& pool);
void read_groups(FileObject& f, std::int32_t n, RecordList<PackedGroup>& out, PackedPool& pool, int depth);

} // namespace tr47::detail

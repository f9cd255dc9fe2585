// The machinery of the keyed collections: slots filled on first read,
// packed records, the key index and the stored form of the entries.
#include "model/collection_core.hpp"

#include <algorithm>
#include <optional>
#include <thread>

#include "corelib/database_rules.hpp"
#include "corelib/key_hash.hpp"
#include "corelib/key_generation.hpp"
#include "model/internal.hpp"

namespace tr47::detail {

CollectionCore::CollectionCore(CollectionBase& owner, Kind kind) : owner_(owner), kind_(kind) {
    if (kind_ != Kind::Groups) slots_.emplace_back();
}

CollectionCore::~CollectionCore() {
    if (database_) database_->unbind(sink());
    for (auto& s : slots_)
        if (s) left(*s);
    drop_index();
}

void CollectionCore::set_database(ref<DatabaseObject> database) {
    if (database_) database_->unbind(sink());
    database_ = std::move(database);
    database_assigned_ = true;
    if (database_) database_->bind(sink());
}

ref<DatabaseObject> CollectionCore::database_object() {
    if (DatabaseObject* d = database_.load_acquire()) return ref<DatabaseObject>(d);
    if (database_assigned_) return nullptr;
    // Made when a client first asks for it, by whichever thread asks first.
    ref<DatabaseObject> fresh = DatabaseObject::create();
    fresh->bind(sink());
    database_.publish(fresh.get());
    return ref<DatabaseObject>(database_.load_acquire());
}

bool CollectionCore::answers_alone() const noexcept {
    const DatabaseObject* d = database_.load_acquire();
    return d ? d->bound_only_to(sink()) : !database_assigned_;
}

void CollectionCore::key_changed(Persistable& entry) noexcept {
    if (entry.in_collections_ == 0) return;
    if (entry.holder_)
        of(*entry.holder_).keys_changed();
    else
        advance_key_generation();
}

const std::string& CollectionCore::entry_class_name() const {
    static const std::string names[] = {library_base_name() + ".cls_INIValue", library_base_name() + ".cls_INIGroup",
                                        library_base_name() + ".cls_INIEnum"};
    return names[static_cast<int>(kind_)];
}

ref<Persistable> CollectionCore::new_entry() const {
    switch (kind_) {
    case Kind::Values: return cls_INIValue::create();
    case Kind::Groups: return cls_INIGroup::create();
    case Kind::Enums: return cls_INIEnum::create();
    }
    return nullptr;
}

namespace {
Persistable* as_entry(Object* o, int kind) {
    switch (kind) {
    case 0: return dynamic_cast<cls_INIValue*>(o);
    case 1: return dynamic_cast<cls_INIGroup*>(o);
    default: return dynamic_cast<cls_INIEnum*>(o);
    }
}
} // namespace

void CollectionCore::set_slot(std::size_t position, ref<Persistable> entry) {
    // A record left behind when the slot was made real goes now.
    if (packed_ && position >= 1) {
        const std::size_t i = position - 1;
        if (kind_ == Kind::Values && i < packed_->values.size()) packed_->values[i].reset();
        if (kind_ != Kind::Values && i < packed_->groups.size()) packed_->groups[i].reset();
    }
    ref<Persistable>& s = slots_[position];
    if (s) {
        left(*s);
        if (!entry) ++empty_slots_;
    } else if (entry) {
        if (empty_slots_) --empty_slots_;
    }
    if (entry) joined(*entry);
    s = std::move(entry);
}

void CollectionCore::check_position(std::int32_t position) const {
    if (position < 1 || position > upper_bound() || slots_.empty())
        raise(hr::OUT_OF_RANGE,
              "Subscript out of range: position " + std::to_string(position) + " of " + std::to_string(upper_bound()));
}

ref<Persistable> CollectionCore::entry_at(std::int32_t position) {
    check_position(position);
    if (Persistable* e = slots_[static_cast<std::size_t>(position)].load_acquire()) return ref<Persistable>(e);
    return fill_slot(position);
}

ref<Persistable> CollectionCore::fill_slot(std::int32_t position) {
    ref<Persistable>& slot = slots_[static_cast<std::size_t>(position)];
    const auto record = static_cast<std::size_t>(position - 1);
    if (kind_ == Kind::Values && packed_at(position) && packed_->values[record].form() == PackedForm::Packed) {
        // A plain value is made from its record without using it up: threads
        // that reach it at once each make one, and the first published wins.
        ref<Persistable> e = make_value(packed_->values[record]);
        joined(*e);
        slot.publish(e.get());
        return ref<Persistable>(slot.load_acquire());
    }
    // Groups (whose records the real group takes over) and new entries: one
    // thread at a time fills a slot of this collection; another that
    // reaches an empty slot meanwhile waits for it, then takes what it made.
    SlotClaim claim(filling_slot_);
    if (Persistable* e = slot.load_acquire()) return ref<Persistable>(e);
    if (packed_at(position)) {
        // A real group takes its packed record's lists over: not while a
        // walk reads them in place.
        if (kind_ == Kind::Groups && packed_->groups[record].form == PackedForm::Packed)
            while (walkers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
        make_real(position);
    } else if (kind_ != Kind::Groups) {
        // Create-on-read: an empty slot of values or enumerations becomes a
        // new default entry.
        ref<Persistable> e = new_entry();
        joined(*e);
        slot.publish(e.get());
        if (empty_slots_) --empty_slots_;
    }
    return ref<Persistable>(slot.load_acquire());
}

void CollectionCore::rebuild(std::int32_t n) {
    drop_index();
    packed_.reset();
    for (auto& s : slots_)
        if (s) left(*s);
    slots_.clear();
    empty_slots_ = 0;
    if (kind_ == Kind::Groups && n == 0) {
        allocated_ = false;
        return;
    }
    slots_.reserve(static_cast<std::size_t>(n) + 1);
    slots_.emplace_back();
    for (std::int32_t i = 0; i < n; ++i) {
        ref<Persistable> e = new_entry();
        joined(*e);
        slots_.push_back(std::move(e));
    }
    allocated_ = kind_ == Kind::Groups;
}

Variant CollectionCore::key_of(Persistable* entry) const {
    if (!entry) raise(hr::OBJECT_NOT_SET, "Object variable not set: the collection holds an empty slot");
    if (kind_ == Kind::Values) return Variant(static_cast<cls_INIValue*>(entry)->NAME());
    ref<DataObject> d = entry->DATA();
    if (!d) raise(hr::OBJECT_NOT_SET, "Object variable not set: the entry has no data object");
    return d->identifier();
}

bool CollectionCore::packed_at(std::int32_t position) const noexcept {
    if (!packed_ || position < 1) return false;
    const auto i = static_cast<std::size_t>(position - 1);
    if (kind_ == Kind::Values) return i < packed_->values.size() && packed_->values[i].form() != PackedForm::None;
    return i < packed_->groups.size() && packed_->groups[i].form != PackedForm::None;
}

void CollectionCore::make_real(std::int32_t position) {
    const auto i = static_cast<std::size_t>(position - 1);
    ref<Persistable> e;
    if (kind_ == Kind::Values)
        e = make_value(packed_->values[i]);
    else
        e = make_group(packed_->groups[i], packed_->pools);
    // The slot was counted as filled all along: no empty-slot bookkeeping.
    joined(*e);
    slots_[static_cast<std::size_t>(position)].publish(e.get());
}

bool CollectionCore::key_at(std::int32_t position, std::string_view& text, Variant& other) {
    Persistable* e = slots_[static_cast<std::size_t>(position)].load_acquire();
    if (!e) {
        if (packed_at(position)) {
            const auto i = static_cast<std::size_t>(position - 1);
            const bool object = kind_ == Kind::Values ? packed_->values[i].form() == PackedForm::Object
                                                      : packed_->groups[i].form == PackedForm::Object;
            if (!object) {
                text = kind_ == Kind::Values ? packed_->values[i].key() : packed_->groups[i].key();
                return true;
            }
            // The record holds the real entry: its key, without filling the
            // slot (so a search never waits for a thread filling one).
            if (kind_ == Kind::Values)
                e = packed_->values[i].u.object;
            else if (kind_ == Kind::Groups)
                e = packed_->groups[i].object;
        }
        if (!e && kind_ == Kind::Groups)
            raise(hr::OBJECT_NOT_SET, "Object variable not set: the collection holds an empty slot");
        if (!e) e = entry_at(position).get();
    }
    if (!e) raise(hr::OBJECT_NOT_SET, "Object variable not set: the collection holds an empty slot");
    if (kind_ == Kind::Values) {
        text = static_cast<cls_INIValue*>(e)->NAME();
        return true;
    }
    if (const std::string* name = e->name_as_identifier()) {
        text = *name;
        return true;
    }
    DataObject* d = e->DATA().get();
    if (!d) raise(hr::OBJECT_NOT_SET, "Object variable not set: the entry has no data object");
    if (d->identifier().is_string()) {
        text = d->identifier().string();
        return true;
    }
    other = d->identifier();
    return false;
}

bool CollectionCore::pin_records() noexcept {
    if (kind_ != Kind::Groups || !answers_alone()) return false;
    walkers_.fetch_add(1, std::memory_order_seq_cst);
    if (filling_slot_.load(std::memory_order_seq_cst)) {
        walkers_.fetch_sub(1, std::memory_order_release);
        return false;
    }
    return true;
}

CollectionCore::Peek CollectionCore::peek(std::int32_t position) const noexcept {
    if (position < 1 || position > upper_bound()) return {};
    if (Persistable* e = slots_[static_cast<std::size_t>(position)].load_acquire()) return {e, nullptr};
    if (kind_ != Kind::Groups || !packed_at(position)) return {};
    const PackedGroup& r = packed_->groups[static_cast<std::size_t>(position - 1)];
    if (r.form == PackedForm::Packed) return {nullptr, &r};
    if (r.form == PackedForm::Object) return {r.object, nullptr};
    return {};
}

PackedSlots& CollectionCore::packed_slots() {
    if (!packed_) packed_ = std::make_unique<PackedSlots>();
    // Records run parallel to the slots; slots made without a record get an
    // empty one.
    const auto n = static_cast<std::size_t>(upper_bound());
    if (kind_ == Kind::Values) {
        if (packed_->values.size() < n) packed_->values.resize(n);
    } else if (packed_->groups.size() < n) {
        packed_->groups.resize(n);
    }
    return *packed_;
}

bool CollectionCore::accepts_packed() const noexcept { return kind_ != Kind::Enums && answers_alone(); }

void CollectionCore::ensure_array() {
    if (kind_ == Kind::Groups && !allocated_) {
        slots_.clear();
        slots_.emplace_back();
        allocated_ = true;
    }
}

namespace {
// Moves records to the end of a record list (taking the list whole when it
// is empty).
template <class Record>
void append_records(RecordList<Record>& into, RecordList<Record>&& records) {
    if (into.empty()) {
        into = std::move(records);
    } else {
        into.reserve(into.size() + records.size());
        for (auto& r : records) into.push_back(std::move(r));
    }
    records.clear();
}
} // namespace

void CollectionCore::append_packed(PackedValue&& record, const ref<PackedPool>& pool) {
    drop_index();
    PackedSlots& p = packed_slots();
    p.pools.add(pool);
    p.values.push_back(std::move(record));
    slots_.emplace_back();
}

void CollectionCore::append_packed(PackedGroup&& record, const ref<PackedPool>& pool) {
    drop_index();
    ensure_array();
    PackedSlots& p = packed_slots();
    p.pools.add(pool);
    p.groups.push_back(std::move(record));
    slots_.emplace_back();
}

void CollectionCore::adopt(RecordList<PackedValue>&& records, const PoolList& pools) {
    if (records.empty()) return;
    drop_index();
    PackedSlots& p = packed_slots();
    p.pools.add_all(pools);
    append_records(p.values, std::move(records));
    slots_.resize(p.values.size() + 1);
}

void CollectionCore::adopt(RecordList<PackedGroup>&& records, const PoolList& pools) {
    if (records.empty()) return;
    drop_index();
    ensure_array();
    PackedSlots& p = packed_slots();
    p.pools.add_all(pools);
    append_records(p.groups, std::move(records));
    slots_.resize(p.groups.size() + 1);
}

// ---------------------------------------------------------------------------
// Key index

void CollectionCore::drop_index() noexcept {
    // Only changes of the collection come here, with no reader at work.
    delete index_.exchange(nullptr, std::memory_order_acq_rel);
    for (Index* r = retired_.exchange(nullptr, std::memory_order_acq_rel); r;) delete std::exchange(r, r->retired_next);
}

bool CollectionCore::is_current(const Index* index) const noexcept {
    return index && index->generation == current_key_generation() &&
           index->local_generation == local_generation_.load(std::memory_order_relaxed);
}

CollectionCore::Index* CollectionCore::current_index() {
    Index* index = index_.load(std::memory_order_acquire);
    if (is_current(index)) return index;
    if (building_index_.exchange(true, std::memory_order_acquire)) return nullptr;
    FlagTaken building(building_index_);
    index = index_.load(std::memory_order_acquire);
    if (is_current(index)) return index;
    const std::int32_t n = upper_bound();
    auto idx = std::make_unique<Index>(static_cast<std::size_t>(n));
    idx->generation = current_key_generation();
    idx->local_generation = local_generation_.load(std::memory_order_relaxed);
    std::string_view text;
    Variant other;
    for (std::int32_t p = 1; p <= n; ++p) {
        if (key_at(p, text, other))
            idx->positions.insert(folded_key_hash(text), p);
        else
            idx->non_text.push_back(p);
    }
    Index* fresh = idx.release();
    if (Index* old = index_.exchange(fresh, std::memory_order_acq_rel)) {
        old->retired_next = retired_.load(std::memory_order_relaxed);
        while (!retired_.compare_exchange_weak(old->retired_next, old, std::memory_order_acq_rel)) {
        }
    }
    return fresh;
}

std::int32_t CollectionCore::search_linear(const Variant& ID) {
    const std::int32_t n = upper_bound();
    std::string_view text;
    Variant other;
    for (std::int32_t p = 1; p <= n; ++p)
        if (ID.equals(key_at(p, text, other) ? Variant(text) : other)) return p;
    return 0;
}

std::int32_t CollectionCore::search_text(std::string_view ID, const NormalisedKey& wanted, const Variant* asVariant) {
    // Keys that are no text compare with the ID as variants: made only when
    // one is met.
    std::optional<Variant> made;
    const auto id_variant = [&]() -> const Variant& {
        if (asVariant) return *asVariant;
        if (!made) made.emplace(std::string(ID));
        return *made;
    };
    const std::int32_t n = upper_bound();
    std::string_view text;
    Variant other;
    const Index* index = static_cast<std::size_t>(n) < kIndexedFrom || empty_slots_ ? nullptr : current_index();
    if (!index) { // small, holding empty slots, or another thread is building the index right now
        for (std::int32_t p = 1; p <= n; ++p) {
            if (key_at(p, text, other) ? wanted.matches(text) : id_variant().equals(other)) return p;
        }
        return 0;
    }
    std::int32_t best = 0;
    // Equal keys may sit at several positions: the first in position order wins.
    index->positions.for_each_candidate(wanted.folded(), [&](std::int32_t p) {
        if ((best == 0 || p < best) && key_at(p, text, other) && wanted.matches(text)) best = p;
    });
    index->non_text.for_each([&](std::int32_t p) {
        if ((best == 0 || p < best) && id_variant().equals(key_of(slots_[static_cast<std::size_t>(p)].load_acquire())))
            best = p;
    });
    return best;
}

// ---------------------------------------------------------------------------
// Database events

void CollectionCore::clear() {
    drop_index();
    packed_.reset();
    for (auto& s : slots_)
        if (s) left(*s);
    slots_.clear();
    empty_slots_ = 0;
    if (kind_ == Kind::Groups)
        allocated_ = false;
    else
        slots_.emplace_back();
}

void CollectionCore::import(const ref<tmp_Data>& NewEntry, const Variant& ID) {
    Index* index = index_.load(std::memory_order_relaxed);
    const bool indexCurrent = is_current(index);
    ensure_array();
    slots_.emplace_back();
    if (packed_) packed_slots();
    ++empty_slots_;
    const auto last = static_cast<std::int32_t>(slots_.size() - 1);
    if (NewEntry) {
        Persistable* e = as_entry(NewEntry.get(), static_cast<int>(kind_));
        if (!e) {
            drop_index();
            raise(hr::TYPE_MISMATCH, "Type mismatch: the entry is not a " + entry_class_name());
        }
        set_slot(static_cast<std::size_t>(last), ref<Persistable>(e));
    }
    if (!ID.is_error()) {
        ref<Persistable> e = entry_at(last);
        ref<DataObject> d = e ? e->DATA() : nullptr;
        if (!d) {
            drop_index();
            raise(hr::OBJECT_NOT_SET, "Object variable not set: no data object to receive the identifier");
        }
        d->identifier(ID);
    }
    if (!indexCurrent) return;
    // Only this collection's identifier change came since the check.
    if (index->generation != current_key_generation()) {
        drop_index();
        return;
    }
    // Keep the index current for the entry just appended.
    Persistable* e = slots_[static_cast<std::size_t>(last)].get();
    if (!e) {
        drop_index();
        return;
    }
    Variant key = key_of(e);
    if (key.is_string())
        index->positions.insert(folded_key_hash(key.string()), last);
    else
        index->non_text.push_back(last);
    index->local_generation = local_generation_.load(std::memory_order_relaxed);
}

void CollectionCore::remove(std::int32_t ID) {
    check_position(ID);
    const std::int32_t n = upper_bound();
    Index* index = index_.load(std::memory_order_relaxed);
    const bool indexCurrent = is_current(index);
    // An empty last slot of values reads as a new entry, which then moves.
    if (kind_ != Kind::Groups && !slots_[static_cast<std::size_t>(n)] && !packed_at(n)) entry_at(n);
    auto filled = [&](std::int32_t p) { return slots_[static_cast<std::size_t>(p)] || packed_at(p); };
    if (indexCurrent && filled(n) && filled(ID)) {
        auto forget = [&](std::int32_t position, std::int32_t replacement) {
            std::string_view text;
            Variant other;
            if (key_at(position, text, other))
                return index->positions.replace(folded_key_hash(text), position, replacement);
            return index->non_text.replace(position, replacement);
        };
        bool ok = forget(ID, 0) && (ID == n || forget(n, ID));
        if (!ok) drop_index();
    } else {
        drop_index();
    }
    // Swap with the last: the last entry takes the freed position.
    const auto id = static_cast<std::size_t>(ID), last = static_cast<std::size_t>(n);
    const bool goneEmpty = !filled(ID);
    ref<Persistable> gone = std::move(slots_[id]);
    if (gone) left(*gone);
    if (id != last) slots_[id] = std::move(slots_[last]);
    slots_.pop_back();
    if (packed_) {
        if (kind_ == Kind::Values) {
            auto& r = packed_->values;
            if (last - 1 < r.size()) {
                if (id != last) r[id - 1] = std::move(r[last - 1]);
                r.pop_back();
            }
        } else {
            auto& r = packed_->groups;
            if (last - 1 < r.size()) {
                if (id != last) r[id - 1] = std::move(r[last - 1]);
                r.pop_back();
            }
        }
    }
    if (goneEmpty && empty_slots_) --empty_slots_;
    if (kind_ == Kind::Groups && upper_bound() == 0) {
        slots_.clear();
        packed_.reset();
        allocated_ = false;
    }
}

std::int32_t CollectionCore::search(const Variant& ID) {
    return ID.is_string() ? search_text(ID.string(), NormalisedKey(ID.string()), &ID) : search_linear(ID);
}

// ---------------------------------------------------------------------------
// Look-ups

// Through the database object when there is one, else by its rules on this
// collection alone.
template <class F>
auto CollectionCore::route(F&& f) {
    if (DatabaseObject* d = database_.load_acquire()) return f(*d);
    if (database_assigned_) raise(hr::OBJECT_NOT_SET, "Object variable not set: the collection has no database object");
    SoleSink alone{*sink()};
    return f(alone);
}

std::int32_t CollectionCore::count() {
    return route([](auto& d) { return d.count(); });
}
bool CollectionCore::exists(const Variant& ID) {
    return route([&](auto& d) { return d.exists(ID); });
}
ref<Object> CollectionCore::item(const Variant& ID, bool forceIndex) {
    return route([&](auto& d) { return d.item(ID, forceIndex); });
}
bool CollectionCore::remove(const Variant& ID, bool forceIndex) {
    return route([&](auto& d) { return d.remove(ID, forceIndex); });
}
void CollectionCore::add(const ref<tmp_Data>& entry, const Variant& ID) {
    route([&](auto& d) { d.add(entry, ID); });
}

bool CollectionCore::value_content(std::string_view name, const NormalisedKey& key, Variant& out) {
    // Only when the database object answers for this collection alone is
    // its search this collection's own; otherwise it goes through it.
    if (kind_ != Kind::Values || !answers_alone()) {
        const Variant key{std::string(name)};
        if (!exists(key)) return false;
        ref<Object> found = item_object(key, false);
        out = found ? static_cast<cls_INIValue*>(found.get())->CONTENT() : Variant();
        return true;
    }
    const std::int32_t position = allocated() ? search_text(name, key, nullptr) : 0;
    if (position <= 0) return false;
    if (Persistable* e = slots_[static_cast<std::size_t>(position)].load_acquire()) {
        out = static_cast<cls_INIValue*>(e)->CONTENT();
    } else if (packed_at(position)) {
        const PackedValue& r = packed_->values[static_cast<std::size_t>(position - 1)];
        // Not one conditional expression: that would copy the text it made.
        if (r.form() == PackedForm::Object)
            out = r.u.object->CONTENT();
        else
            out = r.content();
    } else {
        out = static_cast<cls_INIValue*>(entry_at(position).get())->CONTENT();
    }
    return true;
}

ref<Object> CollectionCore::item_object(const Variant& pID, bool pForceIndex) {
    ref<Object> o = item(pID, pForceIndex);
    if (o && !as_entry(o.get(), static_cast<int>(kind_)))
        raise(hr::TYPE_MISMATCH, "Type mismatch: the database object returned no " + entry_class_name());
    return o;
}

} // namespace tr47::detail

// The collections' copy and stored form: entries one by one, packed
// entries written as they are, and entries read back into packed records.
#include "model/collection_core.hpp"
#include "model/internal.hpp"

namespace tr47::detail {

void CollectionCore::copy_from(CollectionBase& source) {
    CollectionCore& other = of(source);
    if (other.kind_ != kind_) raise(hr::TYPE_MISMATCH, "Type mismatch: copy of a collection from another class");
    owner_.DATA()->identifier(source.DATA()->identifier());
    const std::int32_t n = other.count();
    rebuild(n);
    for (std::int32_t i = 1; i <= n; ++i) {
        ref<Object> entry = other.item(Variant(i), true);
        entry_at(i)->DATA()->copy(query<tmp_Data>(entry));
    }
}

void CollectionCore::store(FileObject& f) {
    f.write_text(kFormatVersion);
    f.write_values({owner_.DATA()->identifier()});
    const std::int32_t n = allocated_ || kind_ != Kind::Groups ? upper_bound() : 0;
    f.write_values({Variant(n)});
    for (std::int32_t i = 1; i <= n; ++i) {
        // Packed entries are written as they are, without being made real.
        const ref<Persistable>& slot = slots_[static_cast<std::size_t>(i)];
        if (!slot.load_acquire() && packed_at(i)) {
            const auto r = static_cast<std::size_t>(i - 1);
            if (kind_ == Kind::Values) {
                store_value(f, packed_->values[r]);
                continue;
            }
            // A reader on another thread may be making the group real, which
            // takes its record over: store the record only while it cannot.
            bool stored = false;
            {
                SlotClaim claim(filling_slot_);
                if (!slot.load_acquire()) {
                    store_group(f, packed_->groups[r]);
                    stored = true;
                }
            }
            if (stored) continue;
        }
        ref<Persistable> e = entry_at(i);
        if (!e || !e->DATA()) raise(hr::OBJECT_NOT_SET, "Object variable not set: empty slot cannot be stored");
        if (kind_ == Kind::Groups) {
            // Framed, so that LOAD can keep the group unread until reached.
            const std::size_t mark = f.begin_span();
            e->DATA()->store(f);
            f.end_span(mark);
        } else {
            e->DATA()->store(f);
        }
    }
}

void CollectionCore::read(FileObject& f) {
    std::string version;
    f.read_values({Target(&version)});
    if (!is_format_version(version)) return;
    owner_.DATA()->identifier(f.read_value());
    std::int32_t n = 0;
    f.read_values({Target(&n)});
    if (n < 0) raise(hr::BAD_FILE_FORMAT, "Bad file format: negative item count");
    // Items are appended one by one as they are read, so a count that the
    // file cannot back allocates nothing in advance.
    rebuild(0);
    if (kind_ != Kind::Enums) {
        // Values and groups are read into packed records; whatever was read
        // stays, also when the file fails midway.
        ref<PackedPool> pool = PackedPool::create();
        RecordList<PackedValue> values;
        RecordList<PackedGroup> groups;
        auto keep = [&] {
            adopt(std::move(values), PoolList(pool));
            adopt(std::move(groups), PoolList(pool));
        };
        try {
            if (kind_ == Kind::Values) {
                read_values(f, n, values, *pool);
            } else {
                CheckStoredGroups check;
                read_groups(f, n, groups, *pool, 0);
            }
        } catch (...) {
            keep();
            throw;
        }
        keep();
        return;
    }
    // Enumerations: real objects, read one by one.
    for (std::int32_t i = 1; i <= n; ++i) {
        ref<Persistable> e = new_entry();
        joined(*e);
        slots_.push_back(e);
        e->DATA()->read(f);
    }
}

} // namespace tr47::detail

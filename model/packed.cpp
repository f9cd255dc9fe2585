#include "model/packed.hpp"

#include <algorithm>
#include <cstring>
#include <thread>

#include "corelib/key_hash.hpp"
#include "corelib/nesting.hpp"
#include "corelib/platform.hpp"
#include "corelib/stored_cursor.hpp"
#include "model/collection_core.hpp"
#include "model/internal.hpp"

namespace tr47::detail {

namespace {
// Chunks grow to 4 MiB, and those from 2 MiB on ask for huge pages: a
// large import then takes far fewer first-touch page faults.
constexpr std::size_t kLargestChunk = std::size_t{4} << 20;
// A text longer than this gets a chunk of its own.
constexpr std::size_t kOwnChunkText = std::size_t{256} << 10;
} // namespace

void PackedPool::FreeChunk::operator()(char* p) const noexcept {
    if (aligned)
        ::operator delete[](p, std::align_val_t{kHugePageBytes});
    else
        ::operator delete[](p);
}

char* PackedPool::open_chunk(std::size_t bytes) {
    const auto chunk = [&](std::size_t size) {
        const bool aligned = size >= kHugePageBytes;
        // Aligned to a huge page, so that every 2 MiB of it can be one.
        char* p = static_cast<char*>(aligned ? ::operator new[](size, std::align_val_t{kHugePageBytes})
                                             : ::operator new[](size));
        chunks_.emplace_back(p, FreeChunk{aligned});
        if (aligned) platform::prefer_large_pages(p, size);
        return p;
    };
    // A long text gets a chunk of its own; the current one stays open.
    if (bytes > kOwnChunkText) return chunk(bytes);
    // Chunks grow with the pool: a small import costs no large block.
    while (next_chunk_ < bytes) next_chunk_ *= 2;
    free_ = chunk(next_chunk_);
    left_ = next_chunk_;
    next_chunk_ = std::min(next_chunk_ * 2, kLargestChunk);
    return nullptr;
}

const char* PackedPool::keep(std::string_view text) {
    if (text.empty()) return "";
    // Compared as addresses: a text of another buffer is never inside.
    const auto begin = reinterpret_cast<std::uintptr_t>(viewed_.data());
    const auto where = reinterpret_cast<std::uintptr_t>(text.data());
    if (where >= begin && where - begin <= viewed_.size() && text.size() <= viewed_.size() - (where - begin))
        return text.data();
    if (text.size() > left_) {
        if (char* own = open_chunk(text.size())) {
            std::memcpy(own, text.data(), text.size());
            return own;
        }
    }
    char* at = free_;
    std::memcpy(at, text.data(), text.size());
    free_ += text.size();
    left_ -= text.size();
    return at;
}

void* PackedPool::allot(std::size_t bytes) {
    const std::size_t pad = (8 - reinterpret_cast<std::uintptr_t>(free_) % 8) % 8;
    if (bytes + pad > left_) {
        if (char* own = open_chunk(bytes)) return own;
    } else {
        free_ += pad;
        left_ -= pad;
    }
    char* at = free_;
    free_ += bytes;
    left_ -= bytes;
    return at;
}

// ---------------------------------------------------------------------------

static_assert(sizeof(PackedValue) <= 24, "one packed value per imported value: keep it small");

PackedValue PackedValue::holding(ref<cls_INIValue> v) {
    PackedValue r;
    if (!v) return r;
    r.set_form(PackedForm::Object);
    r.u.object = v.get();
    v->add_ref();
    return r;
}

PackedValue PackedValue::copy_of(const PackedValue& r) noexcept {
    PackedValue c;
    c.copy_fields(r);
    if (c.form() == PackedForm::Object && c.u.object) c.u.object->add_ref();
    return c;
}

void GroupAccess::set_pending(cls_INIGroup& g, std::unique_ptr<PendingValues> pending) {
    g.pending_values_ = std::move(pending);
}

void PackedValue::reset() noexcept {
    if (form() == PackedForm::Object && u.object) u.object->release();
    set_form(PackedForm::None);
}

Variant PackedValue::content() const {
    switch (type) {
    case VarType::String: return Variant(std::string(u.text, text_len));
    case VarType::Double: return Variant(u.number);
    case VarType::Long: return Variant(u.lng);
    case VarType::Date: return Variant(Date{u.number});
    case VarType::Boolean: return Variant::boolean(u.flag);
    default: return Variant();
    }
}

bool PackedValue::set_content(const Variant& v, PackedPool& pool) {
    switch (v.type()) {
    case VarType::String:
        if (v.string().size() > UINT32_MAX) return false;
        u.text = pool.keep(v.string());
        text_len = static_cast<std::uint32_t>(v.string().size());
        break;
    case VarType::Double: u.number = v.dbl(); break;
    case VarType::Long: u.lng = v.lng(); break;
    case VarType::Date: u.number = v.date().days; break;
    case VarType::Boolean: u.flag = v.boolean(); break;
    case VarType::Empty: break;
    default: return false;
    }
    type = v.type();
    return true;
}

PackedGroup PackedGroup::holding(ref<cls_INIGroup> g) {
    PackedGroup r;
    if (!g) return r;
    r.form = PackedForm::Object;
    r.object = g.get();
    g->add_ref();
    return r;
}

void PackedGroup::reset() noexcept {
    if (form == PackedForm::Object && object) object->release();
    object = nullptr;
    span_len = 0;
    values = RecordList<PackedValue>();
    children = RecordList<PackedGroup>();
    form = PackedForm::None;
}

namespace {
void read_group_body(FileObject& f, RecordList<PackedGroup>& out, PackedPool& pool, int depth);
void check_stored_group(std::string_view span);
// Whether groups kept stored are read through: off, on while LOAD reads a
// file, or suppressed while one is being read through. Plain data: no
// destructor to pin the library.
enum CheckState : unsigned char { kCheckOff, kCheckOn, kChecking };
thread_local CheckState g_check_stored = kCheckOff;
std::string_view text_of(const char* p, std::size_t n) { return p ? std::string_view(p, n) : std::string_view(); }
} // namespace

// ---------------------------------------------------------------------------
// Stored groups read on their bytes
//
// A group kept stored is made real from its bytes with a cursor when it and
// its values have the plain forms SAVE writes for packed ones; anything else
// is read the usual way, with the same outcome.

namespace {

using CursorKind = StoredCursor::Kind;

// One stored value as the usual reading makes a packed record of it, the
// record's texts viewing the bytes; false when it has no such form.
bool next_plain_value(StoredCursor& c, PackedValue& r) {
    CursorKind kind = CursorKind::Scalar;
    std::string_view text, id, name;
    std::int64_t number = 0;
    const auto next_text = [&](std::string_view& t) { return c.next(kind, t, number) && kind == CursorKind::Text; };
    std::int32_t sort = 0;
    if (!c.take_plain_head(name, sort)) {
        // Another spelling of the same fields.
        if (!next_text(text) || !is_format_version(text) || !next_text(id) || !next_text(name) || name != id)
            return false;
        if (!c.next(kind, text, number) || kind != CursorKind::Long) return false;
        sort = static_cast<std::int32_t>(number);
    }
    if (!PackedValue::packable(name.size(), sort) || !c.next(kind, text, number)) return false;
    r.set_name(name.empty() ? "" : name.data(), name.size());
    r.set_sort(sort);
    switch (kind) {
    case CursorKind::Text:
        if (text.size() > UINT32_MAX) return false;
        r.type = VarType::String;
        r.u.text = text.empty() ? "" : text.data();
        r.text_len = static_cast<std::uint32_t>(text.size());
        break;
    case CursorKind::Long:
        r.type = VarType::Long;
        r.u.lng = static_cast<std::int32_t>(number);
        break;
    case CursorKind::Scalar: {
        const std::uint64_t bits = c.bits();
        switch (c.tag()) {
        case stored_tags::tEmpty: r.type = VarType::Empty; break;
        case stored_tags::tWholeDouble:
            r.type = VarType::Double;
            r.u.number = static_cast<double>(number);
            break;
        case stored_tags::tDouble:
        case stored_tags::tDate:
            r.type = c.tag() == stored_tags::tDate ? VarType::Date : VarType::Double;
            std::memcpy(&r.u.number, &bits, sizeof bits);
            break;
        case stored_tags::tBool:
            r.type = VarType::Boolean;
            r.u.flag = bits == 1;
            break;
        default: return false; // Null and error values are no record's content
        }
        break;
    }
    }
    if (!c.take_empty_text() && (!next_text(text) || !text.empty())) return false;
    r.set_form(PackedForm::Packed);
    return true;
}

// A collection's head with no identifier: its count.
bool plain_collection_head(StoredCursor& c, std::int64_t& count) {
    CursorKind kind = CursorKind::Scalar;
    std::string_view text;
    std::int64_t unused = 0;
    return c.next(kind, text, unused) && kind == CursorKind::Text && is_format_version(text) &&
           c.next(kind, text, unused) && kind == CursorKind::Scalar && c.tag() == stored_tags::tEmpty &&
           c.next(kind, text, count) && kind == CursorKind::Long && count >= 0;
}

// A group's head (version, identifier, SORT, NAME, DESCRIPTION) when its
// identifier is its name and it has no description.
bool plain_group_head(StoredCursor& c, std::string_view& sort, std::string_view& name) {
    CursorKind kind = CursorKind::Scalar;
    std::string_view version, id, description;
    std::int64_t unused = 0;
    const auto next_text = [&](std::string_view& t) { return c.next(kind, t, unused) && kind == CursorKind::Text; };
    return next_text(version) && is_format_version(version) && next_text(id) && next_text(sort) && next_text(name) &&
           next_text(description) && id == name && description.empty() && name.size() <= UINT32_MAX &&
           sort.size() <= UINT32_MAX;
}

// A group framed as a span whose head has the packed form (identifier its
// name, no description), as a record that keeps it stored; false for any
// other head.
bool stored_record(std::string_view span, PackedGroup& g) {
    StoredCursor head(span);
    std::string_view sort, name;
    if (!plain_group_head(head, sort, name)) return false;
    g.form = PackedForm::Stored;
    g.name = name.data();
    g.name_len = static_cast<std::uint32_t>(name.size());
    g.sort = sort.data();
    g.sort_len = static_cast<std::uint32_t>(sort.size());
    g.span = span.data();
    g.span_len = span.size();
    return true;
}

struct StoredGroupView {
    std::string_view sort, name;
    std::string_view values;
    std::uint32_t value_count = 0;
    std::unique_ptr<PendingValues::StoredIndex> index; // from kIndexedFrom values on
    std::unique_ptr<std::uint8_t[]> tags; // from kTaggedFrom values on, below kIndexedFrom
    RecordList<PackedGroup> children; // kept stored
};

// A cursor at a stored value's start: the first value's version may repeat
// the collection head's, every later one the empty description before it.
StoredCursor value_cursor(std::string_view values, std::uint32_t start) noexcept {
    return StoredCursor(values.substr(start), start == 0 ? kFormatVersion : std::string_view());
}

// The group of a span whose values are all plain and whose child groups
// are all framed as spans; false for any other.
bool view_stored_group(std::string_view span, StoredGroupView& v) {
    StoredCursor c(span);
    std::int64_t count = 0;
    if (!plain_group_head(c, v.sort, v.name) || !plain_collection_head(c, count)) return false;
    v.values = c.rest();
    if (v.values.size() > UINT32_MAX) return false;
    if (count >= static_cast<std::int64_t>(kIndexedFrom)) {
        // A stored value takes six bytes at least: a false count reserves no more.
        const auto expected = std::min<std::size_t>(static_cast<std::size_t>(count), v.values.size() / 6);
        v.index = std::make_unique<PendingValues::StoredIndex>();
        v.index->starts.reserve(expected);
        v.index->keys = KeyTable(expected);
    } else if (count >= static_cast<std::int64_t>(kTaggedFrom)) {
        v.tags = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(count) * 5);
    }
    for (std::int64_t i = 0; i < count; ++i) {
        const auto start = static_cast<std::uint32_t>(v.values.size() - c.rest().size());
        // The usual form on its bytes (a negative SORT, Null or an error
        // value as content is none of a record's), else field by field.
        std::string_view name;
        std::int32_t sort = 0;
        if (c.peek_plain_name(name, &sort) && c.skip_plain_value()) {
            if (sort < 0 || c.tag() == stored_tags::tNull || c.tag() == stored_tags::tError) return false;
        } else {
            PackedValue r;
            if (!next_plain_value(c, r)) return false;
            name = r.key();
        }
        if (v.index) {
            v.index->starts.push_back(start);
            v.index->keys.insert(folded_key_hash(name), static_cast<std::int32_t>(i + 1));
        } else if (v.tags) {
            std::memcpy(v.tags.get() + 4 * i, &start, 4);
            v.tags[static_cast<std::size_t>(4 * count + i)] = key_tag(name);
        }
    }
    v.values.remove_suffix(c.rest().size());
    v.value_count = static_cast<std::uint32_t>(count);
    if (!plain_collection_head(c, count)) return false;
    // A child's span takes at least its mark's nine bytes.
    v.children.reserve(std::min<std::size_t>(static_cast<std::size_t>(count), c.rest().size() / 9));
    for (std::int64_t i = 0; i < count; ++i) {
        std::string_view child;
        PackedGroup g;
        if (c.span(child) != StoredCursor::Span::Taken || !stored_record(child, g)) return false;
        v.children.push_back(std::move(g));
    }
    return c.at_end();
}

} // namespace

bool PendingValues::find_stored(const NormalisedKey& wanted, Variant& out) const {
    const std::string_view bytes(stored, stored_bytes);
    if (stored_index) {
        // The first position of that key wins; candidates come in any order.
        std::int32_t best = 0;
        stored_index->keys.for_each_candidate(wanted.folded(), [&](std::int32_t p) {
            if (best != 0 && p > best) return;
            StoredCursor c = value_cursor(bytes, stored_index->starts[static_cast<std::size_t>(p - 1)]);
            PackedValue r;
            if (!next_plain_value(c, r)) raise(hr::BAD_FILE_FORMAT, "Bad file format: a stored value");
            if (!wanted.matches(r.key())) return;
            best = p;
            out = r.content();
        });
        return best != 0;
    }
    if (stored_tags) {
        // Only values whose tag can match are read.
        const std::uint8_t tag = wanted.tag();
        const std::uint8_t* const tags = stored_tags.get() + 4 * std::size_t{stored_count};
        for (std::uint32_t i = 0; i < stored_count; ++i) {
            if (tags[i] != tag) continue;
            std::uint32_t start;
            std::memcpy(&start, stored_tags.get() + 4 * std::size_t{i}, 4);
            StoredCursor c = value_cursor(bytes, start);
            PackedValue r;
            if (!next_plain_value(c, r)) raise(hr::BAD_FILE_FORMAT, "Bad file format: a stored value");
            if (wanted.matches(r.key())) {
                out = r.content();
                return true;
            }
        }
        return false;
    }
    StoredCursor c = value_cursor(bytes, 0);
    for (std::uint32_t i = 0; i < stored_count; ++i) {
        // Values of other names are passed over on their bytes; a name
        // read ahead is compared once.
        std::string_view name;
        const bool peeked = c.peek_plain_name(name);
        const bool match = peeked && wanted.matches(name);
        if (peeked && !match && c.skip_plain_value()) continue;
        PackedValue r;
        if (!next_plain_value(c, r)) raise(hr::BAD_FILE_FORMAT, "Bad file format: a stored value");
        if (peeked ? match : wanted.matches(r.key())) {
            out = r.content();
            return true;
        }
    }
    return false;
}

RecordList<PackedValue> PendingValues::records() const {
    RecordList<PackedValue> out;
    out.reserve(stored_count ? stored_count : values.size());
    if (!stored_count) {
        for (const PackedValue& r : values) out.push_back(PackedValue::copy_of(r));
        return out;
    }
    StoredCursor c = value_cursor({stored, stored_bytes}, 0);
    for (std::uint32_t i = 0; i < stored_count; ++i) {
        PackedValue r;
        if (!next_plain_value(c, r)) raise(hr::BAD_FILE_FORMAT, "Bad file format: a stored value");
        out.push_back(std::move(r));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Making records real

namespace {

// Making an entry real leaves its record's form and key as they are:
// other threads may be reading them until the real entry is published.
// The collection drops the record when it next changes the slot.
ref<cls_INIValue> value_from(PackedValue& r) {
    if (r.form() == PackedForm::Object) return ref<cls_INIValue>(r.u.object);
    ref<cls_INIValue> v = cls_INIValue::create();
    v->NAME(std::string(text_of(r.name, r.name_len)));
    v->SORT(r.sort());
    v->CONTENT(r.content());
    CollectionCore::identifier_follows_name(*v);
    return v;
}

ref<cls_INIGroup> group_from(PackedGroup& r, const PoolList& pools) {
    if (r.form == PackedForm::Object) return ref<cls_INIGroup>(r.object);
    if (r.form == PackedForm::Stored) {
        StoredGroupView view;
        if (view_stored_group({r.span, static_cast<std::size_t>(r.span_len)}, view)) {
            // Its texts lie in the bytes `pools` already keep alive.
            ref<cls_INIGroup> g = cls_INIGroup::create();
            g->NAME(std::string(view.name));
            g->SORT(std::string(view.sort));
            CollectionCore::identifier_follows_name(*g);
            if (view.value_count > 0) {
                auto pending = std::make_unique<PendingValues>();
                pending->stored = view.values.data();
                pending->stored_bytes = static_cast<std::uint32_t>(view.values.size());
                pending->stored_count = view.value_count;
                pending->stored_index = std::move(view.index);
                pending->stored_tags = std::move(view.tags);
                pending->pools.add_all(pools);
                GroupAccess::set_pending(*g, std::move(pending));
            }
            if (!view.children.empty()) CollectionCore::of(*g->CHILDREN()).adopt(std::move(view.children), pools);
            return g;
        }
        // Read the stored form now; its child groups stay stored. The
        // new pool holds the pools that keep the stored bytes alive, so
        // the records below need only it: a chain one link per level,
        // not a list that grows with the depth.
        ref<PackedPool> pool = PackedPool::create();
        pools.for_each([&](const ref<PackedPool>& p) { pool->hold(ref<Object>(p)); });
        const std::string_view span(r.span, r.span_len);
        pool->view_within(span);
        ref<ReaderObject> reader = ReaderObject::over_span(span, nullptr);
        RecordList<PackedGroup> read;
        read_group_body(*reader, read, *pool, 0);
        if (read.empty()) raise(hr::BAD_FILE_FORMAT, "Bad file format: an empty stored group");
        return group_from(read.front(), PoolList(pool));
    }
    ref<cls_INIGroup> g = cls_INIGroup::create();
    g->NAME(std::string(text_of(r.name, r.name_len)));
    g->SORT(std::string(text_of(r.sort, r.sort_len)));
    CollectionCore::identifier_follows_name(*g);
    // The entries move to the real group; nobody reads them from here.
    if (!r.values.empty() && r.values.size() < kIndexedFrom) {
        auto pending = std::make_unique<PendingValues>();
        pending->values = std::exchange(r.values, {});
        pending->pools.add_all(pools);
        GroupAccess::set_pending(*g, std::move(pending));
    } else if (!r.values.empty())
        CollectionCore::of(*g->VALUES()).adopt(std::exchange(r.values, {}), pools);
    if (!r.children.empty()) CollectionCore::of(*g->CHILDREN()).adopt(std::exchange(r.children, {}), pools);
    return g;
}

// The stored groups below a record (as spans), down to the next stored
// ones: inline records, and real groups with their children's records.
void stored_below(const PackedGroup& top, std::vector<std::string_view>& spans) {
    std::vector<const PackedGroup*> walk{&top};
    while (!walk.empty()) {
        const PackedGroup* g = walk.back();
        walk.pop_back();
        if (g->form == PackedForm::Stored) {
            spans.emplace_back(g->span, static_cast<std::size_t>(g->span_len));
            continue;
        }
        for (const PackedGroup& c : g->children) walk.push_back(&c);
        if (g->form == PackedForm::Object && g->object) {
            const cls_INIGroups* children = g->object->children_if_any();
            const PackedSlots* records = children ? CollectionCore::of(*children).packed_records() : nullptr;
            if (records)
                for (const PackedGroup& c : records->groups) walk.push_back(&c);
        }
    }
}

// A group read from a stored form whose fields have no packed form.
ref<cls_INIGroup> group_of(Variant id, std::string sort, std::string name, std::string description) {
    ref<cls_INIGroup> g = cls_INIGroup::create();
    g->DATA()->identifier(std::move(id));
    g->SORT(std::move(sort));
    g->NAME(std::move(name));
    g->DESCRIPTION(std::move(description));
    return g;
}

ref<cls_INIValue> value_of(Variant id, std::string name, std::int32_t sort, Variant content, std::string description) {
    ref<cls_INIValue> v = cls_INIValue::create();
    v->DATA()->identifier(std::move(id));
    v->NAME(std::move(name));
    v->SORT(sort);
    v->CONTENT(std::move(content));
    v->DESCRIPTION(std::move(description));
    return v;
}

} // namespace

ref<cls_INIValue> make_value(PackedValue& record) { return value_from(record); }
ref<cls_INIGroup> make_group(PackedGroup& record, const PoolList& pools) { return group_from(record, pools); }

// ---------------------------------------------------------------------------
// Stored forms (the same values, in the same order and nesting, as the
// DataStore handlers of the real objects write)

namespace {

void store_content(FileObject& f, const PackedValue& r) {
    if (r.type == VarType::String)
        f.write_text({r.u.text, r.text_len});
    else
        f.write_value(r.content());
}

void store_collection_head(FileObject& f, std::size_t n) {
    f.write_text(kFormatVersion);
    f.write_value(Variant());
    f.write_value(Variant(static_cast<std::int32_t>(n)));
}

} // namespace

void store_value(FileObject& f, const PackedValue& r) {
    if (r.form() == PackedForm::Object) {
        r.u.object->DATA()->store(f);
        return;
    }
    PersistNesting level;
    f.write_text(kFormatVersion);
    f.write_text(r.key());
    f.write_text(r.key());
    f.write_value(Variant(r.sort()));
    store_content(f, r);
    f.write_text({});
}

void store_group(FileObject& f, const PackedGroup& r) {
    if (r.form == PackedForm::Stored) {
        f.write_span({r.span, static_cast<std::size_t>(r.span_len)});
        return;
    }
    // Every group is framed as a span, so LOAD can keep it unread.
    const std::size_t mark = f.begin_span();
    if (r.form == PackedForm::Object) {
        r.object->DATA()->store(f);
        f.end_span(mark);
        return;
    }
    store_packed_group(f, r);
    f.end_span(mark);
}

void store_packed_group(FileObject& f, const PackedGroup& r) {
    PersistNesting level;
    f.write_text(kFormatVersion);
    f.write_text(r.key());
    f.write_text(text_of(r.sort, r.sort_len));
    f.write_text(r.key());
    f.write_text({});
    {
        PersistNesting values;
        store_collection_head(f, r.values.size());
        for (const PackedValue& v : r.values) store_value(f, v);
    }
    PersistNesting children;
    store_collection_head(f, r.children.size());
    for (const PackedGroup& g : r.children) store_group(f, g);
}

namespace {

// A text field as Target(&text) reads it: any value converted to text.
std::string_view read_text_field(FileObject& f, std::string& scratch) {
    std::string_view text;
    Variant other;
    if (f.read_text(text, scratch, other)) return text;
    scratch = other.to_text();
    return scratch;
}

// Head of a stored collection: false when its version is not ours (then
// nothing more of it is stored).
bool read_collection_head(FileObject& f, Variant& id, std::int32_t& n) {
    std::string scratch;
    if (!is_format_version(read_text_field(f, scratch))) return false;
    id = f.read_value();
    n = f.read_value().to_long();
    if (n < 0) raise(hr::BAD_FILE_FORMAT, "Bad file format: negative item count");
    return true;
}

void read_one_value(FileObject& f, RecordList<PackedValue>& out, PackedPool& pool) {
    PersistNesting level;
    std::string s1, s2, s3, s4;
    if (!is_format_version(read_text_field(f, s1))) {
        out.push_back(PackedValue::holding(cls_INIValue::create()));
        return;
    }
    std::string_view id;
    Variant idOther;
    const bool idText = f.read_text(id, s1, idOther);
    std::string_view name = read_text_field(f, s2);
    const std::int32_t sort = f.read_value().to_long();
    std::string_view text;
    Variant content;
    const bool contentText = f.read_text(text, s3, content);
    std::string_view description = read_text_field(f, s4);
    if (idText && id == name && description.empty() && PackedValue::packable(name.size(), sort) &&
        text.size() <= UINT32_MAX) {
        PackedValue r;
        r.set_name(pool.keep(name), name.size());
        r.set_sort(sort);
        bool ok = true;
        if (contentText) {
            r.type = VarType::String;
            r.u.text = pool.keep(text);
            r.text_len = static_cast<std::uint32_t>(text.size());
        } else {
            ok = r.set_content(content, pool);
        }
        if (ok) {
            r.set_form(PackedForm::Packed);
            out.push_back(std::move(r));
            return;
        }
    }
    if (contentText) content = Variant(text);
    out.push_back(PackedValue::holding(value_of(idText ? Variant(id) : std::move(idOther), std::string(name), sort,
                                                std::move(content), std::string(description))));
}

// A group framed as a span whose head has the packed form: kept stored.
bool keep_stored(std::string_view span, RecordList<PackedGroup>& out) {
    PackedGroup r;
    if (!stored_record(span, r)) return false;
    // A broken group is not kept: the error ends the read before it.
    if (g_check_stored == kCheckOn) check_stored_group(span);
    out.push_back(std::move(r));
    return true;
}

// The check on the bytes alone, for the forms SAVE writes: true when the
// group reads through without an error (stored groups below it are added to
// `spans`); false when unsure, and the group is then read the usual way.
// The nesting guards stand where reading has them, so limits hit alike.
namespace skim {
using Kind = StoredCursor::Kind;

struct Value {
    Kind kind = Kind::Scalar;
    std::string_view text;
    std::int64_t number = 0;
    bool read(StoredCursor& c) noexcept { return c.next(kind, text, number); }
    bool text_read(StoredCursor& c) noexcept { return read(c) && kind == Kind::Text; }
    bool version_read(StoredCursor& c) noexcept { return text_read(c) && is_format_version(text); }
};

// A collection's head as read_collection_head takes it: its count, when
// the collection is stored at all (otherwise unsure).
bool collection_head(StoredCursor& c, std::int64_t& n) {
    Value v;
    if (!v.version_read(c) || !v.read(c) || !v.read(c) || v.kind != Kind::Long || v.number < 0) return false;
    n = v.number;
    return true;
}

// A value; its collection entered its nesting level (see group).
bool value(StoredCursor& c) {
    if (c.skip_plain_value()) return true;
    Value v;
    // Version, identifier, NAME, SORT, CONTENT, DESCRIPTION.
    return v.version_read(c) && v.read(c) && v.text_read(c) && v.read(c) && v.kind == Kind::Long && v.read(c) &&
           v.text_read(c);
}

constexpr int kMaxInlineDepth = 16;

bool group(StoredCursor& c, int depth, std::vector<std::string_view>& spans) {
    if (depth >= kMaxInlineDepth) return false;
    PersistNesting level;
    Value v;
    // Version, identifier, SORT, NAME, DESCRIPTION.
    if (!v.version_read(c) || !v.read(c) || !v.text_read(c) || !v.text_read(c) || !v.text_read(c)) return false;
    std::int64_t n = 0;
    {
        PersistNesting values;
        if (!collection_head(c, n)) return false;
        // Every value is read one level further down: the guard of that
        // level is the same for all of them, so it is entered once.
        if (n > 0) PersistNesting level;
        for (std::int64_t i = 0; i < n;) {
            i += c.skip_plain_values(n - i);
            if (i < n) {
                if (!value(c)) return false;
                ++i;
            }
        }
    }
    PersistNesting children;
    if (!collection_head(c, n)) return false;
    for (std::int64_t i = 0; i < n; ++i) {
        std::string_view span;
        const StoredCursor::Span framed = c.span(span);
        if (framed == StoredCursor::Span::Taken)
            spans.push_back(span); // checked on its own, as reaching it reads it
        else if (framed == StoredCursor::Span::Broken || !group(c, depth + 1, spans))
            return false;
    }
    return true;
}

} // namespace skim
} // namespace

bool stored_group_reads_through(std::string_view span, std::vector<std::string_view>& spans) noexcept {
    const std::size_t mark = spans.size();
    try {
        StoredCursor c(span);
        if (skim::group(c, 0, spans) && c.at_end()) return true;
    } catch (...) {
        // A nesting limit: the usual reading raises it with its own words.
    }
    spans.resize(mark);
    return false;
}

namespace {

// Reads a stored group through, the groups kept stored below it included,
// as reaching them will, and raises the first error: a file whose structure
// is broken inside fails LOAD instead of a later access. Nothing read stays.
void check_stored_group(std::string_view span) {
    // Most groups read through on their bytes with no group kept stored
    // below them: that costs no list.
    std::vector<std::string_view> spans;
    if (stored_group_reads_through(span, spans) && spans.empty()) return;
    if (spans.empty()) spans.push_back(span);
    struct Restore {
        CheckState value;
        ~Restore() { g_check_stored = value; }
    } restore{std::exchange(g_check_stored, kChecking)};
    while (!spans.empty()) {
        const std::string_view next = spans.back();
        spans.pop_back();
        if (stored_group_reads_through(next, spans)) continue;
        ref<PackedPool> pool = PackedPool::create();
        ref<ReaderObject> reader = ReaderObject::over_span(next, nullptr);
        RecordList<PackedGroup> read;
        read_group_body(*reader, read, *pool, 0);
        if (read.empty()) raise(hr::BAD_FILE_FORMAT, "Bad file format: an empty stored group");
        if (!reader->eof()) raise(hr::BAD_FILE_FORMAT, "Bad file format: bytes after a stored group");
        stored_below(read.front(), spans);
    }
}

// `head` is the reader of group heads that a collection's groups share.
void read_one_group(FileObject& f, RecordList<PackedGroup>& out, PackedPool& pool, int depth) {
    std::string_view span;
    ref<Object> keeper;
    if (!f.read_span(span, keeper)) {
        read_group_body(f, out, pool, depth);
        return;
    }
    pool.hold(keeper);
    if (keep_stored(span, out)) return;
    ref<ReaderObject> body = ReaderObject::over_span(span, keeper);
    read_group_body(*body, out, pool, depth);
}

void read_group_body(FileObject& f, RecordList<PackedGroup>& out, PackedPool& pool, int depth) {
    if (depth >= kMaxPackedDepth) {
        ref<cls_INIGroup> g = cls_INIGroup::create();
        out.push_back(PackedGroup::holding(g));
        g->DATA()->read(f);
        return;
    }
    PersistNesting level;
    std::string s1, s2, s3, s4;
    if (!is_format_version(read_text_field(f, s1))) {
        out.push_back(PackedGroup::holding(cls_INIGroup::create()));
        return;
    }
    std::string_view id;
    Variant idOther;
    const bool idText = f.read_text(id, s1, idOther);
    std::string_view sort = read_text_field(f, s2);
    std::string_view name = read_text_field(f, s3);
    std::string_view description = read_text_field(f, s4);
    PackedGroup r;
    r.form = PackedForm::Packed;
    r.name = pool.keep(name);
    r.name_len = static_cast<std::uint32_t>(name.size());
    r.sort = pool.keep(sort);
    r.sort_len = static_cast<std::uint32_t>(sort.size());
    bool plain = idText && id == name && description.empty() && name.size() <= UINT32_MAX && sort.size() <= UINT32_MAX;
    ref<cls_INIGroup> real;
    auto make_real = [&] {
        if (real) return;
        real = group_of(idText ? Variant(id) : std::move(idOther), std::string(sort), std::string(name),
                        std::string(description));
    };
    Variant valuesId, childrenId;
    // Whatever was read stays in the tree, also when reading fails midway.
    auto finish = [&] {
        if (!plain) make_real();
        if (real) {
            if (!r.values.empty())
                CollectionCore::of(*real->VALUES()).adopt(std::move(r.values), PoolList(ref<PackedPool>(&pool)));
            if (!r.children.empty())
                CollectionCore::of(*real->CHILDREN()).adopt(std::move(r.children), PoolList(ref<PackedPool>(&pool)));
            if (!valuesId.is_empty()) real->VALUES()->DATA()->identifier(valuesId);
            if (!childrenId.is_empty()) real->CHILDREN()->DATA()->identifier(childrenId);
            out.push_back(PackedGroup::holding(real));
        } else {
            out.push_back(std::move(r));
        }
    };
    try {
        std::int32_t n = 0;
        {
            PersistNesting values;
            if (read_collection_head(f, valuesId, n)) {
                if (!valuesId.is_empty()) plain = false;
                read_values(f, n, r.values, pool);
            }
        }
        PersistNesting children;
        if (read_collection_head(f, childrenId, n)) {
            if (!childrenId.is_empty()) plain = false;
            read_groups(f, n, r.children, pool, depth + 1);
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

} // namespace

namespace {
// Room for the count a collection announces, as far as the bytes left can
// back it (an entry takes several bytes) and the pool allows; the rest, if
// the count is true, comes by ordinary growth. An entry list left far below
// its room (a false count) gives the room back.
constexpr std::size_t kMinEntryBytes = 4;
template <class Entry>
void reserve_for(const FileObject& f, std::int32_t n, RecordList<Entry>& out, PackedPool& pool) {
    const std::size_t left = f.bytes_left();
    const std::size_t backed = std::min(static_cast<std::size_t>(n), left / kMinEntryBytes);
    if (backed > out.capacity() - out.size() && pool.reserve_ahead(backed * sizeof(Entry), left))
        out.reserve(out.size() + backed);
}
template <class Entry>
void release_unused(RecordList<Entry>& out) {
    if (out.capacity() > 2 * out.size() + 16) out.shrink_to_fit();
}
} // namespace

void read_values(FileObject& f, std::int32_t n, RecordList<PackedValue>& out, PackedPool& pool) {
    if (n <= 0) return;
    reserve_for(f, n, out, pool);
    for (std::int32_t i = 0; i < n; ++i) read_one_value(f, out, pool);
    release_unused(out);
}

void StoredPayloadCheck::fail() noexcept {
    failed_.store(true, std::memory_order_release);
    complete_.store(true, std::memory_order_release);
}

void StoredPayloadCheck::stop() noexcept { fail(); }

bool StoredPayloadCheck::add(std::string_view span) noexcept {
    const std::size_t i = listed_.load(std::memory_order_relaxed);
    if (i % kBlock == 0) {
        // Room for every span a payload can hold was reserved: the block
        // list never moves under the checking threads.
        if (blocks_.size() == blocks_.capacity()) return fail(), false;
        blocks_.push_back(std::make_unique_for_overwrite<std::string_view[]>(kBlock));
    }
    blocks_[i / kBlock][i % kBlock] = span;
    listed_.store(i + 1, std::memory_order_release);
    return true;
}

void StoredPayloadCheck::list(std::string_view payload, std::size_t readable) noexcept {
    if (complete_.load(std::memory_order_acquire)) return;
    readable = std::min(readable, payload.size());
    const bool whole = readable == payload.size();
    try {
        if (!cursor_) {
            // A span takes ten bytes at least.
            blocks_.reserve(payload.size() / 10 / kBlock + 1);
            cursor_.emplace(std::string_view());
        }
        StoredCursor& c = *cursor_;
        c.extend(payload.substr(0, readable), payload.size());
        StoredCursor::Kind kind;
        std::string_view text;
        std::int64_t number = 0;
        for (;;) {
            const StoredCursor before = c;
            std::string_view span;
            bool taken = false, ended = false, stepped = false;
            switch (c.span(span)) {
            case StoredCursor::Span::Taken:
                taken = true;
                stepped = static_cast<std::size_t>(span.data() + span.size() - payload.data()) <= readable;
                break;
            case StoredCursor::Span::Broken: break;
            case StoredCursor::Span::None:
                ended = c.at_end();
                stepped = ended || c.next(kind, text, number);
                break;
            }
            if (!stepped || (ended && !whole)) {
                // Short of the whole payload, a step that would read past
                // what is readable waits for the next call, from where it
                // started.
                if (whole) return fail();
                c = before;
                return;
            }
            if (ended) {
                complete_.store(true, std::memory_order_release);
                return;
            }
            if (taken && !add(span)) return;
        }
    } catch (...) {
        fail();
    }
}

void StoredPayloadCheck::work() noexcept {
    // Spans in batches, so that the threads rarely meet on the counter.
    constexpr std::size_t kBatch = 64;
    try {
        std::vector<std::string_view> below;
        for (;;) {
            const std::size_t first = next_.fetch_add(kBatch, std::memory_order_relaxed);
            std::size_t last = first + kBatch;
            for (;;) {
                if (failed_.load(std::memory_order_acquire)) return;
                // Complete first: the count read after it is the final one.
                const bool complete = complete_.load(std::memory_order_acquire);
                const std::size_t listed = listed_.load(std::memory_order_acquire);
                if (listed >= last) break;
                if (complete) {
                    last = listed;
                    break;
                }
                std::this_thread::yield();
            }
            if (first >= last) return;
            for (std::size_t i = first; i < last; ++i) {
                if (failed_.load(std::memory_order_relaxed)) return;
                below.assign(1, at(i));
                while (!below.empty()) {
                    const std::string_view next = below.back();
                    below.pop_back();
                    if (!stored_group_reads_through(next, below)) return fail();
                }
            }
            checked_.fetch_add(last - first, std::memory_order_release);
        }
    } catch (...) {
        fail();
    }
}

StoredGroupsChecked::StoredGroupsChecked() : before_(std::exchange(g_check_stored, kChecking)) {}
StoredGroupsChecked::~StoredGroupsChecked() { g_check_stored = static_cast<CheckState>(before_); }

CheckStoredGroups::CheckStoredGroups() : on_(g_check_stored == kCheckOff) {
    if (on_) g_check_stored = kCheckOn;
}
CheckStoredGroups::~CheckStoredGroups() {
    if (on_) g_check_stored = kCheckOff;
}

void read_groups(FileObject& f, std::int32_t n, RecordList<PackedGroup>& out, PackedPool& pool, int depth) {
    if (n <= 0) return;
    reserve_for(f, n, out, pool);
    for (std::int32_t i = 0; i < n; ++i) read_one_group(f, out, pool, depth);
    release_unused(out);
}

} // namespace tr47::detail

#include <mutex>
#include <unordered_set>

#include "corelib/database_rules.hpp"
#include "corelib/encoding.hpp"
#include "corelib/key_generation.hpp"
#include "corelib/limits.hpp"
#include "corelib/nesting.hpp"
#include "corelib/platform.hpp"

namespace tr47 {

namespace {

const std::string* intern(std::string_view name) {
    static std::mutex lock;
    static std::unordered_set<std::string> pool;
    std::lock_guard<std::mutex> hold(lock);
    return &*pool.emplace(name).first;
}

thread_local int g_nesting_depth = 0;
using NestingGuard = detail::PersistNesting;

} // namespace

namespace detail {
PersistNesting::PersistNesting() {
    // Besides the depth, keep a reserve of native stack: frames are far
    // larger in sanitizer builds and on threads with small stacks.
    char here = 0;
    const auto at = reinterpret_cast<std::uintptr_t>(&here);
    const std::uintptr_t floor = platform::stack_floor();
    const bool lowStack = floor != 0 && at > floor && at - floor < limits::kStackReserveBytes;
    if (g_nesting_depth >= limits::kMaxDataNesting || lowStack)
        raise(hr::LIMIT_EXCEEDED, "Nesting too deep: more than " + std::to_string(limits::kMaxDataNesting) +
                                      " nested objects in one copy, pack, store or read");
    ++g_nesting_depth;
}
PersistNesting::~PersistNesting() { --g_nesting_depth; }
} // namespace detail

// The generation starts at 1, so that an index made before any key changed
// (generation 0 in a fresh one) never reads as current.
std::atomic<std::uint64_t> detail::key_generation{1};

void DataEvents::DataKeyChanged() { detail::advance_key_generation(); }

template <class Events>
void EventSource<Events>::bind(Events* sink) {
    if (!sink) return;
    if (!first_)
        first_ = sink;
    else
        more_.push_back(sink);
}

template <class Events>
void EventSource<Events>::unbind(Events* sink) noexcept {
    if (!sink) return;
    if (first_ == sink) {
        if (more_.empty()) {
            first_ = nullptr;
        } else {
            first_ = more_.front();
            more_.erase(more_.begin());
        }
        return;
    }
    for (auto it = more_.begin(); it != more_.end(); ++it)
        if (*it == sink) {
            more_.erase(it);
            return;
        }
}

template <class Events>
template <class F>
void EventSource<Events>::raise_each(F&& f) {
    if (more_.empty()) {
        if (first_) f(*first_);
        return;
    }
    std::vector<Events*> sinks;
    sinks.reserve(more_.size() + 1);
    if (first_) sinks.push_back(first_);
    sinks.insert(sinks.end(), more_.begin(), more_.end());
    for (Events* s : sinks) f(*s);
}

template class EventSource<DataEvents>;
template class EventSource<DatabaseEvents>;

DataObject::DataObject() {
    static const std::string* const unnamed = intern("");
    class_name_ = unnamed;
}

ref<DataObject> DataObject::create() { return ref<DataObject>(new DataObject()); }

void DataObject::identifier(Variant id) {
    identifier_ = std::move(id);
    raise_each([](DataEvents& e) { e.DataKeyChanged(); });
}

void DataObject::class_name(std::string_view name) { class_name_ = intern(name); }

const std::string* DataObject::intern_class_name(std::string_view name) { return intern(name); }

void DataObject::copy(const ref<tmp_Data>& source) {
    if (!source) raise(hr::OBJECT_NOT_SET, "Object variable not set: nothing to copy from");
    NestingGuard guard;
    ref<DataObject> keep(this);
    bool done = false;
    raise_each([&](DataEvents& e) { e.DataCopy(source, done); });
}

std::string DataObject::pack() {
    NestingGuard guard;
    ref<DataObject> keep(this);
    std::string package;
    raise_each([&](DataEvents& e) { e.DataPACK(package); });
    return package;
}

void DataObject::unpack(std::string& package) {
    NestingGuard guard;
    ref<DataObject> keep(this);
    raise_each([&](DataEvents& e) { e.DataUnpack(package); });
}

void DataObject::store(FileObject& file) {
    NestingGuard guard;
    ref<DataObject> keep(this);
    raise_each([&](DataEvents& e) { e.DataStore(file); });
}

void DataObject::read(FileObject& file) {
    NestingGuard guard;
    ref<DataObject> keep(this);
    raise_each([&](DataEvents& e) { e.DataRead(file); });
}

ref<tmp_Data> DataObject::spawn() {
    ref<DataObject> keep(this);
    ref<tmp_Data> instance;
    raise_each([&](DataEvents& e) { e.DataSpawn(instance); });
    return instance;
}

// ---------------------------------------------------------------------------

ref<DatabaseObject> DatabaseObject::create() { return ref<DatabaseObject>(new DatabaseObject()); }

namespace {

// The look-up rules of a database object over its sinks: `each` calls a
// handler on every sink.
template <class Each>
struct Rules {
    Each each;

    std::int32_t count() {
        std::int32_t n = 0;
        each([&](DatabaseEvents& e) { e.DatabaseCount(n); });
        return n;
    }

    // 0 when nothing is found; -1 marks an explicit position beyond range.
    std::int32_t resolve(const Variant& ID, bool forceIndex, bool& isPosition) {
        isPosition = ID.is_long() || (forceIndex && (ID.is_double() || ID.is_bool()));
        if (isPosition) return ID.to_long();
        std::int32_t found = 0;
        each([&](DatabaseEvents& e) { e.DatabaseSearch(found, ID); });
        return found;
    }

    bool exists(const Variant& ID) {
        bool isPosition = false;
        std::int32_t p = resolve(ID, false, isPosition);
        if (isPosition) return p >= 1 && p <= count();
        return p > 0;
    }

    ref<Object> item(const Variant& ID, bool forceIndex) {
        bool isPosition = false;
        std::int32_t p = resolve(ID, forceIndex, isPosition);
        if (!isPosition && p == 0) return nullptr;
        ref<Object> result;
        each([&](DatabaseEvents& e) { e.DatabaseItemObj(result, p); });
        return result;
    }

    bool remove(const Variant& ID, bool forceIndex) {
        bool isPosition = false;
        std::int32_t p = resolve(ID, forceIndex, isPosition);
        if (!isPosition && p == 0) return false;
        each([&](DatabaseEvents& e) { e.DatabaseRemove(p); });
        return true;
    }

    void add(const ref<tmp_Data>& entry, const Variant& ID) {
        each([&](DatabaseEvents& e) { e.DatabaseImport(entry, ID); });
    }
};

template <class Each>
Rules<Each> rules(Each each) {
    return Rules<Each>{std::move(each)};
}

} // namespace

std::int32_t DatabaseObject::count() {
    return rules([this](auto&& f) { raise_each(f); }).count();
}
bool DatabaseObject::exists(const Variant& ID) {
    return rules([this](auto&& f) { raise_each(f); }).exists(ID);
}
ref<Object> DatabaseObject::item(const Variant& ID, bool forceIndex) {
    return rules([this](auto&& f) { raise_each(f); }).item(ID, forceIndex);
}
bool DatabaseObject::remove(const Variant& ID, bool forceIndex) {
    return rules([this](auto&& f) { raise_each(f); }).remove(ID, forceIndex);
}
void DatabaseObject::add(const ref<tmp_Data>& entry, const Variant& ID) {
    rules([this](auto&& f) { raise_each(f); }).add(entry, ID);
}

namespace detail {
// A collection whose database object was never asked for answers through
// the same rules without one.
std::int32_t SoleSink::count() {
    return rules([this](auto&& f) { f(sink); }).count();
}
bool SoleSink::exists(const Variant& ID) {
    return rules([this](auto&& f) { f(sink); }).exists(ID);
}
ref<Object> SoleSink::item(const Variant& ID, bool forceIndex) {
    return rules([this](auto&& f) { f(sink); }).item(ID, forceIndex);
}
bool SoleSink::remove(const Variant& ID, bool forceIndex) {
    return rules([this](auto&& f) { f(sink); }).remove(ID, forceIndex);
}
void SoleSink::add(const ref<tmp_Data>& entry, const Variant& ID) {
    rules([this](auto&& f) { f(sink); }).add(entry, ID);
}
} // namespace detail

void DatabaseObject::clear() {
    raise_each([&](DatabaseEvents& e) { e.DatabaseClear(); });
}

// ---------------------------------------------------------------------------

MemberList::MemberList() : data_(DataObject::create()) {
    data_->bind(this);
    data_->class_name(library_base_name() + ".cls_MemberList");
}

MemberList::~MemberList() {
    if (data_) data_->unbind(this);
}

ref<MemberList> MemberList::create() { return ref<MemberList>(new MemberList()); }

void MemberList::DATA(ref<DataObject> d) {
    if (data_) data_->unbind(this);
    data_ = std::move(d);
    if (data_) data_->bind(this);
}

void MemberList::add_member(std::string_view name, const std::vector<Variant>& args) {
    if (args.empty()) {
        add_member(name, std::string_view());
        return;
    }
    const std::string value = args.front().to_text();
    add_member(name, std::string_view(value));
}

void MemberList::add_member(std::string_view name, std::string_view value) {
    if (text_.size() + name.size() + value.size() > UINT32_MAX)
        raise(hr::LIMIT_EXCEEDED, "Member list longer than 4 GiB");
    const auto at = static_cast<std::uint32_t>(text_.size());
    text_.append(name);
    text_.append(value);
    entries_.push_back({at, static_cast<std::uint32_t>(at + name.size())});
}

void MemberList::reserve(std::size_t n, std::size_t text) {
    entries_.reserve(entries_.size() + n);
    text_.reserve(text_.size() + text);
}

std::string_view MemberList::NAME(std::int32_t position) const {
    if (position < 1 || position > COUNT()) raise(hr::OUT_OF_RANGE, "Subscript out of range: member position");
    return name_at(static_cast<std::size_t>(position - 1));
}

std::string_view MemberList::VALUE(std::int32_t position) const {
    if (position < 1 || position > COUNT()) raise(hr::OUT_OF_RANGE, "Subscript out of range: member position");
    return value_at(static_cast<std::size_t>(position - 1));
}

bool MemberList::EXISTS(std::string_view name) const {
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (keys_equal(name_at(i), name)) return true;
    return false;
}

std::string MemberList::value_of(std::string_view name) const {
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (keys_equal(name_at(i), name)) return std::string(value_at(i));
    return {};
}

std::vector<MemberList::Member> MemberList::members() const {
    std::vector<Member> out;
    out.reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i)
        out.push_back({std::string(name_at(i)), std::string(value_at(i))});
    return out;
}

void MemberList::set_members(const std::vector<Member>& members) {
    text_.clear();
    entries_.clear();
    for (const Member& m : members) add_member(m.name, std::string_view(m.value));
    text_.shrink_to_fit();
    entries_.shrink_to_fit();
}

void MemberList::DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) {
    ref<MemberList> other = query<MemberList>(pOther);
    if (!other) raise(hr::TYPE_MISMATCH, "Type mismatch: copy of a member list from another class");
    data_->identifier(other->DATA()->identifier());
    text_ = other->text_;
    entries_ = other->entries_;
    pcDone = true;
}

// Package: identifier, member count, then name and value of each member.
void MemberList::DataPACK(std::string& pcPackage) {
    std::string out(detail::kPackageMagic);
    detail::put_value(out, data_->identifier());
    detail::put_value(out, Variant(static_cast<std::int32_t>(entries_.size())));
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        detail::put_element(out, 'S', name_at(i));
        detail::put_element(out, 'S', value_at(i));
    }
    pcPackage = std::move(out);
}

void MemberList::DataUnpack(std::string& prPackage) {
    std::string_view text = prPackage;
    if (text.substr(0, detail::kPackageMagic.size()) != detail::kPackageMagic) detail::bad_package("no package header");
    detail::ElementReader r(text.substr(detail::kPackageMagic.size()));
    Variant id = r.next_value();
    Variant n = r.next_value();
    if (!n.is_long() || n.lng() < 0 || static_cast<std::size_t>(n.lng()) > text.size() / 6)
        detail::bad_package("bad member count");
    std::vector<Member> members;
    for (std::int32_t i = 0; i < n.lng(); ++i) {
        Variant name = r.next_value();
        Variant value = r.next_value();
        if (!name.is_string() || !value.is_string()) detail::bad_package("bad member");
        members.push_back({name.string(), value.string()});
    }
    if (!r.at_end()) detail::bad_package("trailing data");
    data_->identifier(Variant(id.to_text()));
    set_members(members);
}

// Stored form: "1.0", identifier, member count, then name and value.
void MemberList::DataStore(FileObject& f) {
    f.write_values({Variant("1.0")});
    f.write_values({data_->identifier()});
    f.write_values({Variant(static_cast<std::int32_t>(entries_.size()))});
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        f.write_values({Variant(name_at(i))});
        f.write_values({Variant(value_at(i))});
    }
}

void MemberList::DataRead(FileObject& f) {
    std::string version;
    f.read_values({Target(&version)});
    if (upper(version) != "1.0") return;
    data_->identifier(f.read_value());
    std::int32_t n = 0;
    f.read_values({Target(&n)});
    if (n < 0) raise(hr::BAD_FILE_FORMAT, "Bad file format: negative member count");
    text_.clear();
    entries_.clear();
    for (std::int32_t i = 0; i < n; ++i) {
        std::string name, value;
        f.read_values({Target(&name)});
        f.read_values({Target(&value)});
        add_member(name, std::string_view(value));
    }
}

void MemberList::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

} // namespace tr47

/// \file
/// A C++ layer over the object model: typed look-ups that report a missing
/// or unconvertible value as an empty std::optional (or a default) instead
/// of an exception, path look-ups, and range-for over groups, values,
/// enumerations and members. The classes here are light handles that share
/// the model objects (cls_INI, cls_INIGroup, ...); model() gives the object
/// for everything else.
///
/// \code
/// tr47::Document doc;
/// if (doc.import("settings.ini")) {
///     int port = doc.get<int>("Port", 80);                    // anywhere in the tree
///     auto face = doc.get<std::string>("Fonts/Face", tr47::Lookup::Path);
///     for (tr47::Group g : doc.root().groups()) std::cout << g.name() << '\n';
/// }
/// \endcode
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "tr47ini/model.hpp"

namespace tr47 {

/// Where a look-up by name searches.
enum class Lookup {
    Here, ///< the group's own values
    Tree, ///< the group's own values, then the groups below depth first, as cls_INIGroup::VALUE searches
    /// A path of group names separated by "/", from the group down, and the
    /// value's name last ("Network/Port", "Printer, Fonts/Face"). A part
    /// written "SORT, NAME" names a group by both; otherwise by its key (its name, as imported).
    Path,
};

namespace detail {
// The machinery behind the templates below (in model/ini.cpp).
/// The content of the value that look-up finds, into out; false when none is
/// found (a broken stored group met on the way included).
TR47_INI_API bool find_content(cls_INIGroup& group, std::string_view name, Lookup how, Variant& out);
/// The group at a path of group names below group; empty when a part is missing.
TR47_INI_API ref<cls_INIGroup> find_group(cls_INIGroup& group, std::string_view path);
/// Conversions of a value's content (see value_as()); false when it has no
/// value of the type.
TR47_INI_API bool convert(const Variant& v, std::int64_t& out);
TR47_INI_API bool convert(const Variant& v, double& out);
TR47_INI_API bool convert(const Variant& v, bool& out);
TR47_INI_API bool convert(const Variant& v, std::string& out);
TR47_INI_API bool convert(const Variant& v, std::chrono::sys_seconds& out);
} // namespace detail

/// The content of a value as T, or nothing when it has no value of that
/// type. Never throws for a content of another kind.
///
/// - integral types: whole numbers that fit T (a Long, a Double without a
///   fraction, a text that reads as one as the INI text does: "8080",
///   "&H1F90"); no rounding, no booleans
/// - `bool`: booleans, numbers (0 is false, any other number true), and the
///   words True/False, Yes/No, Wahr/Falsch, Ja/Nein
/// - floating point: numbers and texts that read as numbers
/// - `std::string`: texts as they are, numbers and booleans as text, dates
///   as "yyyy-mm-dd" (with the time when there is one)
/// - `std::chrono::sys_days`, `year_month_day` and `sys_seconds`: dates,
///   and texts that read as dates
/// - `Variant`: the content itself
template <class T>
std::optional<T> value_as(const Variant& v) {
    using std::chrono::sys_days;
    using std::chrono::sys_seconds;
    if constexpr (std::is_same_v<T, Variant>) {
        return v;
    } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::string> || std::is_same_v<T, double> ||
                         std::is_same_v<T, std::int64_t> || std::is_same_v<T, sys_seconds>) {
        T out{};
        if (detail::convert(v, out)) return out;
        return std::nullopt;
    } else if constexpr (std::is_integral_v<T>) {
        std::int64_t n = 0;
        if (detail::convert(v, n) && std::in_range<T>(n)) return static_cast<T>(n);
        return std::nullopt;
    } else if constexpr (std::is_floating_point_v<T>) {
        double d = 0;
        if (detail::convert(v, d)) return static_cast<T>(d);
        return std::nullopt;
    } else if constexpr (std::is_same_v<T, sys_days> || std::is_same_v<T, std::chrono::year_month_day>) {
        sys_seconds t{};
        if (!detail::convert(v, t)) return std::nullopt;
        return T(std::chrono::floor<std::chrono::days>(t));
    } else {
        static_assert(sizeof(T) == 0, "value_as: no conversion to this type");
    }
}

class Enumeration;

/// A value: name, kind, content and, for enumeration values, the
/// enumeration.
class TR47_INI_API Value {
public:
    /// A handle on that value (shared, not copied).
    explicit Value(ref<cls_INIValue> value) : value_(std::move(value)) {}

    /// The name as written.
    const std::string& name() const { return value_->NAME(); }
    /// The kind the INI text gave it (or a program set).
    enm_INIValueSort kind() const { return static_cast<enm_INIValueSort>(value_->SORT()); }
    /// The content, unchanged.
    const Variant& content() const { return value_->CONTENT(); }
    /// The content as T (see value_as()).
    template <class T>
    std::optional<T> get() const {
        return value_as<T>(content());
    }
    /// The content as T, or `fallback` when it has no value of that type.
    template <class T>
    T get(const T& fallback) const {
        return value_as<T>(content()).value_or(fallback);
    }
    /// The enumeration an enumeration value refers to; nothing when there is none (ENUMREF empty).
    std::optional<Enumeration> enumeration() const;
    /// The model object.
    const ref<cls_INIValue>& model() const noexcept { return value_; }

private:
    ref<cls_INIValue> value_;
};

/// An enumeration: its name, description and members in declaration order.
class TR47_INI_API Enumeration {
public:
    /// A member: the name and the value text.
    using Member = MemberList::Member;

    /// A handle on that enumeration (shared, not copied).
    explicit Enumeration(ref<cls_INIEnum> e) : enum_(std::move(e)) {}

    /// The name.
    std::string name() const { return enum_->NAME(); }
    /// The description.
    const std::string& description() const { return enum_->DESCRIPTION(); }
    /// The members, for range-for (a copy: the list keeps them packed).
    std::vector<Member> members() const { return enum_->VALUES()->members(); }
    /// The value text of the first member of that name (case and outer
    /// blanks ignored); nothing when there is none.
    std::optional<std::string> value_of(std::string_view member) const;
    /// The model object.
    const ref<cls_INIEnum>& model() const noexcept { return enum_; }

private:
    ref<cls_INIEnum> enum_;
};

inline std::optional<Enumeration> Value::enumeration() const {
    if (!value_->ENUMREF()) return std::nullopt;
    return Enumeration(value_->ENUMREF());
}

/// The entries of a values, groups or enumerations collection, for
/// range-for, each as its handle (Value, Group, Enumeration). A missing
/// collection is an empty range. Entries are read by position as the loop
/// reaches them; changing the collection during the loop is not supported.
template <class Collection, class Handle>
class EntryRange {
public:
    /// Input iterator over the positions 1 to COUNT.
    class iterator {
    public:
        /// An entry's handle.
        using value_type = Handle;
        /// An entry's handle, by value.
        using reference = Handle;
        /// A distance between positions.
        using difference_type = std::ptrdiff_t;
        /// An input iterator.
        using iterator_category = std::input_iterator_tag;
        /// An iterator of no collection.
        iterator() = default;
        /// The iterator at that position of c.
        iterator(Collection* c, std::int32_t position) : c_(c), position_(position) {}
        /// The entry at the iterator's position.
        Handle operator*() const { return Handle(c_->Item(Variant(position_), true)); }
        /// The next position.
        iterator& operator++() {
            ++position_;
            return *this;
        }
        /// The next position (the old iterator returned).
        iterator operator++(int) {
            iterator old = *this;
            ++position_;
            return old;
        }
        /// Same collection and position.
        friend bool operator==(const iterator& a, const iterator& b) noexcept {
            return a.c_ == b.c_ && a.position_ == b.position_;
        }

    private:
        Collection* c_ = nullptr;
        std::int32_t position_ = 1;
    };

    /// The entries of c (none when c is empty).
    explicit EntryRange(ref<Collection> c) : c_(std::move(c)) {}
    /// The first entry.
    iterator begin() const { return iterator(c_.get(), 1); }
    /// Past the last entry.
    iterator end() const { return iterator(c_.get(), c_ ? c_->COUNT() + 1 : 1); }
    /// The number of entries.
    std::size_t size() const { return c_ ? static_cast<std::size_t>(c_->COUNT()) : 0; }
    /// Whether there is no entry.
    bool empty() const { return size() == 0; }

private:
    ref<Collection> c_;
};

class Group;
/// The values of a group.
using ValueRange = EntryRange<cls_INIValues, Value>;
/// The child groups of a group.
using GroupRange = EntryRange<cls_INIGroups, Group>;
/// The enumerations of a document.
using EnumerationRange = EntryRange<cls_INIEnums, Enumeration>;

/// A group: its values and child groups, and look-ups in them.
class TR47_INI_API Group {
public:
    /// A handle on that group (shared, not copied).
    explicit Group(ref<cls_INIGroup> group) : group_(std::move(group)) {}

    /// The name: "Fonts" of "BEGIN Printer, Fonts" and of "BEGIN Fonts" (of "BEGIN Fonts Printer" in a groups file).
    const std::string& name() const { return group_->NAME(); }
    /// The sort ("Printer" of "BEGIN Printer, Fonts"), empty when there is none.
    const std::string& sort() const { return group_->SORT(); }
    /// The description.
    const std::string& description() const { return group_->DESCRIPTION(); }
    /// The group's own values, for range-for.
    ValueRange values() const { return ValueRange(ref<cls_INIValues>(group_->values_if_any())); }
    /// The child groups, for range-for.
    GroupRange groups() const { return GroupRange(ref<cls_INIGroups>(group_->children_if_any())); }
    /// The group at a path of group names below this one ("Printer, Fonts",
    /// "Fonts/Fallback"; see Lookup::Path); nothing when a part is missing.
    std::optional<Group> group(std::string_view path) const;
    /// The first of the group's own values of that name (with its kind and
    /// enumeration); nothing when there is none.
    std::optional<Value> value(std::string_view name) const;

    /// Whether a value of that name is found.
    bool contains(std::string_view name, Lookup how = Lookup::Here) const {
        Variant ignored;
        return detail::find_content(*group_, name, how, ignored);
    }
    /// The content of the value found, unchanged.
    std::optional<Variant> find(std::string_view name, Lookup how = Lookup::Here) const {
        Variant v;
        if (!detail::find_content(*group_, name, how, v)) return std::nullopt;
        return v;
    }
    /// The value found as T (see value_as()); nothing when none is found or
    /// its content has no value of that type.
    template <class T>
    std::optional<T> get(std::string_view name, Lookup how = Lookup::Here) const {
        Variant v;
        if (!detail::find_content(*group_, name, how, v)) return std::nullopt;
        return value_as<T>(v);
    }
    /// The value found as T, or `fallback`.
    template <class T>
    T get(std::string_view name, const T& fallback, Lookup how = Lookup::Here) const {
        return get<T>(name, how).value_or(fallback);
    }
    /// The value found as text, or `fallback`.
    std::string get(std::string_view name, const char* fallback, Lookup how = Lookup::Here) const {
        return get<std::string>(name, how).value_or(fallback);
    }
    /// The model object.
    const ref<cls_INIGroup>& model() const noexcept { return group_; }

private:
    ref<cls_INIGroup> group_;
};

/// A document: import, load and save, look-ups over the whole tree by
/// default, its root group and enumerations.
class TR47_INI_API Document {
public:
    /// A new, empty document.
    Document();
    /// A handle on an existing document.
    explicit Document(ref<cls_INI> doc) : doc_(std::move(doc)) {}

    /// Imports an INI text file as cls_INI::IMPORT does (messages on the message
    /// sink when `messages`, default true); false on problems, which diagnostics() lists.
    bool import(std::string_view file, bool messages = true) { return doc_->IMPORT(std::string(file), messages); }
    /// Loads a stored file as cls_INI::LOAD does; false on any failure (a missing or
    /// damaged file or a wrong password changes nothing).
    bool load(std::string_view file, std::string_view password = {}) {
        return doc_->LOAD(std::string(file), std::string(password));
    }
    /// Stores the document as cls_INI::SAVE does (unprotected without a password); false on any failure.
    bool save(std::string_view file, std::string_view password = {}) const {
        return doc_->SAVE(std::string(file), std::string(password));
    }
    /// The problems the last import found.
    const std::vector<Diagnostic>& diagnostics() const noexcept { return doc_->diagnostics(); }

    /// The root group (the file's top level).
    Group root() const { return Group(doc_->ROOT()); }
    /// The group at a path of group names (see Group::group()).
    std::optional<Group> group(std::string_view path) const { return root().group(path); }
    /// The enumerations, for range-for.
    EnumerationRange enumerations() const { return EnumerationRange(doc_->ENUMS()); }
    /// The first enumeration of that name (case and outer blanks ignored); nothing when there is none.
    std::optional<Enumeration> enumeration(std::string_view name) const;

    /// Whether a value of that name is found (the whole tree by default).
    bool contains(std::string_view name, Lookup how = Lookup::Tree) const { return root().contains(name, how); }
    /// The content of the value found, unchanged.
    std::optional<Variant> find(std::string_view name, Lookup how = Lookup::Tree) const {
        return root().find(name, how);
    }
    /// The value found as T (see value_as()).
    template <class T>
    std::optional<T> get(std::string_view name, Lookup how = Lookup::Tree) const {
        return root().get<T>(name, how);
    }
    /// The value found as T, or `fallback`.
    template <class T>
    T get(std::string_view name, const T& fallback, Lookup how = Lookup::Tree) const {
        return root().get<T>(name, how).value_or(fallback);
    }
    /// The value found as text, or `fallback`.
    std::string get(std::string_view name, const char* fallback, Lookup how = Lookup::Tree) const {
        return root().get<std::string>(name, how).value_or(fallback);
    }
    /// The model object.
    const ref<cls_INI>& model() const noexcept { return doc_; }

private:
    ref<cls_INI> doc_;
};

} // namespace tr47

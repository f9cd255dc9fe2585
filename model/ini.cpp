// The C++ layer's look-ups and conversions: nothing found and nothing
// convertible are answers here, not failures.
#include <charconv>
#include <algorithm>
#include <cmath>

#include "corelib/numbers.hpp"
#include "tr47ini/ini.hpp"

namespace tr47 {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// The child group a path part names: "NAME" by the collection's key,
// "SORT, NAME" by both (the first match in position order).
ref<cls_INIGroup> child_named(cls_INIGroup& group, std::string_view part) {
    cls_INIGroups* children = group.children_if_any();
    if (!children || part.empty()) return nullptr;
    const std::size_t comma = part.find(',');
    if (comma == std::string_view::npos) return children->Item(Variant(std::string(trim(part))), false);
    const std::string_view sort = trim(part.substr(0, comma)), name = trim(part.substr(comma + 1));
    const std::int32_t n = children->COUNT();
    for (std::int32_t i = 1; i <= n; ++i) {
        ref<cls_INIGroup> child = children->Item(Variant(i), true);
        if (child && keys_equal(child->SORT(), sort) && keys_equal(child->NAME(), name)) return child;
    }
    return nullptr;
}

// Days between the automation date epoch (1899-12-30) and 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;
// Dates the automation date covers: the years 100 to 9999.
constexpr double kFirstDay = -657434.0, kLastDay = 2958465.0;

} // namespace

namespace detail {

ref<cls_INIGroup> find_group(cls_INIGroup& group, std::string_view path) {
    ref<cls_INIGroup> at(&group);
    while (at) {
        const std::size_t slash = path.find('/');
        at = child_named(*at, path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return at;
}

bool find_content(cls_INIGroup& group, std::string_view name, Lookup how, Variant& out) {
    try {
        ref<cls_INIGroup> in(&group);
        if (how == Lookup::Path) {
            const std::size_t slash = name.rfind('/');
            if (slash != std::string_view::npos) {
                in = find_group(group, name.substr(0, slash));
                if (!in) return false;
                name.remove_prefix(slash + 1);
            }
        }
        // The omitted-argument marker is what VALUE gives for "not found".
        out = in->VALUE(std::string(name), Variant::omitted(), how == Lookup::Tree);
        return !out.is_omitted();
    } catch (const Error&) {
        // A broken stored group met on the way: nothing found.
        return false;
    }
}

bool convert(const Variant& v, std::int64_t& out) {
    double d = 0;
    switch (v.type()) {
    case VarType::Long: out = v.lng(); return true;
    case VarType::Double: d = v.dbl(); break;
    case VarType::String: {
        const std::string_view s = trim(v.string());
        // Exact for every 64-bit number; other forms ("&H1F90", "1E3") as
        // the INI text reads numbers.
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
        if (ec == std::errc() && end == s.data() + s.size() && !s.empty()) return true;
        if (!parse_full_number(s, d)) return false;
        break;
    }
    default: return false;
    }
    // Whole numbers that fit; 2^63 itself does not.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
        return false;
    out = static_cast<std::int64_t>(d);
    return true;
}

bool convert(const Variant& v, double& out) {
    switch (v.type()) {
    case VarType::Long: out = v.lng(); return true;
    case VarType::Double: out = v.dbl(); return true;
    case VarType::String: return parse_full_number(v.string(), out);
    default: return false;
    }
}

bool convert(const Variant& v, bool& out) {
    switch (v.type()) {
    case VarType::Boolean: out = v.boolean(); return true;
    case VarType::Long: out = v.lng() != 0; return true;
    case VarType::Double: out = v.dbl() != 0.0; return true;
    case VarType::String: {
        if (is_boolean_word(trim(v.string()), &out)) return true;
        double d = 0;
        if (!parse_full_number(v.string(), d)) return false;
        out = d != 0.0;
        return true;
    }
    default: return false;
    }
}

bool convert(const Variant& v, std::string& out) {
    switch (v.type()) {
    case VarType::String: out = v.string(); return true;
    case VarType::Empty: out.clear(); return true;
    case VarType::Long:
    case VarType::Double:
    case VarType::Boolean: out = v.to_text(); return true;
    case VarType::Date: {
        std::chrono::sys_seconds ignored;
        if (!convert(v, ignored)) return false; // only dates of the years 100 to 9999
        out = format_date(v.date());
        return true;
    }
    default: return false;
    }
}

bool convert(const Variant& v, std::chrono::sys_seconds& out) {
    Date date;
    if (v.is_date()) {
        date = v.date();
    } else if (!v.is_string() || !parse_date_text(trim(v.string()), date)) {
        return false;
    }
    if (!std::isfinite(date.days) || date.days < kFirstDay || date.days >= kLastDay + 1) return false;
    // The whole part counts days from the epoch; the fraction is the time of
    // that day, also for days before the epoch (-1.25 is 1899-12-29 06:00).
    const double whole = std::trunc(date.days);
    const auto seconds = static_cast<std::int64_t>(std::llround(std::fabs(date.days - whole) * 86400.0));
    out = std::chrono::sys_seconds(std::chrono::seconds(static_cast<std::int64_t>(whole - kUnixEpochDays) * 86400 +
                                                        std::min<std::int64_t>(seconds, 86399)));
    return true;
}

} // namespace detail

std::optional<std::string> Enumeration::value_of(std::string_view member) const {
    const ref<MemberList> list = enum_->VALUES();
    if (!list->EXISTS(member)) return std::nullopt;
    return list->value_of(member);
}

std::optional<Group> Group::group(std::string_view path) const {
    ref<cls_INIGroup> g = detail::find_group(*group_, path);
    if (!g) return std::nullopt;
    return Group(std::move(g));
}

std::optional<Value> Group::value(std::string_view name) const {
    cls_INIValues* values = group_->values_if_any();
    if (!values) return std::nullopt;
    ref<cls_INIValue> v = values->Item(Variant(std::string(name)), false);
    if (!v) return std::nullopt;
    return Value(std::move(v));
}

Document::Document() : doc_(cls_INI::create()) {}

std::optional<Enumeration> Document::enumeration(std::string_view name) const {
    ref<cls_INIEnum> e = doc_->ENUMS()->Item(Variant(std::string(name)), false);
    if (!e) return std::nullopt;
    return Enumeration(std::move(e));
}

} // namespace tr47

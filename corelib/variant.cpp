#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "corelib/numbers.hpp"
#include "tr47ini/corelib.hpp"

namespace tr47 {

void raise(HRESULT code, const std::string& message) { throw Error(code, message); }

std::atomic<std::int64_t> Object::live_{0};

Object::~Object() { live_.fetch_sub(1, std::memory_order_relaxed); }

namespace detail {

void null_reference() {
    raise(hr::OBJECT_NOT_SET, "Object variable not set: a member was called through an empty reference");
}

// Releasing an object may release what it holds, which may release what
// that holds, and so on down a tree of any depth. Objects released while a
// release is under way are queued and deleted by the outermost call, so the
// native stack never grows with the depth of the tree.
void release_object(const Object* object) noexcept {
    static thread_local std::vector<const Object*>* pending = nullptr;
    if (pending) {
        pending->push_back(object);
        return;
    }
    std::vector<const Object*> queue;
    pending = &queue;
    delete object;
    while (!queue.empty()) {
        const Object* next = queue.back();
        queue.pop_back();
        delete next;
    }
    pending = nullptr;
}

} // namespace detail

VarType Variant::type() const noexcept {
    switch (v_.index()) {
    case 0: return VarType::Empty;
    case 1: return VarType::String;
    case 2: return VarType::Double;
    case 3: return VarType::Long;
    case 4: return VarType::Date;
    case 5: return VarType::Boolean;
    case 6: return VarType::Error;
    case 7: return VarType::Object;
    default: return VarType::Null;
    }
}

const char* type_name(VarType t) noexcept {
    switch (t) {
    case VarType::Empty: return "Empty";
    case VarType::Null: return "Null";
    case VarType::String: return "String";
    case VarType::Double: return "Double";
    case VarType::Long: return "Long";
    case VarType::Date: return "Date";
    case VarType::Boolean: return "Boolean";
    case VarType::Error: return "Error";
    case VarType::Object: return "Object";
    }
    return "?";
}

namespace {

std::string format_double(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    // Fifteen significant digits, as automation formats a double as text.
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15G", d);
    std::string s = buf;
    if (s == "-0") s = "0";
    return s;
}

[[noreturn]] void mismatch(const char* what) { raise(hr::TYPE_MISMATCH, std::string("Type mismatch: ") + what); }

[[noreturn]] void null_used() { raise(hr::INVALID_USE_OF_NULL, "Invalid use of Null"); }

std::int32_t round_to_long(double d) {
    if (std::isnan(d) || d < -2147483648.5 || d >= 2147483647.5)
        raise(hr::OVERFLOW_, "Overflow: number outside the 32-bit range");
    return static_cast<std::int32_t>(std::nearbyint(d)); // halves to even
}

} // namespace

std::string Variant::to_text() const {
    switch (type()) {
    case VarType::Empty: return {};
    case VarType::String: return string();
    case VarType::Double: return format_double(dbl());
    case VarType::Long: return std::to_string(lng());
    case VarType::Date: return format_date(date());
    case VarType::Boolean: return boolean() ? "True" : "False";
    case VarType::Null: null_used();
    case VarType::Error: mismatch("an error value has no text");
    case VarType::Object: mismatch("an object has no text");
    }
    return {};
}

double Variant::to_double() const {
    switch (type()) {
    case VarType::Empty: return 0.0;
    case VarType::String: {
        double d = 0;
        if (!detail::parse_full_number(string(), d)) mismatch("the text is no number");
        return d;
    }
    case VarType::Double: return dbl();
    case VarType::Long: return lng();
    case VarType::Date: return date().days;
    case VarType::Boolean: return boolean() ? -1.0 : 0.0;
    case VarType::Null: null_used();
    default: mismatch("no numeric value");
    }
}

std::int32_t Variant::to_long() const {
    if (is_long()) return lng();
    return round_to_long(to_double());
}

bool Variant::to_bool() const {
    if (is_bool()) return boolean();
    if (is_string()) {
        std::string u = upper(trim_blanks(string()));
        if (u == "TRUE" || u == "WAHR") return true;
        if (u == "FALSE" || u == "FALSCH") return false;
    }
    return to_double() != 0.0;
}

bool Variant::equals(const Variant& o) const {
    // Null equals nothing, itself included.
    if (is_null() || o.is_null()) return false;
    if (is_object() || o.is_object()) return is_object() && o.is_object() && object() == o.object();
    if (is_error() || o.is_error()) return is_error() && o.is_error() && error() == o.error();
    if (is_string() && o.is_string()) return string() == o.string();
    if (is_empty() && o.is_empty()) return true;
    if (is_empty()) return o.is_string() ? o.string().empty() : o.to_double() == 0.0;
    if (o.is_empty()) return is_string() ? string().empty() : to_double() == 0.0;
    // A number against a text: the text must read as that number.
    if (is_string() || o.is_string()) {
        const std::string& s = is_string() ? string() : o.string();
        double other = is_string() ? o.to_double() : to_double();
        double d = 0;
        return detail::parse_full_number(s, d) && d == other;
    }
    return to_double() == o.to_double();
}

bool Variant::same(const Variant& o) const {
    if (type() != o.type()) return false;
    if (is_double()) {
        // NaN compares equal to itself here: the same bits came back.
        double a = dbl(), b = o.dbl();
        return a == b || (std::isnan(a) && std::isnan(b));
    }
    return v_ == o.v_;
}

std::string describe(const Variant& v) {
    std::string t = type_name(v.type());
    switch (v.type()) {
    case VarType::Empty:
    case VarType::Null: return t;
    case VarType::Error: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v.error().code));
        return t + "(" + buf + ")";
    }
    case VarType::Object: return t;
    default: return t + "(" + v.to_text() + ")";
    }
}

void Target::assign(const Variant& v) const {
    switch (kind) {
    case Kind::Text: *static_cast<std::string*>(where) = v.to_text(); break;
    case Kind::Long: *static_cast<std::int32_t*>(where) = v.to_long(); break;
    case Kind::AnyVariant: *static_cast<Variant*>(where) = v; break;
    case Kind::Slots: mismatch("a single value cannot fill a slot array");
    }
}

} // namespace tr47

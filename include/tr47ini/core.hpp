// Automation-style foundation types: failure codes, reference-counted
// objects and the variant that the object model speaks in.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "tr47ini/api.hpp"

namespace tr47 {

// ---------------------------------------------------------------------------
// Failure codes (HRESULT values) and the one error type that carries them.

using HRESULT = std::int32_t;

// Names differ from the platform headers' macros so that both can be included.
/// The failure codes that tr47::Error carries.
namespace hr {
constexpr HRESULT OK = 0; ///< no failure
constexpr HRESULT FAIL = static_cast<HRESULT>(0x80004005u); ///< general failure (E_FAIL)
constexpr HRESULT NO_INTERFACE = static_cast<HRESULT>(0x80004002u); ///< interface not offered (E_NOINTERFACE)
constexpr HRESULT OUT_OF_MEMORY = static_cast<HRESULT>(0x8007000Eu); ///< E_OUTOFMEMORY
constexpr HRESULT INVALID_ARGUMENT = static_cast<HRESULT>(0x80070057u); ///< E_INVALIDARG
constexpr HRESULT PARAM_NOT_FOUND = static_cast<HRESULT>(0x80020004u); ///< argument omitted (DISP_E_PARAMNOTFOUND)
constexpr HRESULT ARGUMENT_TYPE_MISMATCH = static_cast<HRESULT>(0x80020005u); ///< DISP_E_TYPEMISMATCH
constexpr HRESULT ARGUMENT_OVERFLOW = static_cast<HRESULT>(0x8002000Au); ///< DISP_E_OVERFLOW
constexpr HRESULT BAD_INDEX = static_cast<HRESULT>(0x8002000Bu); ///< DISP_E_BADINDEX
// Automation run-time errors, as the platform reports them (0x800A0000 + n).
constexpr HRESULT INVALID_CALL = static_cast<HRESULT>(0x800A0005u); ///< 5: invalid procedure call
constexpr HRESULT OVERFLOW_ = static_cast<HRESULT>(0x800A0006u); ///< 6: overflow
constexpr HRESULT OUT_OF_RANGE = static_cast<HRESULT>(0x800A0009u); ///< 9: subscript out of range
constexpr HRESULT TYPE_MISMATCH = static_cast<HRESULT>(0x800A000Du); ///< 13: type mismatch
constexpr HRESULT FILE_NOT_FOUND = static_cast<HRESULT>(0x800A0035u); ///< 53: file not found
constexpr HRESULT BAD_FILE_FORMAT = static_cast<HRESULT>(0x800A0141u); ///< 321: bad file format
constexpr HRESULT PERMISSION_DENIED = static_cast<HRESULT>(0x800A0046u); ///< 70: permission denied
constexpr HRESULT PATH_ACCESS = static_cast<HRESULT>(0x800A004Bu); ///< 75: path/file access error
constexpr HRESULT OBJECT_NOT_SET = static_cast<HRESULT>(0x800A005Bu); ///< 91: object variable not set
constexpr HRESULT INVALID_USE_OF_NULL = static_cast<HRESULT>(0x800A005Eu); ///< 94: invalid use of Null
constexpr HRESULT LIMIT_EXCEEDED = static_cast<HRESULT>(0x800A0007u); ///< 7: out of memory (a resource limit passed)
} // namespace hr

/// Every failure inside the library travels as this exception.
class TR47_INI_API Error : public std::runtime_error {
public:
    /// An error of that code (a tr47::hr value) and message.
    Error(HRESULT code, const std::string& message) : std::runtime_error(message), code_(code) {}
    /// The code (a tr47::hr value); what() gives the message.
    HRESULT code() const noexcept { return code_; }

private:
    HRESULT code_;
};

/// Throws tr47::Error of that code and message.
[[noreturn]] TR47_INI_API void raise(HRESULT code, const std::string& message);

/// Automation boolean: true is all bits set.
using VARIANT_BOOL = std::int16_t;
// (The Windows headers define these two as macros of the same values.)
#ifndef VARIANT_TRUE
/// Automation true (-1).
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
/// Automation false (0).
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
#endif
/// VARIANT_TRUE (-1) for true, VARIANT_FALSE (0) for false.
constexpr VARIANT_BOOL to_vbool(bool b) noexcept { return b ? VARIANT_BOOL(-1) : VARIANT_BOOL(0); }

// ---------------------------------------------------------------------------
// Reference-counted objects.

class Object;

namespace detail {
/// Deletes an object whose last reference went; objects released meanwhile
/// wait in a queue, so that a deep tree needs no deep stack.
TR47_INI_API void release_object(const Object* object) noexcept;
/// Raises "Object variable not set" (error 91) for a member reached
/// through an empty reference.
[[noreturn]] TR47_INI_API void null_reference();
} // namespace detail

/// Base of every shared object. Any number of threads may read one document
/// at once, and reading hands out references: the count is atomic, as is
/// the library-wide count of live objects.
class TR47_INI_API Object {
public:
    /// Counts one more live object; the new object has no reference yet.
    Object() noexcept { live_.fetch_add(1, std::memory_order_relaxed); }
    /// Objects are shared through references, never copied.
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    /// One reference more.
    void add_ref() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    /// One reference less; the last one deletes the object.
    void release() const noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) detail::release_object(this);
    }
    /// Number of references now held.
    std::uint32_t ref_count() const noexcept { return refs_.load(std::memory_order_relaxed); }

    /// Number of live objects of the library (the server's unload test).
    static std::int64_t live_objects() noexcept { return live_.load(std::memory_order_relaxed); }

protected:
    virtual ~Object();

private:
    friend void detail::release_object(const Object*) noexcept;
    mutable std::atomic<std::uint32_t> refs_{0};
    static std::atomic<std::int64_t> live_;
};

/// Intrusive shared pointer. Destruction of long chains (a million nested
/// groups) is made iterative by release_object, so no destructor recursion
/// can exhaust the stack.
template <class T>
class ref {
public:
    /// An empty reference.
    ref() noexcept = default;
    /// An empty reference.
    ref(std::nullptr_t) noexcept {}
    /// A reference to p (none for null).
    ref(T* p) noexcept : p_(p) {
        if (p_) p_->add_ref();
    }
    /// Another reference to o's object.
    ref(const ref& o) noexcept : ref(o.p_) {}
    /// Takes o's reference; o is empty afterwards.
    ref(ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    /// A reference to o's object, seen as its base class T.
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ref(const ref<U>& o) noexcept : ref(o.get()) {}
    /// Releases the reference.
    ~ref() {
        if (p_) p_->release();
    }
    /// Refers to o's object instead, releasing the old one.
    ref& operator=(ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    /// The object, null when empty; never raises.
    T* get() const noexcept { return p_; }
    /// A member reached through an empty reference (a look-up that found
    /// nothing, then a call on its result) raises hr::OBJECT_NOT_SET (91) instead of crashing.
    T* operator->() const {
        if (!p_) [[unlikely]]
            detail::null_reference();
        return p_;
    }
    /// The object; hr::OBJECT_NOT_SET (91) when empty.
    T& operator*() const {
        if (!p_) [[unlikely]]
            detail::null_reference();
        return *p_;
    }
    /// Whether it refers to an object.
    explicit operator bool() const noexcept { return p_ != nullptr; }
    /// Releases the object; the reference is empty afterwards.
    void reset() noexcept { ref().swap(*this); }
    /// Exchanges the objects of two references.
    void swap(ref& o) noexcept { std::swap(p_, o.p_); }

    /// For a reference that readers on other threads may see set: the
    /// pointer read atomically, and a first object published once (false,
    /// and nothing changed, when another thread published one first).
    T* load_acquire() const noexcept {
        return std::atomic_ref<T*>(const_cast<T*&>(p_)).load(std::memory_order_acquire);
    }
    /// Sets an empty reference to fresh (not null), atomically; false, and nothing changed, when it is set already.
    bool publish(T* fresh) noexcept {
        fresh->add_ref();
        T* expected = nullptr;
        if (std::atomic_ref<T*>(p_).compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return true;
        fresh->release();
        return false;
    }
    /// Whether both refer to the same object (or both are empty).
    friend bool operator==(const ref& a, const ref& b) noexcept { return a.p_ == b.p_; }
    /// Whether it is empty.
    friend bool operator==(const ref& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    T* p_ = nullptr;
};

/// A new T made from args, held by the reference returned.
template <class T, class... Args>
ref<T> make_ref(Args&&... args) {
    return ref<T>(new T(std::forward<Args>(args)...));
}

/// Interface query: the object seen through another of its interfaces, or
/// nothing when it does not offer it.
template <class T, class U>
ref<T> query(const ref<U>& from) noexcept {
    return ref<T>(dynamic_cast<T*>(from.get()));
}
/// The same for a plain pointer (none for null).
template <class T, class U>
ref<T> query(U* from) noexcept {
    return ref<T>(dynamic_cast<T*>(from));
}

// ---------------------------------------------------------------------------
// Variant.

/// Date: days since 1899-12-30, the fraction being the time of day.
struct Date {
    /// Days since 1899-12-30 (negative before it); default 0.
    double days = 0.0;
    /// Same days.
    friend bool operator==(const Date&, const Date&) = default;
};

/// Error value; PARAM_NOT_FOUND (DISP_E_PARAMNOTFOUND) is the omitted-argument marker.
struct ErrorValue {
    /// The failure code; default hr::PARAM_NOT_FOUND.
    HRESULT code = hr::PARAM_NOT_FOUND;
    /// Same code.
    friend bool operator==(const ErrorValue&, const ErrorValue&) = default;
};

/// Empty: no value yet, as a new Variant holds.
struct Empty {
    /// Always true.
    friend bool operator==(const Empty&, const Empty&) = default;
};

/// Null: "no valid data", as clients pass it; kept as given, never converted.
struct Null {
    /// Always true (as C++ values; Variant::equals finds Null equal to nothing).
    friend bool operator==(const Null&, const Null&) = default;
};

/// Subtype of a Variant, numbered as the automation VARTYPE.
enum class VarType : std::uint8_t {
    Empty = 0,
    Null = 1,
    Long = 3,
    Double = 5,
    Date = 7,
    String = 8,
    Object = 9,
    Error = 10,
    Boolean = 11,
};

/// A value as automation passes it: Empty, Null, text, double, long, date, boolean, error value or object.
class TR47_INI_API Variant {
public:
    /// Empty.
    Variant() = default;
    /// Empty.
    Variant(Empty) {}
    /// Null.
    Variant(Null n) : v_(n) {}
    /// A text.
    Variant(std::string s) : v_(std::move(s)) {}
    /// A text.
    Variant(const char* s) : v_(std::string(s)) {}
    /// A text.
    Variant(std::string_view s) : v_(std::string(s)) {}
    /// A double.
    Variant(double d) : v_(d) {}
    /// A long.
    Variant(std::int32_t l) : v_(l) {}
    /// A date.
    Variant(Date d) : v_(d) {}
    /// An error value.
    Variant(ErrorValue e) : v_(e) {}
    /// An object (an empty reference stays an object subtype).
    Variant(ref<Object> o) : v_(std::move(o)) {}
    /// An object of any class of the library.
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
    Variant(const ref<T>& o) : v_(ref<Object>(o)) {}
    /// A boolean, stored as an automation boolean.
    static Variant boolean(bool b) {
        Variant v;
        v.v_ = Bool{b};
        return v;
    }
    /// The omitted-argument marker: the error value hr::PARAM_NOT_FOUND.
    static Variant omitted() { return Variant(ErrorValue{hr::PARAM_NOT_FOUND}); }

    /// The subtype.
    VarType type() const noexcept;
    /// Whether it is Empty.
    bool is_empty() const noexcept { return v_.index() == 0; }
    /// Whether it is a text.
    bool is_string() const noexcept { return std::holds_alternative<std::string>(v_); }
    /// Whether it is a double.
    bool is_double() const noexcept { return std::holds_alternative<double>(v_); }
    /// Whether it is a long.
    bool is_long() const noexcept { return std::holds_alternative<std::int32_t>(v_); }
    /// Whether it is a date.
    bool is_date() const noexcept { return std::holds_alternative<Date>(v_); }
    /// Whether it is a boolean.
    bool is_bool() const noexcept { return std::holds_alternative<Bool>(v_); }
    /// Whether it is an error value (the omitted-argument marker included).
    bool is_error() const noexcept { return std::holds_alternative<ErrorValue>(v_); }
    /// Whether it is an object (possibly an empty reference).
    bool is_object() const noexcept { return std::holds_alternative<ref<Object>>(v_); }
    /// Whether it is Null.
    bool is_null() const noexcept { return std::holds_alternative<Null>(v_); }
    /// Whether it is the omitted-argument marker (an error value of hr::PARAM_NOT_FOUND).
    bool is_omitted() const noexcept { return is_error() && std::get<ErrorValue>(v_).code == hr::PARAM_NOT_FOUND; }
    /// Whether it is a double, long, date or boolean.
    bool is_numeric() const noexcept { return is_double() || is_long() || is_date() || is_bool(); }

    /// The text. These accessors do not convert: for another subtype they throw std::bad_variant_access (no
    /// tr47::Error), so call them after the matching is_ test.
    const std::string& string() const { return std::get<std::string>(v_); }
    /// The double (see string()).
    double dbl() const { return std::get<double>(v_); }
    /// The long (see string()).
    std::int32_t lng() const { return std::get<std::int32_t>(v_); }
    /// The date (see string()).
    Date date() const { return std::get<Date>(v_); }
    /// The boolean (see string()).
    bool boolean() const { return std::get<Bool>(v_).value; }
    /// The boolean as VARIANT_TRUE or VARIANT_FALSE (see string()).
    VARIANT_BOOL vbool() const { return to_vbool(boolean()); }
    /// The error value (see string()).
    ErrorValue error() const { return std::get<ErrorValue>(v_); }
    /// The object (see string()).
    const ref<Object>& object() const { return std::get<ref<Object>>(v_); }

    /// As text: Empty as "", doubles with up to 15 significant digits, dates as format_date() writes them,
    /// booleans as "True"/"False". hr::TYPE_MISMATCH for an error value or object, hr::INVALID_USE_OF_NULL for Null.
    std::string to_text() const;
    /// As a double: Empty 0, texts that read wholly as a number ("." or "," as mark, &H, &O), dates as days, true
    /// -1. hr::TYPE_MISMATCH otherwise, hr::INVALID_USE_OF_NULL for Null.
    double to_double() const;
    /// As a long: as to_double(), rounded half to even; hr::OVERFLOW_ outside the 32-bit range.
    std::int32_t to_long() const;
    /// As a boolean: the texts True/Wahr and False/Falsch (blanks at the ends and case ignored), else whether
    /// to_double() is not 0 (with its errors).
    bool to_bool() const;

    /// Equality as the automation '=' operator decides it for the subtypes the
    /// library holds: numbers compare by value across subtypes, texts exactly,
    /// Empty equals 0 and "", objects by identity; Null equals nothing. Never raises.
    bool equals(const Variant& other) const;

    /// Exact identity of subtype and value (used by tests and round trips).
    bool same(const Variant& other) const;

private:
    struct Bool {
        bool value = false;
        friend bool operator==(const Bool&, const Bool&) = default;
    };
    std::variant<Empty, std::string, double, std::int32_t, Date, Bool, ErrorValue, ref<Object>, Null> v_;
};

/// Name of a subtype: "Empty", "Null", "String", "Double", "Long", "Date", "Boolean", "Error" or "Object".
TR47_INI_API const char* type_name(VarType t) noexcept;
/// Subtype and value for diagnostics and tests: "Double(1.5)", "String(x)", "Error(0x80020004)", "Empty".
TR47_INI_API std::string describe(const Variant& v);

} // namespace tr47

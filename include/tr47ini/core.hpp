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
namespace hr {
constexpr HRESULT OK = 0;
constexpr HRESULT FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT NO_INTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT OUT_OF_MEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT INVALID_ARGUMENT = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT PARAM_NOT_FOUND = static_cast<HRESULT>(0x80020004u);
constexpr HRESULT ARGUMENT_TYPE_MISMATCH = static_cast<HRESULT>(0x80020005u);
constexpr HRESULT ARGUMENT_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
constexpr HRESULT BAD_INDEX = static_cast<HRESULT>(0x8002000Bu);
// Automation run-time errors, as the platform reports them (0x800A0000 + n).
constexpr HRESULT INVALID_CALL = static_cast<HRESULT>(0x800A0005u); ///< 5
constexpr HRESULT OVERFLOW_ = static_cast<HRESULT>(0x800A0006u); ///< 6
constexpr HRESULT OUT_OF_RANGE = static_cast<HRESULT>(0x800A0009u); ///< 9
constexpr HRESULT TYPE_MISMATCH = static_cast<HRESULT>(0x800A000Du); ///< 13
constexpr HRESULT FILE_NOT_FOUND = static_cast<HRESULT>(0x800A0035u); ///< 53
constexpr HRESULT BAD_FILE_FORMAT = static_cast<HRESULT>(0x800A0141u); ///< 321
constexpr HRESULT PERMISSION_DENIED = static_cast<HRESULT>(0x800A0046u); ///< 70
constexpr HRESULT PATH_ACCESS = static_cast<HRESULT>(0x800A004Bu); ///< 75
constexpr HRESULT OBJECT_NOT_SET = static_cast<HRESULT>(0x800A005Bu); ///< 91
constexpr HRESULT INVALID_USE_OF_NULL = static_cast<HRESULT>(0x800A005Eu); ///< 94
constexpr HRESULT LIMIT_EXCEEDED = static_cast<HRESULT>(0x800A0007u); ///< 7: out of memory
} // namespace hr

/// Every failure inside the library travels as this exception.
class TR47_INI_API Error : public std::runtime_error {
public:
    Error(HRESULT code, const std::string& message) : std::runtime_error(message), code_(code) {}
    HRESULT code() const noexcept { return code_; }

private:
    HRESULT code_;
};

[[noreturn]] TR47_INI_API void raise(HRESULT code, const std::string& message);

/// Automation boolean: true is all bits set.
using VARIANT_BOOL = std::int16_t;
// (The Windows headers define these two as macros of the same values.)
#ifndef VARIANT_TRUE
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
#endif
constexpr VARIANT_BOOL to_vbool(bool b) noexcept { return b ? VARIANT_BOOL(-1) : VARIANT_BOOL(0); }

// ---------------------------------------------------------------------------
// Reference-counted objects.

class Object;

namespace detail {
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
    Object() noexcept { live_.fetch_add(1, std::memory_order_relaxed); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    void add_ref() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() const noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) detail::release_object(this);
    }
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
    ref() noexcept = default;
    ref(std::nullptr_t) noexcept {}
    ref(T* p) noexcept : p_(p) {
        if (p_) p_->add_ref();
    }
    ref(const ref& o) noexcept : ref(o.p_) {}
    ref(ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ref(const ref<U>& o) noexcept : ref(o.get()) {}
    ~ref() {
        if (p_) p_->release();
    }
    ref& operator=(ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    T* get() const noexcept { return p_; }
    /// A member reached through an empty reference (a look-up that found
    /// nothing, then a call on its result) raises instead of crashing.
    T* operator->() const {
        if (!p_) [[unlikely]]
            detail::null_reference();
        return p_;
    }
    T& operator*() const {
        if (!p_) [[unlikely]]
            detail::null_reference();
        return *p_;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { ref().swap(*this); }
    void swap(ref& o) noexcept { std::swap(p_, o.p_); }

    /// For a reference that readers on other threads may see set: the
    /// pointer read atomically, and a first object published once (false,
    /// and nothing changed, when another thread published one first).
    T* load_acquire() const noexcept {
        return std::atomic_ref<T*>(const_cast<T*&>(p_)).load(std::memory_order_acquire);
    }
    bool publish(T* fresh) noexcept {
        fresh->add_ref();
        T* expected = nullptr;
        if (std::atomic_ref<T*>(p_).compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return true;
        fresh->release();
        return false;
    }
    friend bool operator==(const ref& a, const ref& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const ref& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    T* p_ = nullptr;
};

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
template <class T, class U>
ref<T> query(U* from) noexcept {
    return ref<T>(dynamic_cast<T*>(from));
}

// ---------------------------------------------------------------------------
// Variant.

/// Date: days since 1899-12-30, the fraction being the time of day.
struct Date {
    double days = 0.0;
    friend bool operator==(const Date&, const Date&) = default;
};

/// Error value; PARAM_NOT_FOUND (DISP_E_PARAMNOTFOUND) is the omitted-argument marker.
struct ErrorValue {
    HRESULT code = hr::PARAM_NOT_FOUND;
    friend bool operator==(const ErrorValue&, const ErrorValue&) = default;
};

struct Empty {
    friend bool operator==(const Empty&, const Empty&) = default;
};

/// Null: "no valid data", as clients pass it; kept as given, never converted.
struct Null {
    friend bool operator==(const Null&, const Null&) = default;
};

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

class TR47_INI_API Variant {
public:
    Variant() = default;
    Variant(Empty) {}
    Variant(Null n) : v_(n) {}
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(const char* s) : v_(std::string(s)) {}
    Variant(std::string_view s) : v_(std::string(s)) {}
    Variant(double d) : v_(d) {}
    Variant(std::int32_t l) : v_(l) {}
    Variant(Date d) : v_(d) {}
    Variant(ErrorValue e) : v_(e) {}
    Variant(ref<Object> o) : v_(std::move(o)) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
    Variant(const ref<T>& o) : v_(ref<Object>(o)) {}
    /// Booleans are stored as automation booleans.
    static Variant boolean(bool b) {
        Variant v;
        v.v_ = Bool{b};
        return v;
    }
    static Variant omitted() { return Variant(ErrorValue{hr::PARAM_NOT_FOUND}); }

    VarType type() const noexcept;
    bool is_empty() const noexcept { return v_.index() == 0; }
    bool is_string() const noexcept { return std::holds_alternative<std::string>(v_); }
    bool is_double() const noexcept { return std::holds_alternative<double>(v_); }
    bool is_long() const noexcept { return std::holds_alternative<std::int32_t>(v_); }
    bool is_date() const noexcept { return std::holds_alternative<Date>(v_); }
    bool is_bool() const noexcept { return std::holds_alternative<Bool>(v_); }
    bool is_error() const noexcept { return std::holds_alternative<ErrorValue>(v_); }
    bool is_object() const noexcept { return std::holds_alternative<ref<Object>>(v_); }
    bool is_null() const noexcept { return std::holds_alternative<Null>(v_); }
    bool is_omitted() const noexcept { return is_error() && std::get<ErrorValue>(v_).code == hr::PARAM_NOT_FOUND; }
    bool is_numeric() const noexcept { return is_double() || is_long() || is_date() || is_bool(); }

    /// Unchecked accessors (call only after the matching is_ test).
    const std::string& string() const { return std::get<std::string>(v_); }
    double dbl() const { return std::get<double>(v_); }
    std::int32_t lng() const { return std::get<std::int32_t>(v_); }
    Date date() const { return std::get<Date>(v_); }
    bool boolean() const { return std::get<Bool>(v_).value; }
    VARIANT_BOOL vbool() const { return to_vbool(boolean()); }
    ErrorValue error() const { return std::get<ErrorValue>(v_); }
    const ref<Object>& object() const { return std::get<ref<Object>>(v_); }

    /// Conversions with automation rules; failures raise a type mismatch or
    /// an overflow (Null: invalid use of Null).
    std::string to_text() const;
    double to_double() const;
    std::int32_t to_long() const;
    bool to_bool() const;

    /// Equality as the automation '=' operator decides it for the subtypes the
    /// library holds: numbers compare by value across subtypes, texts exactly,
    /// Empty equals 0 and "", objects by identity.
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

/// Display helpers for diagnostics and tests.
TR47_INI_API const char* type_name(VarType t) noexcept;
TR47_INI_API std::string describe(const Variant& v);

} // namespace tr47

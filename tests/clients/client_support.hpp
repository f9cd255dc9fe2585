// What the test clients share: counted checks, steps that report a crash
// inside the server as a failed step and go on with the next one, a
// watchdog that turns a hang into a reported failure, automation strings
// and variants, late-bound calls, and creation by programmatic identifier.
// The same code builds with mingw-w64 (real COM, run under Wine) and
// natively against the Linux server (server/automation.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#else
#include <csetjmp>
#include <csignal>
#include <dlfcn.h>
#include <ucontext.h>
#include <unistd.h>

#include "server/activation.hpp"
#include "com_shim.h"
#endif

namespace client {

// ---------------------------------------------------------------------------
// Checks

inline std::atomic<int> g_failures{0};
inline std::atomic<int> g_checks{0};
// The step now running (for crash and timeout reports); steps run on the
// main thread except in the threads client, which names its threads.
inline const char* volatile g_step = "start-up";
// A thread of the threads client reports under its own name.
inline thread_local const char* t_label = nullptr;
inline const char* label() { return t_label ? t_label : g_step; }

inline void report_failure(const char* file, int line, const std::string& what) {
    ++g_failures;
    std::printf("FAIL [%s] %s:%d: %s\n", label(), file, line, what.c_str());
    std::fflush(stdout);
}

inline std::string hex(std::int64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(v));
    return b;
}

#define CHECK(cond)                                                                      \
    do {                                                                                 \
        ++client::g_checks;                                                              \
        if (!(cond)) client::report_failure(__FILE__, __LINE__, "check failed: " #cond); \
    } while (0)

// An HRESULT compared with the one expected; both are printed on failure.
#define CHECK_HR(expr, expected)                                                                           \
    do {                                                                                                   \
        ++client::g_checks;                                                                                \
        const long long got_ = static_cast<long long>(expr);                                               \
        const long long want_ = static_cast<long long>(expected);                                          \
        if (static_cast<std::uint32_t>(got_) != static_cast<std::uint32_t>(want_))                         \
            client::report_failure(                                                                        \
                __FILE__, __LINE__,                                                                        \
                std::string(#expr " returned ") + client::hex(got_) + ", expected " + client::hex(want_)); \
    } while (0)

// Two values that print with std::to_string or as text.
#define CHECK_EQ(actual, expected)                                                                                     \
    do {                                                                                                               \
        ++client::g_checks;                                                                                            \
        const auto a_ = (actual);                                                                                      \
        const auto e_ = (expected);                                                                                    \
        if (!(a_ == e_))                                                                                               \
            client::report_failure(__FILE__, __LINE__,                                                                 \
                                   std::string(#actual " is ") + client::show(a_) + ", expected " + client::show(e_)); \
    } while (0)

inline std::string show(const std::string& s) { return "\"" + s + "\""; }
inline std::string show(const char* s) { return show(std::string(s)); }
inline std::string show(bool b) { return b ? "true" : "false"; }
template <class T>
std::string show(const T& v) {
    return std::to_string(v);
}

// ---------------------------------------------------------------------------
// Steps that survive a crash in the server

#ifdef _WIN32
// The faulting state is recorded by a vectored handler, which resumes the
// thread in rescue() on a stack of its own; rescue() jumps back into step().
inline thread_local void* t_jump[5];
inline thread_local bool t_armed = false;
inline thread_local DWORD t_code = 0;
inline thread_local void* t_pc = nullptr;
inline thread_local ULONG_PTR t_info[2] = {0, 0};
inline thread_local char* t_rescue_stack = nullptr;
constexpr std::size_t kRescueStack = 64 * 1024;

inline bool is_fault(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_STACK_OVERFLOW:
    case 0xC0000409: // STATUS_STACK_BUFFER_OVERRUN (fail-fast)
        return true;
    default: return false;
    }
}

inline std::string where(const void* pc) {
    HMODULE m = nullptr;
    char name[MAX_PATH] = "?";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCSTR>(pc), &m) &&
        m) {
        char path[MAX_PATH];
        if (GetModuleFileNameA(m, path, MAX_PATH)) {
            const char* base = std::strrchr(path, '\\');
            std::snprintf(name, sizeof name, "%s", base ? base + 1 : path);
        }
        char b[MAX_PATH + 40];
        std::snprintf(b, sizeof b, "%s+0x%llx", name,
                      static_cast<unsigned long long>(static_cast<const char*>(pc) - reinterpret_cast<char*>(m)));
        return b;
    }
    char b[40];
    std::snprintf(b, sizeof b, "%p (no module)", pc);
    return b;
}

[[noreturn]] inline void rescue() { __builtin_longjmp(t_jump, 1); }

inline LONG CALLBACK on_exception(EXCEPTION_POINTERS* e) {
    const DWORD code = e->ExceptionRecord->ExceptionCode;
    if (!is_fault(code)) return EXCEPTION_CONTINUE_SEARCH;
    if (!t_armed || code == EXCEPTION_STACK_OVERFLOW) {
        std::printf("CRASH [%s] exception 0x%08lX at %s outside a recoverable step\n", label(),
                    static_cast<unsigned long>(code), where(e->ExceptionRecord->ExceptionAddress).c_str());
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    t_code = code;
    t_pc = e->ExceptionRecord->ExceptionAddress;
    t_info[0] = e->ExceptionRecord->NumberParameters > 0 ? e->ExceptionRecord->ExceptionInformation[0] : 0;
    t_info[1] = e->ExceptionRecord->NumberParameters > 1 ? e->ExceptionRecord->ExceptionInformation[1] : 0;
    t_armed = false;
    CONTEXT* c = e->ContextRecord;
    // As if rescue() had been called: 16-byte aligned before the return address.
    c->Rsp = ((reinterpret_cast<DWORD64>(t_rescue_stack) + kRescueStack) & ~DWORD64{15}) - 8;
    c->Rip = reinterpret_cast<DWORD64>(&rescue);
    return EXCEPTION_CONTINUE_EXECUTION;
}

inline std::string fault_text() {
    char b[200];
    if (t_code == EXCEPTION_ACCESS_VIOLATION)
        std::snprintf(b, sizeof b, "access violation (%s 0x%llx)",
                      t_info[0] == 0   ? "reading"
                      : t_info[0] == 8 ? "executing"
                                       : "writing",
                      static_cast<unsigned long long>(t_info[1]));
    else
        std::snprintf(b, sizeof b, "exception 0x%08lX", static_cast<unsigned long>(t_code));
    return std::string(b) + " at " + where(t_pc);
}

// Once per thread that runs steps.
inline void install_crash_guard() {
    static const PVOID handler = AddVectoredExceptionHandler(1, on_exception);
    (void)handler;
    if (!t_rescue_stack) t_rescue_stack = static_cast<char*>(std::malloc(kRescueStack));
}

// Runs body; true when it returned, false after a crash (already reported).
template <class F>
bool guarded(F&& body) {
    install_crash_guard();
    if (__builtin_setjmp(t_jump) == 0) {
        t_armed = true;
        body();
        t_armed = false;
        return true;
    }
    t_armed = false;
    ++g_failures;
    std::printf("CRASH [%s] %s\n", label(), fault_text().c_str());
    std::fflush(stdout);
    return false;
}
#else
inline thread_local sigjmp_buf* t_jump = nullptr;
inline thread_local int t_signal = 0;
inline thread_local void* t_addr = nullptr;
inline thread_local void* t_pc = nullptr;

inline void on_fault(int sig, siginfo_t* info, void* uctx) {
    if (!t_jump) {
        char msg[] = "CRASH: fatal signal 00 outside a recoverable step\n";
        msg[20] = static_cast<char>('0' + sig / 10 % 10);
        msg[21] = static_cast<char>('0' + sig % 10);
        ssize_t r = ::write(1, msg, sizeof msg - 1);
        (void)r;
        ::_exit(3);
    }
    t_signal = sig;
    t_addr = info ? info->si_addr : nullptr;
#if defined(__x86_64__)
    t_pc = reinterpret_cast<void*>(static_cast<ucontext_t*>(uctx)->uc_mcontext.gregs[REG_RIP]);
#else
    (void)uctx;
    t_pc = nullptr;
#endif
    sigjmp_buf* j = t_jump;
    t_jump = nullptr;
    siglongjmp(*j, 1);
}

inline std::string where(const void* pc) {
    Dl_info info{};
    if (pc && ::dladdr(pc, &info) && info.dli_fname) {
        const char* base = std::strrchr(info.dli_fname, '/');
        char b[600];
        std::snprintf(
            b, sizeof b, "%s+0x%llx%s%s", base ? base + 1 : info.dli_fname,
            static_cast<unsigned long long>(static_cast<const char*>(pc) - static_cast<const char*>(info.dli_fbase)),
            info.dli_sname ? " in " : "", info.dli_sname ? info.dli_sname : "");
        return b;
    }
    char b[40];
    std::snprintf(b, sizeof b, "%p (no module)", pc);
    return b;
}

// The handler's own stack, kept reachable here for leak checkers.
inline void* g_signal_stack = nullptr;

inline void install_crash_guard() {
    static bool done = [] {
        stack_t ss{};
        ss.ss_size = 256 * 1024;
        g_signal_stack = std::malloc(ss.ss_size);
        ss.ss_sp = g_signal_stack;
        ::sigaltstack(&ss, nullptr);
        struct sigaction sa {};
        sa.sa_sigaction = on_fault;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::sigaction(sig, &sa, nullptr);
        return true;
    }();
    (void)done;
}

template <class F>
bool guarded(F&& body) {
    install_crash_guard();
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) == 0) {
        t_jump = &jump;
        body();
        t_jump = nullptr;
        return true;
    }
    t_jump = nullptr;
    ++g_failures;
    std::printf("CRASH [%s] %s (fault address %p) at %s\n", label(), ::strsignal(t_signal), t_addr,
                where(t_pc).c_str());
    std::fflush(stdout);
    return false;
}
#endif

// One named part of a scenario. A C++ exception or a crash inside it fails
// the step; the next step runs regardless.
template <class F>
void step(const char* name, F&& body) {
    g_step = name;
    const int before = g_failures.load();
    std::printf("---- %s\n", name);
    std::fflush(stdout);
    const bool returned = guarded([&] {
        try {
            body();
        } catch (const std::exception& e) {
            report_failure(__FILE__, __LINE__, std::string("exception: ") + e.what());
        } catch (...) {
            report_failure(__FILE__, __LINE__, "unknown exception");
        }
    });
    if (returned && g_failures.load() == before)
        std::printf("ok   %s\n", name);
    else
        std::printf("FAILED %s\n", name);
    std::fflush(stdout);
}

// Ends the process with a report when it is not done within the limit, so
// that a hang is a failure with the step named, not a silent stop.
#ifdef _WIN32
inline void start_watchdog(unsigned seconds) {
    static unsigned limit = seconds;
    limit = seconds;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            Sleep(limit * 1000);
            std::printf("TIMEOUT [%s] not finished within %u s\n", g_step, limit);
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 124);
            return 0;
        },
        nullptr, 0, nullptr);
    if (t) CloseHandle(t);
}
#else
inline void start_watchdog(unsigned seconds) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {
        static const char head[] = "TIMEOUT [";
        static const char tail[] = "] not finished in time\n";
        const char* s = g_step;
        ssize_t r = ::write(1, head, sizeof head - 1);
        r = ::write(1, s, std::strlen(s));
        r = ::write(1, tail, sizeof tail - 1);
        (void)r;
        ::_exit(124);
    };
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    ::alarm(seconds);
}
#endif

// The closing line that the run scripts look for; the exit status.
inline int finish(const char* program) {
    g_step = "exit";
    if (g_failures.load() == 0) {
        std::printf("%s: all %d checks passed\n", program, g_checks.load());
        std::fflush(stdout);
        return 0;
    }
    std::printf("%s: %d of %d checks failed\n", program, g_failures.load(), g_checks.load());
    std::fflush(stdout);
    return 1;
}

// ---------------------------------------------------------------------------
// Automation strings

inline std::u16string utf16(std::string_view s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        char32_t cp = c;
        std::size_t n = 1;
        if (c >= 0xF0)
            cp = c & 0x07, n = 4;
        else if (c >= 0xE0)
            cp = c & 0x0F, n = 3;
        else if (c >= 0xC0)
            cp = c & 0x1F, n = 2;
        for (std::size_t k = 1; k < n && i + k < s.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

inline std::string utf8(const OLECHAR* s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        char32_t cp = static_cast<char16_t>(s[i]);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char16_t>(s[++i]) - 0xDC00);
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

inline BSTR alloc_bstr(std::string_view s) {
    const std::u16string u = utf16(s);
#ifdef _WIN32
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(u.data()), static_cast<UINT>(u.size()));
#else
    return tr47com::AllocBstr(u);
#endif
}

inline void free_bstr(BSTR b) {
#ifdef _WIN32
    SysFreeString(b);
#else
    tr47com::FreeBstr(b);
#endif
}

inline std::size_t bstr_length(BSTR b) {
    if (!b) return 0;
#ifdef _WIN32
    return SysStringLen(b);
#else
    // The byte length stands in the four bytes before the text.
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const char*>(b) - 4, 4);
    return bytes / sizeof(OLECHAR);
#endif
}

inline std::string text(BSTR b) { return b ? utf8(b, bstr_length(b)) : std::string(); }

// An owned automation string: passes as an in-argument, receives results.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::string_view s) : b_(alloc_bstr(s)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& o) noexcept : b_(o.b_) { o.b_ = nullptr; }
    Bstr& operator=(Bstr&& o) noexcept {
        std::swap(b_, o.b_);
        return *this;
    }
    ~Bstr() { free_bstr(b_); }
    operator BSTR() const { return b_; }
    BSTR* put() {
        free_bstr(b_);
        b_ = nullptr;
        return &b_;
    }
    std::string str() const { return text(b_); }
    bool is_null() const { return b_ == nullptr; }

private:
    BSTR b_ = nullptr;
};

// ---------------------------------------------------------------------------
// Variants

inline void clear_variant(VARIANT* v) {
#ifdef _WIN32
    VariantClear(v);
#else
    tr47com::ClearVariant(v);
#endif
    std::memset(v, 0, sizeof *v);
}

// An owned variant. Copies own their strings and object references.
class Var {
public:
    Var() { std::memset(&v_, 0, sizeof v_); }
    Var(const Var& o) : Var() { copy_from(o.v_); }
    Var& operator=(const Var& o) {
        if (this != &o) {
            clear();
            copy_from(o.v_);
        }
        return *this;
    }
    ~Var() { clear(); }

    static Var empty() { return Var(); }
    static Var null() { return of(VT_NULL); }
    static Var str(std::string_view s) {
        Var r = of(VT_BSTR);
        r.v_.bstrVal = alloc_bstr(s);
        return r;
    }
    static Var i4(std::int32_t n) {
        Var r = of(VT_I4);
        r.v_.lVal = n;
        return r;
    }
    static Var i2(std::int16_t n) {
        Var r = of(VT_I2);
        r.v_.iVal = n;
        return r;
    }
    static Var r8(double d) {
        Var r = of(VT_R8);
        r.v_.dblVal = d;
        return r;
    }
    static Var r4(float f) {
        Var r = of(VT_R4);
        r.v_.fltVal = f;
        return r;
    }
    static Var ui1(std::uint8_t b) {
        Var r = of(VT_UI1);
        r.v_.bVal = b;
        return r;
    }
    static Var i8(std::int64_t n) {
        Var r = of(VT_I8);
        r.v_.llVal = n;
        return r;
    }
    // Currency: the value times 10,000.
    static Var cy(std::int64_t scaled) {
        Var r = of(VT_CY);
        r.v_.cyVal.int64 = scaled;
        return r;
    }
    static Var boolean(bool b) {
        Var r = of(VT_BOOL);
        r.v_.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
        return r;
    }
    static Var error(HRESULT code) {
        Var r = of(VT_ERROR);
        r.v_.scode = code;
        return r;
    }
    // What an omitted optional argument arrives as.
    static Var omitted() { return error(static_cast<HRESULT>(0x80020004u)); }
    static Var disp(IDispatch* d) {
        Var r = of(VT_DISPATCH);
        r.v_.pdispVal = d;
        if (d) d->AddRef();
        return r;
    }
    static Var unk(IUnknown* u) {
        Var r = of(VT_UNKNOWN);
        r.v_.punkVal = u;
        if (u) u->AddRef();
        return r;
    }
    // A reference to storage the caller keeps alive (VT_BYREF | type).
    static Var byref(VARTYPE type, void* target) {
        Var r = of(static_cast<VARTYPE>(VT_BYREF | type));
        r.v_.byref = target;
        return r;
    }

    VARIANT& raw() { return v_; }
    const VARIANT& raw() const { return v_; }
    VARIANT* put() {
        clear();
        return &v_;
    }
    VARTYPE vt() const { return v_.vt; }
    void clear() { clear_variant(&v_); }

    std::string str_value() const { return v_.vt == VT_BSTR ? text(v_.bstrVal) : "<vt " + std::to_string(v_.vt) + ">"; }
    IUnknown* object() const { return (v_.vt == VT_DISPATCH || v_.vt == VT_UNKNOWN) ? v_.punkVal : nullptr; }

private:
    static Var of(VARTYPE vt) {
        Var r;
        r.v_.vt = vt;
        return r;
    }
    void copy_from(const VARIANT& o) {
        v_ = o;
        if (o.vt == VT_BSTR) v_.bstrVal = o.bstrVal ? alloc_bstr(text(o.bstrVal)) : nullptr;
        if ((o.vt == VT_DISPATCH || o.vt == VT_UNKNOWN) && o.punkVal) o.punkVal->AddRef();
    }
    VARIANT v_;
};

// A description of a variant for failure messages.
inline std::string describe(const VARIANT& v) {
    char b[120];
    switch (v.vt) {
    case VT_EMPTY: return "Empty";
    case VT_NULL: return "Null";
    case VT_BSTR: return "String \"" + text(v.bstrVal) + "\"";
    case VT_I4: std::snprintf(b, sizeof b, "Long %d", static_cast<int>(v.lVal)); return b;
    case VT_R8: std::snprintf(b, sizeof b, "Double %g", v.dblVal); return b;
    case VT_BOOL: return v.boolVal ? "Boolean True" : "Boolean False";
    case VT_ERROR: return "Error " + hex(v.scode);
    case VT_DISPATCH: return v.pdispVal ? "Object" : "Nothing";
    case VT_UNKNOWN: return v.punkVal ? "Unknown object" : "Unknown Nothing";
    default: std::snprintf(b, sizeof b, "vt %u", static_cast<unsigned>(v.vt)); return b;
    }
}
inline std::string show(const Var& v) { return describe(v.raw()); }

// ---------------------------------------------------------------------------
// Interface pointers

template <class T>
class Ptr {
public:
    Ptr() = default;
    explicit Ptr(T* p) : p_(p) {}
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    Ptr(Ptr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ptr& operator=(Ptr&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Ptr() { reset(); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (p_) {
            T* p = p_;
            p_ = nullptr;
            p->Release();
        }
    }

private:
    T* p_ = nullptr;
};

template <class T>
Ptr<T> query(IUnknown* from, const IID& iid, HRESULT* result = nullptr) {
    Ptr<T> p;
    HRESULT h = from ? from->QueryInterface(iid, p.put_void()) : E_POINTER;
    if (result) *result = h;
    return p;
}

// The object's identity: its IUnknown pointer (compared, not used).
inline const void* identity(IUnknown* p) {
    if (!p) return nullptr;
    IUnknown* u = nullptr;
    if (p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u)) != S_OK || !u) return nullptr;
    u->Release();
    return u;
}

// ---------------------------------------------------------------------------
// The server

#ifdef _WIN32
inline HRESULT create_object(const char* progid, const IID& iid, void** out) {
    *out = nullptr;
    const std::u16string w = utf16(progid);
    CLSID clsid;
    HRESULT h = CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(w.c_str()), &clsid);
    if (h != S_OK) return h;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
}

// DllCanUnloadNow of the loaded server, or E_FAIL when it is not loaded.
inline HRESULT can_unload_now() {
    HMODULE m = GetModuleHandleW(L"TR47_INI.dll");
    if (!m) return E_FAIL;
    auto f =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(m, "DllCanUnloadNow")));
    return f ? f() : E_FAIL;
}
#else
inline HRESULT create_object(const char* progid, const IID& iid, void** out) {
    *out = nullptr;
    IDispatch* d = nullptr;
    HRESULT h = tr47com::CreateObjectByProgID(progid, &d);
    if (h != S_OK) return h;
    h = d->QueryInterface(iid, out);
    d->Release();
    return h;
}

inline HRESULT can_unload_now() { return tr47com::CanUnloadServer(); }

// Registers the server library in a registry file of the scratch folder,
// as regsvr32 would; the handle stays open for the unregistration.
class LinuxServer {
public:
    LinuxServer(const std::string& path, const std::string& scratch) {
        const std::string registry = scratch + "/registry";
        ::setenv("TR47_REGISTRY", registry.c_str(), 1);
        lib_ = ::dlopen(path.c_str(), RTLD_NOW);
        if (!lib_) {
            std::printf("cannot load %s: %s\n", path.c_str(), ::dlerror());
            return;
        }
        auto reg = reinterpret_cast<HRESULT (*)()>(::dlsym(lib_, "DllRegisterServer"));
        registered_ = reg && reg() == S_OK;
    }
    ~LinuxServer() {
        if (!lib_) return;
        auto unreg = reinterpret_cast<HRESULT (*)()>(::dlsym(lib_, "DllUnregisterServer"));
        if (unreg) unreg();
    }
    bool ok() const { return registered_; }

private:
    void* lib_ = nullptr;
    bool registered_ = false;
};
#endif

// What a client program takes from its command line: the example file and
// a scratch folder, with the server ready (Windows: COM started on this
// thread; Linux: the server library loaded and registered in a registry
// file in the scratch folder). Arguments: [SERVER.so on Linux] EXAMPLE SCRATCH.
class ClientSetup {
public:
    ClientSetup(int argc, char** argv, const char* program) {
#ifdef _WIN32
        if (argc != 3) {
            std::printf("usage: %s EXAMPLE.ini SCRATCH\n", program);
            return;
        }
        example = argv[1];
        scratch = argv[2];
        CHECK_HR(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
#else
        if (argc != 4) {
            std::printf("usage: %s SERVER.so EXAMPLE.ini SCRATCH\n", program);
            return;
        }
        example = argv[2];
        scratch = argv[3];
        server_ = std::make_unique<LinuxServer>(argv[1], scratch);
        CHECK(server_->ok());
#endif
        usable_ = true;
    }
    // False (the usage printed) when the arguments were wrong.
    bool usable() const { return usable_; }
    std::string example, scratch;

private:
    bool usable_ = false;
#ifndef _WIN32
    std::unique_ptr<LinuxServer> server_;
#endif
};

// ---------------------------------------------------------------------------
// Late-bound calls

inline DISPID dispid_of(IDispatch* d, const char* name, HRESULT* result = nullptr) {
    Bstr n(name);
    OLECHAR* names[] = {n};
    DISPID id = -1;
    HRESULT h = d ? d->GetIDsOfNames(IID_NULL, names, 1, 0, &id) : E_POINTER;
    if (result) *result = h;
    return id;
}

struct Result {
    HRESULT hr = E_FAIL;
    Var value;
    UINT argErr = 0xFFFFFFFFu;
    HRESULT scode = 0; // EXCEPINFO.scode after DISP_E_EXCEPTION
    std::string error; // its description
};

// Invoke with positional arguments in natural order and named arguments
// (dispatch identifier, value) in the order given; named ones come first in
// rgvarg, the positional ones follow in reverse, as callers build them.
inline Result invoke(IDispatch* d, DISPID id, WORD flags, const std::vector<Var>& args,
                     const std::vector<std::pair<DISPID, Var>>& named = {}) {
    std::vector<VARIANT> rg;
    std::vector<DISPID> ids;
    for (const auto& n : named) {
        rg.push_back(n.second.raw());
        ids.push_back(n.first);
    }
    for (auto it = args.rbegin(); it != args.rend(); ++it) rg.push_back(it->raw());
    DISPPARAMS params{};
    params.rgvarg = rg.empty() ? nullptr : rg.data();
    params.rgdispidNamedArgs = ids.empty() ? nullptr : ids.data();
    params.cArgs = static_cast<UINT>(rg.size());
    params.cNamedArgs = static_cast<UINT>(ids.size());
    Result r;
    EXCEPINFO info;
    std::memset(&info, 0, sizeof info);
    r.hr = d ? d->Invoke(id, IID_NULL, 0, flags, &params, r.value.put(), &info, &r.argErr) : E_POINTER;
    if (r.hr == static_cast<HRESULT>(0x80020009u)) {
        r.scode = info.scode;
        r.error = text(info.bstrDescription);
    }
    free_bstr(info.bstrSource);
    free_bstr(info.bstrDescription);
    free_bstr(info.bstrHelpFile);
    return r;
}

constexpr WORD kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

// A member by name, called as a script calls it.
inline Result call(IDispatch* d, const char* name, const std::vector<Var>& args = {}) {
    HRESULT h = S_OK;
    const DISPID id = dispid_of(d, name, &h);
    if (h != S_OK) {
        Result r;
        r.hr = h;
        return r;
    }
    return invoke(d, id, kCall, args);
}

inline HRESULT put(IDispatch* d, const char* name, const Var& value, WORD kind = DISPATCH_PROPERTYPUT) {
    HRESULT h = S_OK;
    const DISPID id = dispid_of(d, name, &h);
    if (h != S_OK) return h;
    return invoke(d, id, kind, {}, {{DISPID_PROPERTYPUT, value}}).hr;
}

// The object a call returned, with its own reference.
inline Ptr<IDispatch> object_of(const Result& r) {
    Ptr<IDispatch> p;
    if (r.hr == S_OK && r.value.object()) r.value.object()->QueryInterface(IID_IDispatch, p.put_void());
    return p;
}

inline Ptr<IDispatch> get_object(IDispatch* d, const char* name, const std::vector<Var>& args = {}) {
    return object_of(call(d, name, args));
}

} // namespace client

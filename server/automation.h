// The least of the component-object platform that an in-process automation
// server and its late-bound clients need on Linux: GUIDs, IUnknown and
// IDispatch shaped interfaces, automation strings, variants and the
// argument block of Invoke. Clients include only this header.
#pragma once

#include <cstdint>

#ifdef _WIN32
// On Windows the platform's own types are used throughout.
#include <windows.h>
#include <oaidl.h>
#include <olectl.h>

// The platform spells these as macros, which cannot be named with a
// namespace; plain type names mean the same and work both ways.
#undef REFIID
#undef REFCLSID
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

namespace tr47com {
using ::BSTR;
using ::CLSID;
using ::DISPID;
using ::DISPPARAMS;
using ::EXCEPINFO;
using ::GUID;
using ::HRESULT;
using ::IClassFactory;
using ::IDispatch;
using ::IEnumVARIANT;
using ::IID;
using ::ITypeInfo;
using ::IUnknown;
using ::LCID;
using ::OLECHAR;
using ::REFCLSID;
using ::REFIID;
using ::ULONG;
using ::VARIANT;
using ::VARIANT_BOOL;
using ::VARTYPE;
using NameArray = LPOLESTR*;
} // namespace tr47com

#define TR47_EXPORT
#define TR47_STDCALL STDMETHODCALLTYPE
#else
namespace tr47com {

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using DISPID = std::int32_t;
using LCID = std::uint32_t;
using VARIANT_BOOL = std::int16_t;
using VARTYPE = std::uint16_t;
using OLECHAR = char16_t;
// Automation string: UTF-16 text preceded by its byte length (4 bytes);
// the pointer points at the text, which is NUL terminated.
using BSTR = OLECHAR*;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004u);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);
constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000Fu);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007u);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_BYREF = 0x4000,
};

enum : std::uint16_t {
    DISPATCH_METHOD = 1,
    DISPATCH_PROPERTYGET = 2,
    DISPATCH_PROPERTYPUT = 4,
    DISPATCH_PROPERTYPUTREF = 8,
};
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;
inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

struct IDispatch;
struct IUnknown;

// Currency: a 64-bit integer scaled by 10,000.
struct CY {
    std::int64_t int64;
};

// Decimal: fills a whole VARIANT, its first two bytes being the type.
struct DECIMAL {
    std::uint16_t wReserved;
    std::uint8_t scale;
    std::uint8_t sign; // 0x80: negative
    std::uint32_t Hi32;
    std::uint64_t Lo64;
};

struct VARIANT {
    VARTYPE vt;
    std::uint16_t wReserved1, wReserved2, wReserved3;
    union {
        std::int32_t lVal;
        std::int16_t iVal;
        float fltVal;
        std::int8_t cVal;
        std::uint8_t bVal;
        std::uint16_t uiVal;
        std::uint32_t ulVal;
        std::int64_t llVal;
        std::uint64_t ullVal;
        std::int32_t intVal;
        std::uint32_t uintVal;
        CY cyVal;
        void* byref;
        HRESULT* pscode;
        IUnknown** ppunkVal;
        double* pdate;
        std::int16_t* piVal;
        double dblVal;
        double date;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IDispatch* pdispVal;
        IUnknown* punkVal;
        VARIANT* pvarVal;
        std::int32_t* plVal;
        double* pdblVal;
        BSTR* pbstrVal;
        VARIANT_BOOL* pboolVal;
        IDispatch** ppdispVal;
    };
};

struct DISPPARAMS {
    VARIANT* rgvarg; // arguments in reverse order
    DISPID* rgdispidNamedArgs; // DISPID_PROPERTYPUT for the new value of a put
    std::uint32_t cArgs;
    std::uint32_t cNamedArgs;
};

struct EXCEPINFO {
    std::uint16_t wCode;
    std::uint16_t wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    std::uint32_t dwHelpContext;
    void* pvReserved;
    void* pfnDeferredFillIn;
    HRESULT scode;
};

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

// Run-time description of an interface, as a client reads it through
// GetTypeInfo: the interface's name and identifier and, per member, its
// name, dispatch identifier, kind and parameters.
struct MEMBERDESC {
    const char* name;
    DISPID dispid;
    std::uint16_t invkind; // DISPATCH_METHOD, _PROPERTYGET, _PROPERTYPUT, _PROPERTYPUTREF
    std::uint16_t cParams;
    const char* const* paramNames;
    const char* const* paramTypes; // IDL type names
    const char* const* paramDefaults; // nullptr: required; "" optional without default; else the default
    const char* resultType; // IDL type name or nullptr
};

struct ITypeInfo : IUnknown {
    virtual HRESULT GetName(BSTR* name) = 0;
    virtual HRESULT GetGuid(GUID* guid) = 0;
    virtual HRESULT GetMemberCount(std::uint32_t* count) = 0;
    virtual HRESULT GetMember(std::uint32_t index, const MEMBERDESC** desc) = 0;

protected:
    ~ITypeInfo() = default;
};

using NameArray = const OLECHAR* const*;

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(std::uint32_t* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(std::uint32_t iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, NameArray names, std::uint32_t cNames, LCID lcid, DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, std::uint16_t wFlags, DISPPARAMS* pDispParams,
                           VARIANT* pVarResult, EXCEPINFO* pExcepInfo, std::uint32_t* puArgErr) = 0;

protected:
    ~IDispatch() = default;
};

struct IEnumVARIANT : IUnknown {
    virtual HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumVARIANT** ppEnum) = 0;

protected:
    ~IEnumVARIANT() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
    virtual HRESULT LockServer(int lock) = 0;

protected:
    ~IClassFactory() = default;
};

constexpr IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IEnumVARIANT = {0x00020404, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

} // namespace tr47com

// Entry points of the server library and the string and variant helpers it
// exports for its clients (C linkage).
#define TR47_EXPORT __attribute__((visibility("default")))
#define TR47_STDCALL
extern "C" {
TR47_EXPORT tr47com::HRESULT DllCanUnloadNow();
TR47_EXPORT tr47com::HRESULT DllGetClassObject(tr47com::REFCLSID rclsid, tr47com::REFIID riid, void** ppv);
TR47_EXPORT tr47com::HRESULT DllRegisterServer();
TR47_EXPORT tr47com::HRESULT DllUnregisterServer();

TR47_EXPORT tr47com::BSTR SysAllocString(const tr47com::OLECHAR* text);
TR47_EXPORT tr47com::BSTR SysAllocStringLen(const tr47com::OLECHAR* text, std::uint32_t length);
TR47_EXPORT void SysFreeString(tr47com::BSTR text);
TR47_EXPORT std::uint32_t SysStringLen(tr47com::BSTR text);
TR47_EXPORT void VariantInit(tr47com::VARIANT* v);
TR47_EXPORT tr47com::HRESULT VariantClear(tr47com::VARIANT* v);
}
#endif

// Late binding over the member tables: IDispatch objects wrapping model
// objects, argument and result conversion, and the one place where
// failures become HRESULTs with error information.
#include "server/dispatch.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "corelib/utf.hpp"

#ifdef _WIN32
#include <mutex>
#endif

namespace tr47::server {

using namespace tr47com;

static_assert(static_cast<std::uint16_t>(Kind::Method) == DISPATCH_METHOD &&
                  static_cast<std::uint16_t>(Kind::Get) == DISPATCH_PROPERTYGET &&
                  static_cast<std::uint16_t>(Kind::Let) == DISPATCH_PROPERTYPUT &&
                  static_cast<std::uint16_t>(Kind::Set) == DISPATCH_PROPERTYPUTREF,
              "member kinds are the invocation flags");

std::atomic<long> g_server_objects{0};

// ---------------------------------------------------------------------------
// Automation strings

std::string from_bstr(const OLECHAR* s) {
    if (!s) return {};
    std::int32_t len = 0;
    while (s[len]) ++len;
    return from_utf16(s, static_cast<std::uint32_t>(len));
}

std::string from_utf16(const OLECHAR* s, std::uint32_t length) {
    if (!s || length == 0) return {};
    return detail::utf16_to_utf8(reinterpret_cast<const char16_t*>(s), length);
}

BSTR to_bstr(std::string_view text) {
    const std::u16string u = detail::utf8_to_utf16(text);
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(u.data()), static_cast<std::uint32_t>(u.size()));
}

// ---------------------------------------------------------------------------
// Dispatch objects

namespace {

#ifdef _WIN32
// The type library linked into this module, loaded once; its type
// descriptions serve GetTypeInfo.
ITypeLib* own_type_library() {
    static ITypeLib* lib = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::wstring path = module_path();
        if (path.empty() || FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib))) lib = nullptr;
    });
    return lib;
}
#else
class TypeInfo final : public ITypeInfo {
public:
    explicit TypeInfo(const Interface& itf) : itf_(itf) { ++g_server_objects; }
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG n = --refs_;
        if (n == 0) {
            delete this;
            --g_server_objects;
        }
        return n;
    }
    HRESULT GetName(BSTR* name) override {
        if (!name) return E_POINTER;
        *name = to_bstr(itf_.name);
        return S_OK;
    }
    HRESULT GetGuid(GUID* guid) override {
        if (!guid) return E_POINTER;
        *guid = itf_.iid;
        return S_OK;
    }
    HRESULT GetMemberCount(std::uint32_t* count) override {
        if (!count) return E_POINTER;
        *count = static_cast<std::uint32_t>(itf_.descs.size());
        return S_OK;
    }
    HRESULT GetMember(std::uint32_t index, const MEMBERDESC** desc) override {
        if (!desc) return E_POINTER;
        if (index >= itf_.descs.size()) return DISP_E_BADINDEX;
        *desc = &itf_.descs[index];
        return S_OK;
    }

private:
    ~TypeInfo() = default;
    const Interface& itf_;
    std::atomic<ULONG> refs_{1};
};
#endif

bool iequal_ascii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// Turns a failure into its HRESULT and error information.
template <class F>
HRESULT guarded(EXCEPINFO* info, F&& f) {
    auto fill = [&](HRESULT code, const std::string& text) {
        if (info) {
            std::memset(info, 0, sizeof *info);
            info->bstrSource = to_bstr(library_base_name());
            info->bstrDescription = to_bstr(text);
            info->scode = code;
            return DISP_E_EXCEPTION;
        }
        return code;
    };
    try {
        return f();
    } catch (const Error& e) {
        return fill(e.code(), e.what());
    } catch (const std::bad_alloc&) {
        return fill(E_OUTOFMEMORY, "Out of memory");
    } catch (const std::exception& e) {
        return fill(E_FAIL, e.what());
    }
}

} // namespace

DispatchObject::DispatchObject(ref<Object> object, const Interface& itf) : object_(std::move(object)), itf_(itf) {
    ++g_server_objects;
}

DispatchObject::~DispatchObject() { --g_server_objects; }

IDispatch* DispatchObject::wrap(const ref<Object>& object) {
    if (!object) return nullptr;
    const Interface* itf = interface_of(*object);
    if (!itf) raise(hr::TYPE_MISMATCH, "Type mismatch: the object has no automation interface");
    return new DispatchObject(object, *itf);
}

HRESULT DispatchObject::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == itf_.iid || riid == kIID_Tr47Object ||
        (itf_.persistable && riid == kIID_tmp_Data) || (itf_.collection && riid == kIID_tmp_Database)) {
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG DispatchObject::AddRef() { return ++refs_; }

ULONG DispatchObject::Release() {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
}

HRESULT DispatchObject::GetTypeInfoCount(std::uint32_t* pctinfo) {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT DispatchObject::GetTypeInfo(std::uint32_t iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
#ifdef _WIN32
    ITypeLib* lib = own_type_library();
    if (!lib) return TYPE_E_CANTLOADLIBRARY;
    return lib->GetTypeInfoOfGuid(itf_.iid, ppTInfo);
#else
    *ppTInfo = new TypeInfo(itf_);
    return S_OK;
#endif
}

HRESULT DispatchObject::GetIDsOfNames(REFIID, NameArray names, std::uint32_t cNames, LCID,
                                      DISPID* ids) {
    if (!names || !ids || cNames == 0) return E_INVALIDARG;
    const std::string name = from_bstr(names[0]);
    const Member* found = nullptr;
    for (const Member& m : itf_.members)
        if (iequal_ascii(m.name, name)) {
            found = &m;
            break;
        }
    HRESULT result = S_OK;
    ids[0] = found ? found->dispid : DISPID_UNKNOWN;
    if (!found) result = DISP_E_UNKNOWNNAME;
    // Further names are parameter names of that member.
    for (std::uint32_t i = 1; i < cNames; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (!found) continue;
        const std::string p = from_bstr(names[i]);
        for (std::size_t k = 0; k < found->params.size(); ++k)
            if (iequal_ascii(found->params[k].name, p)) ids[i] = static_cast<DISPID>(k);
        if (ids[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
    }
    return result;
}

namespace {

ref<Object> unwrap(IUnknown* unk) {
    if (!unk) return nullptr;
    void* p = nullptr;
    if (unk->QueryInterface(kIID_Tr47Object, &p) != S_OK || !p)
        raise(hr::TYPE_MISMATCH, "Type mismatch: only objects of this library can be passed");
    auto* d = static_cast<DispatchObject*>(static_cast<IDispatch*>(p));
    ref<Object> o = d->object();
    d->Release();
    return o;
}

Variant from_variant(const VARIANT& in) {
    const VARIANT* v = &in;
    if (v->vt == (VT_BYREF | VT_VARIANT)) {
        if (!v->pvarVal) raise(hr::INVALID_ARGUMENT, "Invalid argument: null reference");
        v = v->pvarVal;
    }
    const bool byref = (v->vt & VT_BYREF) != 0;
    switch (v->vt & ~VT_BYREF) {
    case VT_EMPTY:
    case VT_NULL: return Variant();
    case VT_I2: return Variant(static_cast<std::int32_t>(byref ? *v->piVal : v->iVal));
    case VT_I4: return Variant(static_cast<std::int32_t>(byref ? *v->plVal : v->lVal));
    case VT_R8: return Variant(byref ? *v->pdblVal : v->dblVal);
    case VT_DATE: return Variant(Date{byref ? *v->pdblVal : v->date});
    case VT_BSTR: return Variant(from_bstr(byref ? *v->pbstrVal : v->bstrVal));
    case VT_BOOL: return Variant::boolean((byref ? *v->pboolVal : v->boolVal) != 0);
    case VT_ERROR: return Variant(ErrorValue{v->scode});
    case VT_DISPATCH: return Variant(unwrap(byref ? *v->ppdispVal : v->pdispVal));
    case VT_UNKNOWN: return Variant(unwrap(v->punkVal));
    default: break;
    }
#ifdef _WIN32
    // Other numeric kinds a client may hold (Byte, Single, Currency,
    // Decimal, 64-bit integers) arrive as doubles.
    VARIANT number;
    VariantInit(&number);
    if (SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(v), 0, VT_R8))) return Variant(number.dblVal);
#endif
    raise(hr::TYPE_MISMATCH, "Type mismatch: unsupported argument type " + std::to_string(v->vt));
}

void to_variant(const Variant& v, VARIANT& out) {
    VariantInit(&out);
    switch (v.type()) {
    case VarType::Empty: break;
    case VarType::String:
        out.vt = VT_BSTR;
        out.bstrVal = to_bstr(v.string());
        break;
    case VarType::Double:
        out.vt = VT_R8;
        out.dblVal = v.dbl();
        break;
    case VarType::Long:
        out.vt = VT_I4;
        out.lVal = v.lng();
        break;
    case VarType::Date:
        out.vt = VT_DATE;
        out.date = v.date().days;
        break;
    case VarType::Boolean:
        out.vt = VT_BOOL;
        out.boolVal = v.vbool();
        break;
    case VarType::Error:
        out.vt = VT_ERROR;
        out.scode = v.error().code;
        break;
    case VarType::Object:
        out.vt = VT_DISPATCH;
        out.pdispVal = DispatchObject::wrap(v.object());
        break;
    }
}

// The argument converted to its declared type.
Variant convert(const Param& p, const Variant& v) {
    switch (p.type) {
    case Type::String: return Variant(v.to_text());
    case Type::Bool: return Variant::boolean(v.to_bool());
    case Type::Long:
    case Type::Sort: return Variant(v.to_long());
    case Type::Object:
        if (v.is_object() || v.is_empty()) return v;
        raise(hr::TYPE_MISMATCH, std::string("Type mismatch: ") + p.name + " must be an object");
    default: return v;
    }
}

Variant default_of(const Param& p) {
    switch (p.type) {
    case Type::String: return Variant("");
    case Type::Bool: return Variant::boolean(p.idlDefault && std::strcmp(p.idlDefault, "0") != 0);
    case Type::Long:
    case Type::Sort: return Variant(std::int32_t{p.idlDefault ? std::atoi(p.idlDefault) : 0});
    case Type::Object: return Variant(ref<Object>());
    default: return Variant::omitted();
    }
}

} // namespace

HRESULT DispatchObject::Invoke(DISPID id, REFIID, LCID, std::uint16_t flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* info, std::uint32_t* argErr) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!params) params = &none;
    // Choose the member: a call made as method-or-get takes the method.
    const Member* chosen = nullptr;
    const Member* fallback = nullptr;
    auto wanted = [&](Kind k) { return (flags & static_cast<std::uint16_t>(k)) != 0; };
    for (const Member& m : itf_.members) {
        if (m.dispid != id) continue;
        if (!fallback) fallback = &m;
        if (wanted(m.kind) && (!chosen || m.kind == Kind::Method)) chosen = &m;
    }
    // A put of an object may arrive as let, a put of a value as set.
    if (!chosen && fallback && (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)))
        for (const Member& m : itf_.members)
            if (m.dispid == id && (m.kind == Kind::Let || m.kind == Kind::Set)) chosen = &m;
    if (!chosen) return DISP_E_MEMBERNOTFOUND;
    const bool put = chosen->kind == Kind::Let || chosen->kind == Kind::Set;
    if (params->cNamedArgs > (put ? 1u : 0u)) return static_cast<HRESULT>(0x80020007u); // DISP_E_NONAMEDARGS
    if (put && (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) {
        if (params->cArgs != 1) return DISP_E_PARAMNOTOPTIONAL;
    }
    if (params->cArgs > chosen->params.size()) return DISP_E_BADPARAMCOUNT;

    ref<Object> keep = object_;
    return guarded(info, [&]() -> HRESULT {
        std::vector<Variant> args(chosen->params.size());
        for (std::size_t i = 0; i < chosen->params.size(); ++i) {
            const Param& p = chosen->params[i];
            const bool given = i < params->cArgs;
            Variant v;
            if (given) {
                try {
                    v = from_variant(params->rgvarg[params->cArgs - 1 - i]);
                } catch (const Error&) {
                    if (argErr) *argErr = static_cast<std::uint32_t>(params->cArgs - 1 - i);
                    throw;
                }
            }
            if (!given || v.is_omitted()) {
                if (!p.optional) return DISP_E_PARAMNOTOPTIONAL;
                args[i] = default_of(p);
                continue;
            }
            try {
                args[i] = convert(p, v);
            } catch (const Error&) {
                if (argErr) *argErr = static_cast<std::uint32_t>(params->cArgs - 1 - i);
                return DISP_E_TYPEMISMATCH;
            }
        }
        Variant r = chosen->handler(*object_, args);
        if (result && chosen->result != Type::None) {
            if (chosen->result == Type::Object && !r.is_object()) r = Variant(ref<Object>());
            if (chosen->result == Type::Object && !r.object()) {
                VariantInit(result);
                result->vt = VT_DISPATCH;
                result->pdispVal = nullptr;
            } else {
                to_variant(r, *result);
            }
        }
        return S_OK;
    });
}

} // namespace tr47::server

#ifndef _WIN32
// ---------------------------------------------------------------------------
// String and variant helpers exported for clients (on Windows the
// platform's automation library provides them).

using namespace tr47com;

extern "C" BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length) {
    auto* block = static_cast<char*>(std::malloc(4 + (static_cast<std::size_t>(length) + 1) * sizeof(OLECHAR)));
    if (!block) return nullptr;
    const std::uint32_t bytes = length * static_cast<std::uint32_t>(sizeof(OLECHAR));
    std::memcpy(block, &bytes, 4);
    auto* s = reinterpret_cast<OLECHAR*>(block + 4);
    if (text) std::memcpy(s, text, length * sizeof(OLECHAR));
    else std::memset(s, 0, length * sizeof(OLECHAR));
    s[length] = 0;
    return s;
}

extern "C" BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    std::uint32_t n = 0;
    while (text[n]) ++n;
    return SysAllocStringLen(text, n);
}

extern "C" void SysFreeString(BSTR text) {
    if (text) std::free(reinterpret_cast<char*>(text) - 4);
}

extern "C" std::uint32_t SysStringLen(BSTR text) {
    if (!text) return 0;
    std::uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<char*>(text) - 4, 4);
    return bytes / static_cast<std::uint32_t>(sizeof(OLECHAR));
}

extern "C" void VariantInit(VARIANT* v) {
    if (v) std::memset(v, 0, sizeof *v);
}

extern "C" HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    switch (v->vt) {
    case VT_BSTR: SysFreeString(v->bstrVal); break;
    case VT_DISPATCH:
        if (v->pdispVal) v->pdispVal->Release();
        break;
    case VT_UNKNOWN:
        if (v->punkVal) v->punkVal->Release();
        break;
    default: break;
    }
    VariantInit(v);
    return S_OK;
}
#endif

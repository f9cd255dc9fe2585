// COM objects over the model: identities, their interfaces, late and early
// binding over the member tables, argument and result conversion,
// enumerators for For Each, and the one place where failures become
// HRESULTs with error information.
#include "server/dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "corelib/utf.hpp"

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
// Failures

HRESULT failure_of(EXCEPINFO* info) {
    HRESULT code = E_FAIL;
    std::string text = "Unknown failure";
    try {
        throw;
    } catch (const Error& e) {
        code = e.code();
        text = e.what();
    } catch (const std::bad_alloc&) {
        code = E_OUTOFMEMORY;
        text = "Out of memory";
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    if (info) {
        std::memset(info, 0, sizeof *info);
        info->bstrSource = to_bstr(library_base_name());
        info->bstrDescription = to_bstr(text);
        info->scode = code;
        return DISP_E_EXCEPTION;
    }
#ifdef _WIN32
    // Early-bound callers read the description through GetErrorInfo.
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        const std::wstring source = detail::utf8_to_wide(library_base_name());
        const std::wstring description = detail::utf8_to_wide(text);
        create->SetSource(const_cast<LPOLESTR>(source.c_str()));
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        IErrorInfo* error = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&error)))) {
            SetErrorInfo(0, error);
            error->Release();
        }
        create->Release();
    }
#endif
    return code;
}

// ---------------------------------------------------------------------------
// Identities

class Identity {
public:
    static IDispatch* of(const ref<Object>& object);

    ULONG add_ref() noexcept { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG release() noexcept;
    HRESULT query(REFIID riid, void** ppv) noexcept;
    DualBase* default_view() noexcept { return views_[0]; }
    const ref<Object>& object() const noexcept { return object_; }

private:
    Identity(ref<Object> object, const Interface& itf);
    ~Identity() { g_server_objects.fetch_sub(1); }
    DualBase* make_view(std::size_t slot, const Interface& itf);

#ifdef _WIN32
    // Tells early-bound clients (VB, VBA) that failures carry error info.
    struct ErrorInfoSupport final : ISupportErrorInfo {
        Identity* owner;
        HRESULT TR47_STDCALL QueryInterface(REFIID riid, void** ppv) override { return owner->query(riid, ppv); }
        ULONG TR47_STDCALL AddRef() override { return owner->add_ref(); }
        ULONG TR47_STDCALL Release() override { return owner->release(); }
        HRESULT TR47_STDCALL InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }
    } error_info_{};
#endif
    std::atomic<ULONG> refs_{1};
    ref<Object> object_;
    // Default interface, tmp_Data, tmp_Database (absent ones null); the
    // generated classes add slots, not data, so each fits a DualBase.
    DualBase* views_[3] = {};
    alignas(DualBase) unsigned char storage_[3][sizeof(DualBase)];
};

namespace {

// Model object -> its COM object while a client holds one. Apartments of
// different threads share it; the lock is held only for a look-up or an
// insertion, never while the model works.
struct IdentityMap {
    std::mutex lock;
    std::unordered_map<const Object*, Identity*> map;
};
IdentityMap g_identities;

std::size_t index_of(const Interface& itf) { return static_cast<std::size_t>(&itf - interfaces().data()); }

} // namespace

Identity::Identity(ref<Object> object, const Interface& itf) : object_(std::move(object)) {
    g_server_objects.fetch_add(1);
#ifdef _WIN32
    error_info_.owner = this;
#endif
    views_[0] = make_view(0, itf);
    if (itf.persistable) views_[1] = make_view(1, facet_tmp_Data());
    if (itf.collection) views_[2] = make_view(2, facet_tmp_Database());
}

DualBase* Identity::make_view(std::size_t slot, const Interface& itf) {
    return kGeneratedTables[index_of(itf)].make(storage_[slot], *this, itf);
}

IDispatch* Identity::of(const ref<Object>& object) {
    if (!object) return nullptr;
    if (!generated_table_mismatch().empty())
        raise(hr::FAIL, "The function tables do not match the member tables:\n" + generated_table_mismatch());
    const Interface* itf = interface_of(*object);
    if (!itf) raise(hr::TYPE_MISMATCH, "Type mismatch: the object has no automation interface");
    std::lock_guard<std::mutex> hold(g_identities.lock);
    Identity*& slot = g_identities.map[object.get()];
    if (slot) {
        // Taken only while still alive: a count that reached zero belongs
        // to an identity on its way out, which a new one replaces.
        ULONG n = slot->refs_.load();
        while (n != 0 && !slot->refs_.compare_exchange_weak(n, n + 1)) {
        }
        if (n != 0) return slot->default_view();
    }
    slot = new Identity(object, *itf);
    return slot->default_view();
}

ULONG Identity::release() noexcept {
    const ULONG n = refs_.fetch_sub(1) - 1;
    if (n != 0) return n;
    {
        std::lock_guard<std::mutex> hold(g_identities.lock);
        auto it = g_identities.map.find(object_.get());
        if (it != g_identities.map.end() && it->second == this) g_identities.map.erase(it);
    }
    delete this;
    return 0;
}

HRESULT Identity::query(REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    DualBase* view = nullptr;
    const Interface& itf = views_[0]->itf();
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == itf.iid || riid == kIID_Tr47Object)
        view = views_[0];
    else if (riid == kIID_tmp_Data)
        view = views_[1];
    else if (riid == kIID_tmp_Database)
        view = views_[2];
#ifdef _WIN32
    if (riid == IID_ISupportErrorInfo) {
        add_ref();
        *ppv = static_cast<ISupportErrorInfo*>(&error_info_);
        return S_OK;
    }
#endif
    if (!view) return E_NOINTERFACE;
    add_ref();
    *ppv = static_cast<IDispatch*>(view);
    return S_OK;
}

IDispatch* wrap(const ref<Object>& object) { return Identity::of(object); }

ref<Object> unwrap(IUnknown* unk) {
    if (!unk) return nullptr;
    void* p = nullptr;
    if (unk->QueryInterface(kIID_Tr47Object, &p) != S_OK || !p)
        raise(hr::TYPE_MISMATCH, "Type mismatch: only objects of this library can be passed");
    auto* view = static_cast<DualBase*>(static_cast<IDispatch*>(p));
    ref<Object> o = view->identity().object();
    view->Release();
    return o;
}

const std::string& generated_table_mismatch() {
    static const std::string mismatch = [] {
        std::string out;
        const auto& all = interfaces();
        if (kGeneratedTableCount != all.size()) out += "number of interfaces differs\n";
        for (std::size_t i = 0; i < all.size() && i < kGeneratedTableCount; ++i)
            if (all[i].name != std::string_view(kGeneratedTables[i].name) ||
                slot_layout(all[i]) != kGeneratedTables[i].layout)
                out += std::string(all[i].name) + " differs\n";
        return out;
    }();
    return mismatch;
}

// ---------------------------------------------------------------------------
// Conversions between automation variants and the model's variants

namespace {

// A by-reference argument read as the value it refers to (no ownership
// changes hands: the caller keeps what it passed).
VARIANT by_value(const VARIANT& v) {
    if (!(v.vt & VT_BYREF)) return v;
    const VARTYPE base = static_cast<VARTYPE>(v.vt & ~VT_BYREF);
    if (!v.byref) raise(hr::INVALID_ARGUMENT, "Invalid argument: null reference");
    if (base == VT_VARIANT) {
        const VARIANT& inner = *static_cast<const VARIANT*>(v.byref);
        if (inner.vt == (VT_BYREF | VT_VARIANT)) raise(hr::TYPE_MISMATCH, "Type mismatch: reference to a reference");
        return by_value(inner);
    }
    VARIANT out;
    VariantInit(&out);
    std::size_t size = 0;
    switch (base) {
    case VT_I1:
    case VT_UI1: size = 1; break;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: size = 2; break;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR: size = 4; break;
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_I8:
    case VT_UI8: size = 8; break;
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN: size = sizeof(void*); break;
    case VT_DECIMAL:
        std::memcpy(&out, v.byref, sizeof out);
        out.vt = VT_DECIMAL;
        return out;
    default: raise(hr::TYPE_MISMATCH, "Type mismatch: unsupported argument type " + std::to_string(v.vt));
    }
    // Every by-value member of the union starts where the pointer does.
    std::memcpy(&out.byref, v.byref, size);
    out.vt = base;
    return out;
}

#ifndef _WIN32
// The numeric kinds the model has no subtype for, as a double, the way the
// platform's VariantChangeType(VT_R8) reads them.
bool other_number(const VARIANT& v, double& d) {
    switch (v.vt) {
    case VT_R4: d = v.fltVal; return true;
    case VT_I1: d = v.cVal; return true;
    case VT_UI1: d = v.bVal; return true;
    case VT_UI2: d = v.uiVal; return true;
    case VT_UI4: d = v.ulVal; return true;
    case VT_INT: d = v.intVal; return true;
    case VT_UINT: d = v.uintVal; return true;
    case VT_I8: d = static_cast<double>(v.llVal); return true;
    case VT_UI8: d = static_cast<double>(v.ullVal); return true;
    case VT_CY: d = static_cast<double>(v.cyVal.int64) / 10000.0; return true;
    case VT_DECIMAL: {
        DECIMAL dec;
        std::memcpy(&dec, &v, sizeof dec);
        if (dec.scale > 28) return false;
        d = (static_cast<double>(dec.Hi32) * 18446744073709551616.0 + static_cast<double>(dec.Lo64)) /
            std::pow(10.0, dec.scale);
        if (dec.sign & 0x80) d = -d;
        return true;
    }
    default: return false;
    }
}
#endif

Variant from_variant(const VARIANT& given) {
    const VARIANT v = by_value(given);
    switch (v.vt) {
    case VT_EMPTY: return Variant();
    case VT_NULL: return Variant(Null{});
    case VT_I2: return Variant(static_cast<std::int32_t>(v.iVal));
    case VT_I4: return Variant(static_cast<std::int32_t>(v.lVal));
    case VT_R8: return Variant(v.dblVal);
    case VT_DATE: return Variant(Date{v.date});
    case VT_BSTR: return Variant(from_bstr(v.bstrVal));
    case VT_BOOL: return Variant::boolean(v.boolVal != 0);
    case VT_ERROR: return Variant(ErrorValue{v.scode});
    case VT_DISPATCH: return Variant(unwrap(v.pdispVal));
    case VT_UNKNOWN: return Variant(unwrap(v.punkVal));
    default: break;
    }
    // Other numeric kinds a client may hold (Byte, Single, Currency,
    // Decimal, 64-bit integers) arrive as doubles.
#ifdef _WIN32
    VARIANT number;
    VariantInit(&number);
    if (SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(&v), 0, VT_R8))) return Variant(number.dblVal);
#else
    double d = 0;
    if (other_number(v, d)) return Variant(d);
#endif
    raise(hr::TYPE_MISMATCH, "Type mismatch: unsupported argument type " + std::to_string(v.vt));
}

void to_variant(const Variant& v, VARIANT& out) {
    VariantInit(&out);
    switch (v.type()) {
    case VarType::Empty: break;
    case VarType::Null: out.vt = VT_NULL; break;
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
        out.pdispVal = wrap(v.object());
        out.vt = VT_DISPATCH;
        break;
    }
}

// An argument converted to its declared type.
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

// What an omitted optional argument receives: the type library's default.
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

const Member* member_named(const Interface& itf, std::string_view name) {
    for (const Member& m : itf.members)
        if (name == m.name) return &m;
    return nullptr;
}

// For Each over a collection: its entries at positions 1 to COUNT, read
// through its own Item and COUNT members.
class Enumerator final : public IEnumVARIANT {
public:
    Enumerator(ref<Object> collection, const Interface& itf, std::int32_t next)
            : collection_(std::move(collection)),
              item_(*member_named(itf, "Item")),
              count_(*member_named(itf, "COUNT")),
              itf_(itf),
              next_(next) {
        g_server_objects.fetch_add(1);
    }
    HRESULT TR47_STDCALL QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IUnknown || riid == IID_IEnumVARIANT)) return E_NOINTERFACE;
        *ppv = static_cast<IEnumVARIANT*>(this);
        AddRef();
        return S_OK;
    }
    ULONG TR47_STDCALL AddRef() override { return refs_.fetch_add(1) + 1; }
    ULONG TR47_STDCALL Release() override {
        const ULONG n = refs_.fetch_sub(1) - 1;
        if (n == 0) delete this;
        return n;
    }
    HRESULT TR47_STDCALL Next(ULONG celt, VARIANT* out, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (!out && celt) return E_POINTER;
        ULONG done = 0;
        const HRESULT h = guarded(nullptr, [&]() -> HRESULT {
            std::vector<Variant> none;
            const std::int32_t count = count_.handler(*collection_, none).to_long();
            for (; done < celt && next_ <= count; ++done, ++next_) {
                std::vector<Variant> args{Variant(next_), Variant::boolean(true)};
                to_variant(item_.handler(*collection_, args), out[done]);
            }
            return S_OK;
        });
        if (fetched) *fetched = done;
        if (h < 0) return h;
        return done == celt ? S_OK : S_FALSE;
    }
    HRESULT TR47_STDCALL Skip(ULONG celt) override {
        return guarded(nullptr, [&]() -> HRESULT {
            std::vector<Variant> none;
            const std::int64_t count = count_.handler(*collection_, none).to_long();
            const std::int64_t target = static_cast<std::int64_t>(next_) + celt;
            next_ = static_cast<std::int32_t>(std::min<std::int64_t>(target, count + 1));
            return target <= count + 1 ? S_OK : S_FALSE;
        });
    }
    HRESULT TR47_STDCALL Reset() override {
        next_ = 1;
        return S_OK;
    }
    HRESULT TR47_STDCALL Clone(IEnumVARIANT** copy) override {
        if (!copy) return E_POINTER;
        *copy = new (std::nothrow) Enumerator(collection_, itf_, next_);
        return *copy ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~Enumerator() { g_server_objects.fetch_sub(1); }
    ref<Object> collection_;
    const Member& item_;
    const Member& count_;
    const Interface& itf_;
    std::int32_t next_;
    std::atomic<ULONG> refs_{1};
};

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
    explicit TypeInfo(const Interface& itf) : itf_(itf) { g_server_objects.fetch_add(1); }
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
        if (n == 0) delete this;
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
    ~TypeInfo() { g_server_objects.fetch_sub(1); }
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

// Runs a member on a model object with its arguments converted, and
// writes its result through `out`.
template <class Out>
HRESULT run_member(Object& object, const Member& m, std::vector<Variant>& args, Out&& out) {
    Variant r = m.handler(object, args);
    if (m.result == Type::Object && !r.is_object()) r = Variant(ref<Object>());
    out(r);
    return S_OK;
}

} // namespace

// ---------------------------------------------------------------------------
// The IUnknown and IDispatch slots of every interface

HRESULT DualBase::QueryInterface(REFIID riid, void** ppv) { return identity_.query(riid, ppv); }

ULONG DualBase::AddRef() { return identity_.add_ref(); }

ULONG DualBase::Release() { return identity_.release(); }

HRESULT DualBase::GetTypeInfoCount(std::uint32_t* pctinfo) {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT DualBase::GetTypeInfo(std::uint32_t iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
#ifdef _WIN32
    ITypeLib* lib = own_type_library();
    if (!lib) return TYPE_E_CANTLOADLIBRARY;
    return lib->GetTypeInfoOfGuid(itf_.iid, ppTInfo);
#else
    *ppTInfo = new (std::nothrow) TypeInfo(itf_);
    return *ppTInfo ? S_OK : E_OUTOFMEMORY;
#endif
}

HRESULT DualBase::GetIDsOfNames(REFIID, NameArray names, std::uint32_t cNames, LCID, DISPID* ids) {
    if (!names || !ids || cNames == 0) return E_INVALIDARG;
    // Nothing may escape into the caller's frames, not even a failed allocation.
    return guarded(nullptr, [&] { return ids_of_names(names, cNames, ids); });
}

HRESULT DualBase::ids_of_names(NameArray names, std::uint32_t cNames, DISPID* ids) const {
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
    // Further names are parameter names of that member: their positions
    // are the identifiers of named arguments.
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

HRESULT DualBase::Invoke(DISPID id, REFIID, LCID, std::uint16_t flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO* info, std::uint32_t* argErr) {
    return guarded(info, [&]() -> HRESULT { return invoke_member(id, flags, params, result, info, argErr); });
}

HRESULT DualBase::invoke_member(DISPID id, std::uint16_t flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                                std::uint32_t* argErr) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!params) params = &none;
    if (params->cArgs && !params->rgvarg) return E_INVALIDARG;
    if (params->cNamedArgs > params->cArgs || (params->cNamedArgs && !params->rgdispidNamedArgs)) return E_INVALIDARG;
    ref<Object> keep = identity_.object();

    if (id == DISPID_NEWENUM && itf_.collection && (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) {
        if (params->cArgs) return DISP_E_BADPARAMCOUNT;
        if (!result) return S_OK;
        VariantInit(result);
        auto* e = new (std::nothrow) Enumerator(keep, itf_, 1);
        if (!e) return E_OUTOFMEMORY;
        result->vt = VT_UNKNOWN;
        result->punkVal = e;
        return S_OK;
    }

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
    const std::size_t nParams = chosen->params.size();

    // root.VALUES("Port"): arguments to a property that takes none, which
    // hands out an object, go to that object's default member, as Visual
    // Basic reads the expression.
    if (chosen->kind == Kind::Get && nParams == 0 && params->cArgs > 0 && chosen->result == Type::Object &&
        !(flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) {
        std::vector<Variant> none;
        const Variant got = chosen->handler(*identity_.object(), none);
        if (!got.is_object() || !got.object()) raise(hr::OBJECT_NOT_SET, "Object variable not set");
        IDispatch* inner = wrap(got.object());
        const HRESULT h = inner->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, params,
                                        result, info, argErr);
        inner->Release();
        return h;
    }

    // Which element of rgvarg each parameter receives: positional
    // arguments fill the parameters from the first, in reverse order at the
    // end of rgvarg; named ones (at its start) by their identifiers, the new
    // value of a put by DISPID_PROPERTYPUT.
    std::vector<std::int64_t> source(nParams, -1);
    const std::uint32_t positional = params->cArgs - params->cNamedArgs;
    if (put && params->cNamedArgs == 0 && positional == nParams) {
        // Some clients pass a put's new value without naming it.
    } else if (put && positional + 1 > nParams) {
        return DISP_E_BADPARAMCOUNT;
    }
    if (positional > nParams) return DISP_E_BADPARAMCOUNT;
    for (std::uint32_t i = 0; i < positional; ++i) source[i] = params->cArgs - 1 - i;
    for (std::uint32_t j = 0; j < params->cNamedArgs; ++j) {
        const DISPID named = params->rgdispidNamedArgs[j];
        std::int64_t target = -1;
        if (named == DISPID_PROPERTYPUT && put)
            target = static_cast<std::int64_t>(nParams) - 1;
        else if (named >= 0 && static_cast<std::size_t>(named) < nParams &&
                 !(put && named + 1 == static_cast<DISPID>(nParams)))
            target = named;
        if (target < 0 || source[static_cast<std::size_t>(target)] >= 0) {
            if (argErr) *argErr = j;
            return DISP_E_PARAMNOTFOUND;
        }
        source[static_cast<std::size_t>(target)] = j;
    }

    return guarded(info, [&]() -> HRESULT {
        std::vector<Variant> args(nParams);
        for (std::size_t i = 0; i < nParams; ++i) {
            const Param& p = chosen->params[i];
            Variant v;
            const bool given = source[i] >= 0;
            if (given) {
                try {
                    v = from_variant(params->rgvarg[source[i]]);
                } catch (const Error&) {
                    if (argErr) *argErr = static_cast<std::uint32_t>(source[i]);
                    return DISP_E_TYPEMISMATCH;
                }
            }
            if (!given || (v.is_omitted() && p.type != Type::Variant)) {
                if (!p.optional) return DISP_E_PARAMNOTOPTIONAL;
                args[i] = default_of(p);
                continue;
            }
            try {
                args[i] = convert(p, v);
            } catch (const Error& e) {
                if (argErr) *argErr = static_cast<std::uint32_t>(source[i]);
                return e.code() == hr::OVERFLOW_ ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
            }
        }
        if (!result || chosen->result == Type::None) return run_member(*keep, *chosen, args, [](const Variant&) {});
        return run_member(*keep, *chosen, args, [&](const Variant& r) {
            if (chosen->result == Type::Object && !r.object()) {
                VariantInit(result);
                result->vt = VT_DISPATCH;
            } else {
                to_variant(r, *result);
            }
        });
    });
}

// ---------------------------------------------------------------------------
// Early binding: the generated slots

HRESULT DualBase::early(std::size_t index, const void* const* args, void* result) noexcept {
    const Member& m = itf_.members[index];
    const std::size_t nParams = m.params.size();
    if (m.result != Type::None) {
        if (!result) return E_POINTER;
        // Out parameters hold nothing on failure.
        switch (m.result) {
        case Type::Variant: VariantInit(static_cast<VARIANT*>(result)); break;
        case Type::String: *static_cast<BSTR*>(result) = nullptr; break;
        case Type::Object: *static_cast<IDispatch**>(result) = nullptr; break;
        case Type::Bool: *static_cast<VARIANT_BOOL*>(result) = 0; break;
        case Type::Long:
        case Type::Sort: *static_cast<std::int32_t*>(result) = 0; break;
        case Type::None: break;
        }
    }
    ref<Object> keep = identity_.object();
    return guarded(nullptr, [&]() -> HRESULT {
        const std::vector<Abi> abi = slot_abi(m);
        std::vector<Variant> values(nParams);
        for (std::size_t i = 0; i < nParams; ++i) {
            const void* a = args[i];
            Variant v;
            switch (abi[i]) {
            case Abi::Text: v = Variant(from_bstr(*static_cast<const BSTR*>(a))); break;
            case Abi::Bool: v = Variant::boolean(*static_cast<const VARIANT_BOOL*>(a) != 0); break;
            case Abi::Int32: v = Variant(*static_cast<const std::int32_t*>(a)); break;
            case Abi::VariantValue: v = from_variant(*static_cast<const VARIANT*>(a)); break;
            case Abi::VariantRef: {
                const VARIANT* ref = *static_cast<VARIANT* const*>(a);
                if (!ref) return E_POINTER;
                v = from_variant(*ref);
                break;
            }
            case Abi::Object: v = Variant(unwrap(*static_cast<IUnknown* const*>(a))); break;
            default: break;
            }
            values[i] = convert(m.params[i], v);
        }
        return run_member(*keep, m, values, [&](const Variant& r) {
            switch (m.result) {
            case Type::None: break;
            case Type::String: *static_cast<BSTR*>(result) = to_bstr(r.to_text()); break;
            case Type::Bool: *static_cast<VARIANT_BOOL*>(result) = to_vbool(r.to_bool()); break;
            case Type::Long:
            case Type::Sort: *static_cast<std::int32_t*>(result) = r.to_long(); break;
            case Type::Variant: to_variant(r, *static_cast<VARIANT*>(result)); break;
            case Type::Object: *static_cast<IDispatch**>(result) = wrap(r.object()); break;
            }
        });
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
    if (text)
        std::memcpy(s, text, length * sizeof(OLECHAR));
    else
        std::memset(s, 0, length * sizeof(OLECHAR));
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

// The COM objects as clients use them: function tables, named and
// by-reference arguments, identity, facets and For Each.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/dispatch.hpp"

using namespace tr47;
using namespace tr47::server;

namespace {

using namespace tr47com;

constexpr tr47com::VARIANT_BOOL kTrue = -1, kFalse = 0;

// A call through slot `index` of an interface's function table, the way a
// client compiled against the IDL's header makes it.
template <class... A>
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
HRESULT
call_slot(void* itf, int index, A... args) {
    using Fn = HRESULT (*)(void*, A...);
    return reinterpret_cast<Fn>((*static_cast<void***>(itf))[index])(itf, args...);
}

VARIANT v_long(std::int32_t n) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

VARIANT v_text(const char16_t* s) {
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
    return v;
}

VARIANT v_bool(bool b) {
    VARIANT v{};
    v.vt = VT_BOOL;
    v.boolVal = b ? tr47com::VARIANT_TRUE : tr47com::VARIANT_FALSE;
    return v;
}

// Invoke with positional arguments (in call order) and named ones.
HRESULT invoke(IDispatch* d, DISPID id, std::uint16_t flags, std::vector<VARIANT> args, VARIANT* result,
               std::vector<DISPID> named = {}, std::uint32_t* argErr = nullptr) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    // Named arguments come first in rgvarg, in the order of their identifiers.
    std::vector<VARIANT> rg;
    const std::size_t nNamed = named.size();
    for (std::size_t j = 0; j < nNamed; ++j) rg.push_back(args[args.size() - nNamed + j]);
    for (std::size_t i = nNamed; i < reversed.size(); ++i) rg.push_back(reversed[i]);
    DISPPARAMS p{rg.data(), named.data(), static_cast<std::uint32_t>(rg.size()), static_cast<std::uint32_t>(nNamed)};
    if (result) VariantInit(result);
    const HRESULT h = d->Invoke(id, IID_NULL, 0, flags, &p, result, nullptr, argErr);
    // The texts made for the call are the call's (objects and references
    // stay the caller's).
    for (VARIANT& a : args)
        if (a.vt == VT_BSTR) SysFreeString(a.bstrVal);
    return h;
}

DISPID id_of(IDispatch* d, const char16_t* name) {
    const OLECHAR* names[] = {name};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    return id;
}

IUnknown* identity_of(IUnknown* p) {
    IUnknown* u = nullptr;
    EXPECT_EQ(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u)), S_OK);
    u->Release();
    return u;
}

// A document with a value at the root and one in a child group.
ref<cls_INI> two_level_doc() {
    ref<cls_INI> doc = cls_INI::create();
    doc->ROOT()->VALUES()->CREATE("Top", Variant(1.0));
    doc->ROOT()->CHILDREN()->CREATE("Child")->VALUES()->CREATE("Deep", Variant("below"));
    return doc;
}

} // namespace

TEST(ServerDispatch, EarlyBindingThroughTheFunctionTable) {
    const long before = g_server_objects.load();
    ref<cls_INI> doc = two_level_doc();
    IDispatch* d = wrap(doc);
    void* early = nullptr;
    ASSERT_EQ(d->QueryInterface(interface_named("_cls_INI")->iid, &early), S_OK);
    EXPECT_EQ(early, static_cast<void*>(d));
    // Slots 7 and on: ROOT get, ROOT set, ENUMS get, ENUMS set, VERSION
    // get, VERSION let, CONTENT get, CONTENT let, DATA get, DATA set, LOAD,
    // SAVE, IMPORT, VALUE.
    BSTR version = SysAllocString(u"2.5");
    EXPECT_EQ(call_slot(early, 7 + 5, version), S_OK);
    SysFreeString(version);
    EXPECT_EQ(doc->VERSION(), "2.5");
    BSTR got = nullptr;
    ASSERT_EQ(call_slot(early, 7 + 4, &got), S_OK);
    EXPECT_EQ(from_bstr(got), "2.5");
    SysFreeString(got);

    IDispatch* root1 = nullptr;
    IDispatch* root2 = nullptr;
    ASSERT_EQ(call_slot(early, 7 + 0, &root1), S_OK);
    ASSERT_EQ(call_slot(early, 7 + 0, &root2), S_OK);
    EXPECT_EQ(root1, root2) << "one COM object per model object";
    EXPECT_EQ(unwrap(root1).get(), doc->ROOT().get());

    // VALUE(pName, pDefaultValue, pRecurse): omitted default and recursion
    // given as the type library's default (true on the document).
    BSTR deep = SysAllocString(u"Deep");
    VARIANT omitted{};
    omitted.vt = VT_ERROR;
    omitted.scode = DISP_E_PARAMNOTFOUND;
    VARIANT r;
    ASSERT_EQ(call_slot(early, 7 + 13, deep, omitted, kTrue, &r), S_OK);
    ASSERT_EQ(r.vt, VT_BSTR);
    EXPECT_EQ(from_bstr(r.bstrVal), "below");
    VariantClear(&r);
    ASSERT_EQ(call_slot(early, 7 + 13, deep, omitted, kFalse, &r), S_OK);
    EXPECT_EQ(r.vt, VT_ERROR);
    EXPECT_EQ(r.scode, DISP_E_PARAMNOTFOUND);
    SysFreeString(deep);

    // A group's CHILDREN (slot 7 + 8), then Item (slot 7 + 4 of the
    // groups) by name with pForceIndex as typed.
    IDispatch* children = nullptr;
    ASSERT_EQ(call_slot(root1, 7 + 8, &children), S_OK);
    VARIANT key = v_text(u" child ");
    IDispatch* child = nullptr;
    ASSERT_EQ(call_slot(children, 7 + 4, key, kFalse, &child), S_OK);
    VariantClear(&key);
    ASSERT_TRUE(child);
    EXPECT_EQ(unwrap(child).get(), doc->ROOT()->CHILDREN()->Item(Variant("Child"), false).get());
    // A failure reaches the early-bound caller as its HRESULT, with the
    // out parameter cleared.
    VARIANT far = v_long(99);
    IDispatch* none = reinterpret_cast<IDispatch*>(0x1);
    EXPECT_EQ(call_slot(children, 7 + 4, far, kTrue, &none), hr::OUT_OF_RANGE);
    EXPECT_EQ(none, nullptr);
    // A null out pointer is refused, not written through.
    EXPECT_EQ(call_slot(children, 7 + 6, static_cast<std::int32_t*>(nullptr)), E_POINTER);
    std::int32_t count = -1;
    EXPECT_EQ(call_slot(children, 7 + 6, &count), S_OK);
    EXPECT_EQ(count, 1);

    for (IDispatch* p : {child, children, root2, root1, static_cast<IDispatch*>(early), d}) p->Release();
    EXPECT_EQ(g_server_objects.load(), before);
}

TEST(ServerDispatch, NamedAndByReferenceArgumentsAndCoercions) {
    ref<cls_INI> doc = two_level_doc();
    IDispatch* d = wrap(doc);
    const DISPID value = id_of(d, u"VALUE");
    // GetIDsOfNames maps parameter names to their positions.
    const OLECHAR* names[] = {u"value", u"pRecurse", u"PDEFAULTVALUE"};
    DISPID ids[3] = {};
    ASSERT_EQ(d->GetIDsOfNames(IID_NULL, names, 3, 0, ids), S_OK);
    EXPECT_EQ(ids[1], 2);
    EXPECT_EQ(ids[2], 1);

    VARIANT r;
    // VALUE("Deep", pRecurse:=False): not found, no default.
    ASSERT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"Deep"), v_bool(false)}, &r, {2}), S_OK);
    EXPECT_EQ(r.vt, VT_ERROR);
    // VALUE("Deep", pRecurse:=False, pDefaultValue:=7), named in any order.
    ASSERT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"Deep"), v_bool(false), v_long(7)}, &r, {2, 1}), S_OK);
    EXPECT_EQ(r.vt, VT_I4);
    EXPECT_EQ(r.lVal, 7);
    // A named argument that is no parameter, or one given twice.
    std::uint32_t argErr = 99;
    EXPECT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"Deep"), v_bool(false)}, &r, {5}, &argErr),
              DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(argErr, 0u);
    EXPECT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"Deep"), v_bool(false)}, &r, {0}), DISP_E_PARAMNOTFOUND);

    // Null as the default comes back as Null.
    VARIANT null{};
    null.vt = VT_NULL;
    ASSERT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"missing"), null}, &r), S_OK);
    EXPECT_EQ(r.vt, VT_NULL);

    // By reference: the name, the omitted marker and a variant.
    BSTR name = SysAllocString(u"Top");
    VARIANT byName{};
    byName.vt = VT_BYREF | VT_BSTR;
    byName.pbstrVal = &name;
    HRESULT marker = DISP_E_PARAMNOTFOUND;
    VARIANT omittedRef{};
    omittedRef.vt = VT_BYREF | VT_ERROR;
    omittedRef.pscode = &marker;
    ASSERT_EQ(invoke(d, value, DISPATCH_METHOD, {byName, omittedRef}, &r), S_OK);
    EXPECT_EQ(r.vt, VT_R8);
    ASSERT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"nothing"), omittedRef}, &r), S_OK);
    EXPECT_EQ(r.vt, VT_ERROR);
    EXPECT_EQ(r.scode, DISP_E_PARAMNOTFOUND);
    SysFreeString(name);

    // Numbers of kinds the model has no subtype for arrive as doubles.
    VARIANT single{}, byte{}, big{}, money{}, dec{};
    single.vt = VT_R4;
    single.fltVal = 2.5f;
    byte.vt = VT_UI1;
    byte.bVal = 200;
    big.vt = VT_I8;
    big.llVal = 5000000000LL;
    money.vt = VT_CY;
    money.cyVal.int64 = 12345; // 1.2345
#ifndef _WIN32
    DECIMAL decimal{0, 2, 0x80, 0, 314}; // -3.14
    std::memcpy(&dec, &decimal, sizeof dec);
    dec.vt = VT_DECIMAL;
#endif
    const std::vector<std::pair<VARIANT, double>> numbers = {
        {single, 2.5}, {byte, 200.0}, {big, 5e9}, {money, 1.2345}, {dec, -3.14}};
    for (const auto& [given, expected] : numbers) {
        ASSERT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"missing"), given}, &r), S_OK) << given.vt;
        ASSERT_EQ(r.vt, VT_R8);
        EXPECT_DOUBLE_EQ(r.dblVal, expected);
    }
    // By-reference Single too.
    float f = 0.5f;
    VARIANT singleRef{};
    singleRef.vt = VT_BYREF | VT_R4;
    singleRef.byref = &f;
    ASSERT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"missing"), singleRef}, &r), S_OK);
    EXPECT_EQ(r.dblVal, 0.5);

    // Counted and typed failures, with the argument's position in rgvarg.
    EXPECT_EQ(invoke(d, value, DISPATCH_METHOD, {}, &r), DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(invoke(d, value, DISPATCH_METHOD, {v_text(u"a"), v_long(1), v_bool(true), v_long(2)}, &r),
              DISP_E_BADPARAMCOUNT);
    VARIANT obj{};
    obj.vt = VT_DISPATCH;
    obj.pdispVal = d;
    argErr = 99;
    EXPECT_EQ(invoke(d, value, DISPATCH_METHOD, {obj, v_long(1)}, &r, {}, &argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);

    // An object by reference, as VB passes an object variable: ADD.
    ref<cls_INIValue> added = cls_INIValue::create();
    added->NAME("Added");
    IDispatch* entry = wrap(added);
    IDispatch* values = wrap(doc->ROOT()->VALUES());
    for (VARTYPE kind : {VARTYPE(VT_BYREF | VT_DISPATCH), VARTYPE(VT_BYREF | VT_UNKNOWN)}) {
        VARIANT e{};
        e.vt = kind;
        e.ppdispVal = &entry;
        ASSERT_EQ(invoke(values, id_of(values, u"ADD"), DISPATCH_METHOD, {e}, &r), S_OK);
        EXPECT_EQ(r.vt, VT_DISPATCH);
        EXPECT_EQ(r.pdispVal, entry) << "the added entry comes back as the same object";
        VariantClear(&r);
    }
    EXPECT_EQ(doc->ROOT()->VALUES()->COUNT(), 3);
    // A put with its new value named DISPID_PROPERTYPUT, and without.
    ASSERT_EQ(
        invoke(entry, id_of(entry, u"NAME"), DISPATCH_PROPERTYPUT, {v_text(u"renamed")}, nullptr, {DISPID_PROPERTYPUT}),
        S_OK);
    EXPECT_EQ(added->NAME(), "renamed");
    // Arguments to a property that takes none go to its object's default
    // member: root.VALUES("Top").
    IDispatch* root = wrap(doc->ROOT());
    ASSERT_EQ(invoke(root, id_of(root, u"VALUES"), DISPATCH_METHOD | DISPATCH_PROPERTYGET, {v_text(u"Top")}, &r), S_OK);
    ASSERT_EQ(r.vt, VT_DISPATCH);
    EXPECT_EQ(unwrap(r.pdispVal).get(), doc->ROOT()->VALUES()->Item(Variant("Top"), false).get());
    VariantClear(&r);
    root->Release();
    entry->Release();
    values->Release();
    d->Release();
}

TEST(ServerDispatch, OneIdentityAndFacets) {
    const long before = g_server_objects.load();
    ref<cls_INIValues> values = cls_INIValues::create();
    ref<cls_INIValue> first = values->CREATE("A", Variant(1.0));
    const auto refsBefore = first->ref_count();
    IDispatch* a = wrap(first);
    IDispatch* b = wrap(first);
    EXPECT_EQ(a, b);
    b->Release();
    // tmp_Data has its own table and identifiers, and the object's identity.
    IDispatch* data = nullptr;
    ASSERT_EQ(a->QueryInterface(kIID_tmp_Data, reinterpret_cast<void**>(&data)), S_OK);
    EXPECT_NE(data, a);
    EXPECT_EQ(identity_of(data), identity_of(a));
    EXPECT_EQ(id_of(data, u"DATA"), 0x40030000);
    VARIANT r;
    ASSERT_EQ(invoke(data, 0x40030000, DISPATCH_PROPERTYGET, {}, &r), S_OK);
    ASSERT_EQ(r.vt, VT_DISPATCH);
    EXPECT_EQ(unwrap(r.pdispVal).get(), first->DATA().get());
    VariantClear(&r);
    // Through its slot too (slot 7: get_DATA).
    IDispatch* dataObject = nullptr;
    ASSERT_EQ(call_slot(data, 7, &dataObject), S_OK);
    EXPECT_EQ(unwrap(dataObject).get(), first->DATA().get());
    dataObject->Release();
    // A value is no collection.
    void* none = nullptr;
    EXPECT_EQ(a->QueryInterface(kIID_tmp_Database, &none), E_NOINTERFACE);
    data->Release();
    a->Release();
    EXPECT_EQ(first->ref_count(), refsBefore) << "a released COM object keeps nothing alive";

    // On a collection, tmp_Database.DATABASE by its identifier.
    IDispatch* c = wrap(values);
    IDispatch* db = nullptr;
    ASSERT_EQ(c->QueryInterface(kIID_tmp_Database, reinterpret_cast<void**>(&db)), S_OK);
    ASSERT_EQ(invoke(db, 0x40030000, DISPATCH_PROPERTYGET, {}, &r), S_OK);
    ASSERT_EQ(r.vt, VT_DISPATCH);
    EXPECT_EQ(unwrap(r.pdispVal).get(), static_cast<Object*>(values->DATABASE().get()));
    VariantClear(&r);
    db->Release();
    c->Release();
    EXPECT_EQ(g_server_objects.load(), before);
}

TEST(ServerDispatch, ForEachEnumeratesPositionsOneToCount) {
    ref<cls_INIGroups> groups = cls_INIGroups::create();
    for (const char* n : {"a", "b", "c"}) groups->CREATE(n);
    IDispatch* d = wrap(groups);
    VARIANT r;
    ASSERT_EQ(invoke(d, DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &r), S_OK);
    ASSERT_EQ(r.vt, VT_UNKNOWN);
    IEnumVARIANT* e = nullptr;
    ASSERT_EQ(r.punkVal->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&e)), S_OK);
    VariantClear(&r);
    auto names = [](IEnumVARIANT* en, ULONG n, HRESULT expected) {
        std::vector<VARIANT> out(n);
        ULONG fetched = 0;
        EXPECT_EQ(en->Next(n, out.data(), &fetched), expected);
        std::string s;
        for (ULONG i = 0; i < fetched; ++i) {
            s +=
                unwrap(out[i].pdispVal).get() ? static_cast<cls_INIGroup*>(unwrap(out[i].pdispVal).get())->NAME() : "?";
            VariantClear(&out[i]);
        }
        return s;
    };
    EXPECT_EQ(names(e, 2, S_OK), "ab");
    EXPECT_EQ(names(e, 2, S_FALSE), "c");
    EXPECT_EQ(names(e, 1, S_FALSE), "");
    e->Reset();
    e->Skip(1);
    IEnumVARIANT* copy = nullptr;
    ASSERT_EQ(e->Clone(&copy), S_OK);
    EXPECT_EQ(names(e, 5, S_FALSE), "bc");
    EXPECT_EQ(names(copy, 5, S_FALSE), "bc");
    copy->Release();
    e->Release();
    // Members that are no collection have no enumerator.
    IDispatch* g = wrap(groups->Item(Variant(1), true));
    EXPECT_EQ(invoke(g, DISPID_NEWENUM, DISPATCH_METHOD, {}, &r), DISP_E_MEMBERNOTFOUND);
    g->Release();
    d->Release();
}

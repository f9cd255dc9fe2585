// IDispatch as real late-bound clients use it: VBA's named arguments,
// arguments by reference as VB passes variables, Null, the coercions of
// the platform's VariantChangeType, the failure codes with the position of
// the offending argument, For Each (DISPID_NEWENUM), the tmp_Data and
// tmp_Database facets by their own dispatch identifiers, and one identity
// per object.
//
// Windows (under Wine, after regsvr32):  late_binding.exe EXAMPLE.ini SCRATCH
// Linux:                                 late_binding SERVER.so EXAMPLE.ini SCRATCH
#include "client_support.hpp"

#include <cmath>

// Only the interface identifiers are taken from widl's output.
#include "TR47_INI_i.c"

using namespace client;

namespace {

constexpr DISPID kNewEnum = -4;
const HRESULT kParamNotFound = static_cast<HRESULT>(0x80020004u);
const HRESULT kTypeMismatch = static_cast<HRESULT>(0x80020005u);
const HRESULT kUnknownName = static_cast<HRESULT>(0x80020006u);
const HRESULT kOverflow = static_cast<HRESULT>(0x8002000Au);
const HRESULT kBadParamCount = static_cast<HRESULT>(0x8002000Eu);
const HRESULT kParamNotOptional = static_cast<HRESULT>(0x8002000Fu);
const HRESULT kMemberNotFound = static_cast<HRESULT>(0x80020003u);

#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

double number(const Var& v) {
    switch (v.vt()) {
    case VT_I4: return v.raw().lVal;
    case VT_I2: return v.raw().iVal;
    case VT_R8: return v.raw().dblVal;
    default: return std::nan("");
    }
}

bool is_omitted(const Var& v) { return v.vt() == VT_ERROR && v.raw().scode == kParamNotFound; }

// Member and parameter names to dispatch identifiers in one call, as VBA
// asks for them before a call with named arguments.
std::vector<DISPID> ids_of(IDispatch* d, const std::vector<const char*>& names, HRESULT* result) {
    std::vector<Bstr> owned;
    owned.reserve(names.size());
    std::vector<OLECHAR*> raw;
    for (const char* n : names) {
        owned.emplace_back(n);
        raw.push_back(owned.back());
    }
    std::vector<DISPID> ids(names.size(), 12345);
    *result = d ? d->GetIDsOfNames(IID_NULL, raw.data(), static_cast<UINT>(raw.size()), 0, ids.data()) : E_POINTER;
    return ids;
}

std::string name_of(IDispatch* object) {
    Result r = call(object, "NAME");
    return r.hr == S_OK ? r.value.str_value() : "<NAME failed: " + hex(r.hr) + ">";
}

struct Scenario {
    std::string example, scratch;
    Ptr<IDispatch> doc, root, children, values, enums;
};

template <class T>
bool need(const Ptr<T>& p, const char* what) {
    if (p) return true;
    report_failure(__FILE__, __LINE__, std::string("no ") + what + " from an earlier step");
    return false;
}

Ptr<IDispatch> create(const char* progid) {
    Ptr<IDispatch> p;
    const HRESULT h = create_object(progid, IID_IDispatch, p.put_void());
    if (h != S_OK) report_failure(__FILE__, __LINE__, std::string("creating ") + progid + " returned " + hex(h));
    return p;
}

void set_up(Scenario& s) {
    s.doc = create("TR47_INI.cls_INI");
    if (!need(s.doc, "document")) return;
    Result r = call(s.doc.get(), "IMPORT", {Var::str(s.example)});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(show(r.value), std::string("Boolean True"));
    s.root = get_object(s.doc.get(), "ROOT");
    if (!need(s.root, "ROOT")) return;
    s.children = get_object(s.root.get(), "CHILDREN");
    s.values = get_object(s.root.get(), "VALUES");
    s.enums = get_object(s.doc.get(), "ENUMS");
    CHECK(s.children && s.values && s.enums);
}

void names(Scenario& s) {
    if (!need(s.doc, "document")) return;
    HRESULT h = E_FAIL;
    std::vector<DISPID> ids = ids_of(s.doc.get(), {"VALUE", "pName", "pDefaultValue", "pRecurse"}, &h);
    CHECK_HR(h, S_OK);
    CHECK_EQ(ids[0], 0x6003000B);
    for (std::size_t i = 1; i < ids.size(); ++i) CHECK(ids[i] != DISPID_UNKNOWN);
    CHECK(ids[1] != ids[2] && ids[2] != ids[3] && ids[1] != ids[3]);
    // Names ignore case.
    std::vector<DISPID> lower = ids_of(s.doc.get(), {"value", "PRECURSE"}, &h);
    CHECK_HR(h, S_OK);
    CHECK_EQ(lower[0], ids[0]);
    CHECK_EQ(lower[1], ids[3]);
    // A name that is no parameter of the member.
    std::vector<DISPID> bad = ids_of(s.doc.get(), {"VALUE", "pNothing"}, &h);
    CHECK_HR(h, kUnknownName);
    CHECK_EQ(bad[0], ids[0]);
    CHECK_EQ(bad[1], DISPID_UNKNOWN);
}

void named_arguments(Scenario& s) {
    if (!need(s.doc, "document")) return;
    HRESULT h = E_FAIL;
    const std::vector<DISPID> ids = ids_of(s.doc.get(), {"VALUE", "pName", "pDefaultValue", "pRecurse"}, &h);
    if (h != S_OK) return;
    const DISPID value = ids[0], pName = ids[1], pDefault = ids[2], pRecurse = ids[3];
    // doc.VALUE("Face", pRecurse:=False): the root has no Face of its own.
    Result r = invoke(s.doc.get(), value, kCall, {Var::str("Face")}, {{pRecurse, Var::boolean(false)}});
    CHECK_HR(r.hr, S_OK);
    CHECK(is_omitted(r.value));
    r = invoke(s.doc.get(), value, kCall, {Var::str("Face")}, {{pRecurse, Var::boolean(true)}});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(r.value.str_value(), std::string("Arial"));
    // pDefaultValue by name, pRecurse left to its default.
    r = invoke(s.doc.get(), value, kCall, {Var::str("Missing")}, {{pDefault, Var::str("dflt")}});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(r.value.str_value(), std::string("dflt"));
    // Every argument by name, in another order.
    r = invoke(s.doc.get(), value, kCall, {},
               {{pRecurse, Var::boolean(false)}, {pDefault, Var::str("x")}, {pName, Var::str("Face")}});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(r.value.str_value(), std::string("x"));
    // The required argument missing.
    r = invoke(s.doc.get(), value, kCall, {}, {{pRecurse, Var::boolean(true)}});
    CHECK_HR(r.hr, kParamNotOptional);
    // A parameter identifier the member does not have.
    r = invoke(s.doc.get(), value, kCall, {Var::str("Face")}, {{77, Var::boolean(true)}});
    CHECK_HR(r.hr, kParamNotFound);

    // Named arguments on a group and a collection.
    if (s.root) {
        const std::vector<DISPID> e = ids_of(s.root.get(), {"EXISTS", "pRecurse"}, &h);
        CHECK_HR(h, S_OK);
        r = invoke(s.root.get(), e[0], kCall, {Var::str("Port")}, {{e[1], Var::boolean(true)}});
        CHECK_HR(r.hr, S_OK);
        CHECK_EQ(show(r.value), std::string("Boolean True"));
    }
    if (s.children) {
        const std::vector<DISPID> it = ids_of(s.children.get(), {"Item", "pID", "pForceIndex"}, &h);
        CHECK_HR(h, S_OK);
        CHECK_EQ(it[0], 0);
        r = invoke(s.children.get(), it[0], kCall, {}, {{it[2], Var::boolean(false)}, {it[1], Var::str("network")}});
        CHECK_HR(r.hr, S_OK);
        Ptr<IDispatch> g = object_of(r);
        CHECK_EQ(name_of(g.get()), std::string("Network"));
    }
    // IMPORT(pFile, pOutputErrors:=False) of a missing file.
    Ptr<IDispatch> other = create("TR47_INI.cls_INI");
    if (!other) return;
    const std::vector<DISPID> imp = ids_of(other.get(), {"IMPORT", "pOutputErrors"}, &h);
    CHECK_HR(h, S_OK);
    r = invoke(other.get(), imp[0], kCall, {Var::str(s.scratch + kSep + "missing.ini")},
               {{imp[1], Var::boolean(false)}});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(show(r.value), std::string("Boolean False"));
}

void property_puts(Scenario& s) {
    if (!need(s.doc, "document") || !need(s.root, "ROOT")) return;
    CHECK_HR(put(s.root.get(), "DESCRIPTION", Var::str("root group")), S_OK);
    CHECK_EQ(call(s.root.get(), "DESCRIPTION").value.str_value(), std::string("root group"));
    // Set doc.ROOT = fresh, then back.
    Ptr<IDispatch> fresh = create("TR47_INI.cls_INIGroup");
    if (!fresh) return;
    CHECK_HR(put(s.doc.get(), "ROOT", Var::disp(fresh.get()), DISPATCH_PROPERTYPUTREF), S_OK);
    Result r = call(s.doc.get(), "VALUE", {Var::str("Face"), Var::str("none")});
    CHECK_EQ(r.value.str_value(), std::string("none"));
    CHECK_HR(put(s.doc.get(), "ROOT", Var::disp(s.root.get()), DISPATCH_PROPERTYPUTREF), S_OK);
    r = call(s.doc.get(), "VALUE", {Var::str("Face")});
    CHECK_EQ(r.value.str_value(), std::string("Arial"));
    // A value's CONTENT: let with a number, set with an object's variant.
    Ptr<IDispatch> v = create("TR47_INI.cls_INIValue");
    if (!v) return;
    CHECK_HR(put(v.get(), "CONTENT", Var::i4(3)), S_OK);
    CHECK_EQ(number(call(v.get(), "CONTENT").value), 3.0);
    Var inner = Var::str("by reference");
    CHECK_HR(put(v.get(), "CONTENT", Var::byref(VT_VARIANT, &inner.raw())), S_OK);
    CHECK_EQ(call(v.get(), "CONTENT").value.str_value(), std::string("by reference"));
}

void by_reference(Scenario& s) {
    if (!need(s.doc, "document")) return;
    // A string variable passed by reference.
    BSTR face = alloc_bstr("Face");
    Result r = call(s.doc.get(), "VALUE", {Var::byref(VT_BSTR, &face)});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(r.value.str_value(), std::string("Arial"));
    // The omitted marker and a boolean by reference.
    HRESULT marker = kParamNotFound;
    VARIANT_BOOL no = VARIANT_FALSE;
    r = call(s.doc.get(), "VALUE",
             {Var::byref(VT_BSTR, &face), Var::byref(VT_ERROR, &marker), Var::byref(VT_BOOL, &no)});
    CHECK_HR(r.hr, S_OK);
    CHECK(is_omitted(r.value));
    BSTR missing = alloc_bstr("Missing");
    r = call(s.doc.get(), "VALUE", {Var::byref(VT_BSTR, &missing), Var::byref(VT_ERROR, &marker)});
    CHECK_HR(r.hr, S_OK);
    CHECK(is_omitted(r.value));
    // A default by reference comes back as a value, not as the reference.
    std::int32_t seven = 7;
    r = call(s.doc.get(), "VALUE", {Var::str("Missing"), Var::byref(VT_I4, &seven)});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(static_cast<int>(r.value.vt()), static_cast<int>(VT_I4));
    CHECK_EQ(number(r.value), 7.0);
    Var eight = Var::i4(8);
    r = call(s.doc.get(), "VALUE", {Var::str("Missing"), Var::byref(VT_VARIANT, &eight.raw())});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(number(r.value), 8.0);
    free_bstr(face);
    free_bstr(missing);

    if (!need(s.children, "CHILDREN") || !need(s.values, "VALUES")) return;
    std::int32_t two = 2;
    Ptr<IDispatch> g = get_object(s.children.get(), "Item", {Var::byref(VT_I4, &two)});
    CHECK_EQ(name_of(g.get()), std::string("Network"));

    // An object variable by reference, as VB passes it, in each form.
    struct Form {
        const char* what;
        VARTYPE vt;
    };
    for (const Form& f : {Form{"VT_BYREF|VT_UNKNOWN", VT_UNKNOWN}, Form{"VT_BYREF|VT_DISPATCH", VT_DISPATCH},
                          Form{"VT_BYREF|VT_VARIANT", VT_VARIANT}, Form{"VT_UNKNOWN", 0}}) {
        g_step = f.what;
        Ptr<IDispatch> v = create("TR47_INI.cls_INIValue");
        if (!v) return;
        CHECK_HR(put(v.get(), "NAME", Var::str("ByRef")), S_OK);
        CHECK_HR(put(v.get(), "CONTENT", Var::str(f.what)), S_OK);
        IUnknown* unk = nullptr;
        v->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk));
        IDispatch* disp = v.get();
        Var asVariant = Var::disp(v.get());
        Var arg = f.vt == VT_UNKNOWN    ? Var::byref(VT_UNKNOWN, &unk)
                  : f.vt == VT_DISPATCH ? Var::byref(VT_DISPATCH, &disp)
                  : f.vt == VT_VARIANT  ? Var::byref(VT_VARIANT, &asVariant.raw())
                                        : Var::unk(unk);
        r = call(s.values.get(), "ADD", {arg});
        CHECK_HR(r.hr, S_OK);
        CHECK(identity(r.value.object()) == identity(v.get()));
        CHECK_EQ(call(s.doc.get(), "VALUE", {Var::str("ByRef")}).value.str_value(), std::string(f.what));
        r = call(s.values.get(), "REMOVE", {Var::str("ByRef")});
        CHECK_EQ(show(r.value), std::string("Boolean True"));
        if (unk) unk->Release();
    }
}

void null_and_empty(Scenario& s) {
    if (!need(s.doc, "document")) return;
    Result r = call(s.doc.get(), "VALUE", {Var::str("Missing"), Var::null()});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(show(r.value), std::string("Null"));
    r = call(s.doc.get(), "VALUE", {Var::str("Face"), Var::null()});
    CHECK_EQ(r.value.str_value(), std::string("Arial"));
    r = call(s.doc.get(), "VALUE", {Var::str("Missing"), Var::empty()});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(show(r.value), std::string("Empty"));
}

void coercions(Scenario& s) {
    if (!need(s.doc, "document")) return;
    // pRecurse (a boolean) from other types: zero is false, else true.
    struct Flag {
        const char* what;
        Var no, yes;
    };
    const Flag flags[] = {
        {"VT_UI1", Var::ui1(0), Var::ui1(1)},
        {"VT_I8", Var::i8(0), Var::i8(-1)},
        {"VT_R4", Var::r4(0.0f), Var::r4(1.0f)},
        {"VT_CY", Var::cy(0), Var::cy(10000)},
        {"VT_I2", Var::i2(0), Var::i2(1)},
        {"VT_R8", Var::r8(0.0), Var::r8(2.5)},
        {"VT_BSTR", Var::str("False"), Var::str("True")},
    };
    for (const Flag& f : flags) {
        g_step = f.what;
        Result r = call(s.doc.get(), "VALUE", {Var::str("Face"), Var::str("none"), f.no});
        CHECK_HR(r.hr, S_OK);
        CHECK_EQ(r.value.str_value(), std::string("none"));
        r = call(s.doc.get(), "VALUE", {Var::str("Face"), Var::str("none"), f.yes});
        CHECK_HR(r.hr, S_OK);
        CHECK_EQ(r.value.str_value(), std::string("Arial"));
    }
    g_step = "coercions";
    // pName (a string) from a number.
    Result r = call(s.doc.get(), "VALUE", {Var::i4(5), Var::str("d")});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(r.value.str_value(), std::string("d"));

    // pType (enm_INIValueSort, a long) from other types.
    if (!need(s.values, "VALUES")) return;
    const Var doubles[] = {Var::r4(3.0f), Var::ui1(3), Var::i8(3), Var::cy(30000), Var::str("3"), Var::i2(3)};
    for (const Var& t : doubles) {
        r = call(s.values.get(), "CREATE", {Var::str("Typed"), Var::r8(1.5), t});
        CHECK_HR(r.hr, S_OK);
        Ptr<IDispatch> v = object_of(r);
        CHECK_EQ(number(call(v.get(), "SORT").value), 3.0);
        r = call(s.values.get(), "REMOVE", {Var::str("Typed")});
        CHECK_EQ(show(r.value), std::string("Boolean True"));
    }
    // pID (a variant): a number of any type is a position under the force
    // flag that Item of groups has by default.
    if (!need(s.children, "CHILDREN")) return;
    const Var positions[] = {Var::r4(2.0f), Var::ui1(2), Var::i8(2), Var::cy(20000), Var::i2(2)};
    for (const Var& p : positions) {
        Ptr<IDispatch> g = get_object(s.children.get(), "Item", {p});
        CHECK_EQ(name_of(g.get()), std::string("Network"));
    }
}

void failures(Scenario& s) {
    if (!need(s.doc, "document")) return;
    Result r = call(s.doc.get(), "VALUE", {});
    CHECK_HR(r.hr, kParamNotOptional);
    r = call(s.doc.get(), "VALUE", {Var::str("a"), Var::str("b"), Var::boolean(true), Var::str("extra")});
    CHECK_HR(r.hr, kBadParamCount);
    r = invoke(s.doc.get(), 0x12345, kCall, {});
    CHECK_HR(r.hr, kMemberNotFound);
    // A boolean argument that is no boolean; puArgErr counts in rgvarg,
    // which holds the arguments last first.
    r = call(s.doc.get(), "IMPORT", {Var::str(s.example), Var::str("zzz")});
    CHECK_HR(r.hr, kTypeMismatch);
    CHECK_EQ(r.argErr, 0u);
    if (s.children) {
        r = call(s.children.get(), "IMPORT", {Var::str(s.example), Var::str("zzz"), Var::disp(nullptr)});
        CHECK_HR(r.hr, kTypeMismatch);
        CHECK_EQ(r.argErr, 1u);
        r = call(s.children.get(), "COUNT", {Var::i4(1)});
        CHECK_HR(r.hr, kBadParamCount);
    }
    if (s.values) {
        // An entry that is no object.
        r = call(s.values.get(), "ADD", {Var::str("no object")});
        CHECK_HR(r.hr, kTypeMismatch);
        CHECK_EQ(r.argErr, 0u);
        r = call(s.values.get(), "ADD", {Var::i4(5), Var::str("key")});
        CHECK_HR(r.hr, kTypeMismatch);
        CHECK_EQ(r.argErr, 1u);
        // A kind outside the long range.
        r = call(s.values.get(), "CREATE", {Var::str("Big"), Var::i4(1), Var::r8(1e20)});
        CHECK_HR(r.hr, kOverflow);
        CHECK_EQ(r.argErr, 0u);
    }
    // A failure inside the member: DISP_E_EXCEPTION with the code and text.
    if (s.children) {
        r = call(s.children.get(), "Item", {Var::i4(99)});
        CHECK_HR(r.hr, static_cast<HRESULT>(0x80020009u));
        CHECK(r.scode < 0);
        CHECK(!r.error.empty());
    }
}

// Walks a collection through its enumerator and compares with Item.
void walk(IDispatch* collection, WORD flags, bool forceIndex) {
    Result count = call(collection, "COUNT");
    CHECK_HR(count.hr, S_OK);
    const int n = static_cast<int>(number(count.value));
    CHECK(n > 0);
    Result r = invoke(collection, kNewEnum, flags, {});
    CHECK_HR(r.hr, S_OK);
    CHECK(r.value.vt() == VT_UNKNOWN || r.value.vt() == VT_DISPATCH);
    HRESULT h = E_FAIL;
    Ptr<IEnumVARIANT> e = query<IEnumVARIANT>(r.value.object(), IID_IEnumVARIANT, &h);
    CHECK_HR(h, S_OK);
    if (!e) return;
    r = Result{};
    for (int i = 1; i <= n; ++i) {
        Var item;
        ULONG fetched = 99;
        CHECK_HR(e->Next(1, item.put(), &fetched), S_OK);
        CHECK_EQ(fetched, 1u);
        CHECK_EQ(static_cast<int>(item.vt()), static_cast<int>(VT_DISPATCH));
        Ptr<IDispatch> byItem = get_object(collection, "Item", {Var::i4(i), Var::boolean(forceIndex)});
        CHECK(byItem && identity(item.object()) == identity(byItem.get()));
    }
    Var past;
    ULONG fetched = 99;
    CHECK_HR(e->Next(1, past.put(), &fetched), S_FALSE);
    CHECK_EQ(fetched, 0u);
    // All at once, more than there are.
    CHECK_HR(e->Reset(), S_OK);
    std::vector<VARIANT> many(static_cast<std::size_t>(n) + 3);
    for (VARIANT& v : many) std::memset(&v, 0, sizeof v);
    CHECK_HR(e->Next(static_cast<ULONG>(many.size()), many.data(), &fetched), S_FALSE);
    CHECK_EQ(fetched, static_cast<ULONG>(n));
    for (VARIANT& v : many) clear_variant(&v);
    // Skip, and a clone that keeps its own position.
    CHECK_HR(e->Reset(), S_OK);
    CHECK_HR(e->Skip(1), S_OK);
    Ptr<IEnumVARIANT> clone;
    CHECK_HR(e->Clone(clone.put()), S_OK);
    Var second;
    CHECK_HR(e->Next(1, second.put(), nullptr), n >= 2 ? S_OK : S_FALSE);
    if (clone && n >= 2) {
        Var fromClone;
        CHECK_HR(clone->Next(1, fromClone.put(), nullptr), S_OK);
        CHECK(identity(fromClone.object()) == identity(second.object()));
    }
    CHECK_HR(e->Skip(1000), S_FALSE);
}

void for_each(Scenario& s) {
    if (!need(s.values, "VALUES") || !need(s.children, "CHILDREN") || !need(s.enums, "ENUMS")) return;
    g_step = "For Each: VALUES";
    walk(s.values.get(), kCall, true);
    g_step = "For Each: CHILDREN";
    walk(s.children.get(), kCall, true);
    g_step = "For Each: ENUMS";
    walk(s.enums.get(), kCall, false);
    g_step = "For Each: VALUES, property get only";
    walk(s.values.get(), DISPATCH_PROPERTYGET, true);
}

std::string type_name(IDispatch* d) {
    ITypeInfo* info = nullptr;
    if (d->GetTypeInfo(0, 0, &info) != S_OK || !info) return "<no type information>";
    Bstr name;
#ifdef _WIN32
    info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
#else
    info->GetName(name.put());
#endif
    info->Release();
    return name.str();
}

// A facet answers with its own identifiers and describes itself.
void facet(IDispatch* object, const IID& iid, const char* facetName, const char* member, DISPID classDispid) {
    HRESULT h = E_FAIL;
    Ptr<IDispatch> f = query<IDispatch>(object, iid, &h);
    CHECK_HR(h, S_OK);
    if (!f) return;
    CHECK(identity(f.get()) == identity(object));
    CHECK_EQ(type_name(f.get()), std::string(facetName));
    const DISPID id = dispid_of(f.get(), member, &h);
    CHECK_HR(h, S_OK);
    CHECK_EQ(id, 0x40030000);
    dispid_of(f.get(), "COUNT", &h);
    CHECK_HR(h, kUnknownName);
    Result viaFacet = invoke(f.get(), 0x40030000, DISPATCH_PROPERTYGET, {});
    CHECK_HR(viaFacet.hr, S_OK);
    Result viaClass = invoke(object, classDispid, DISPATCH_PROPERTYGET, {});
    CHECK_HR(viaClass.hr, S_OK);
    CHECK(viaFacet.value.object() && identity(viaFacet.value.object()) == identity(viaClass.value.object()));
}

void facets(Scenario& s) {
    if (!need(s.doc, "document") || !need(s.values, "VALUES") || !need(s.children, "CHILDREN") ||
        !need(s.enums, "ENUMS") || !need(s.root, "ROOT"))
        return;
    facet(s.doc.get(), IID_tmp_Data, "tmp_Data", "DATA", 0x40030004);
    facet(s.root.get(), IID_tmp_Data, "tmp_Data", "DATA", 0x40030005);
    facet(s.values.get(), IID_tmp_Data, "tmp_Data", "DATA", 0x40030001);
    facet(s.values.get(), IID_tmp_Database, "tmp_Database", "DATABASE", 0x40030002);
    facet(s.children.get(), IID_tmp_Database, "tmp_Database", "DATABASE", 0x40030003);
    facet(s.enums.get(), IID_tmp_Database, "tmp_Database", "DATABASE", 0x40030002);
    // The class's own interface still answers with the class's identifiers.
    CHECK_EQ(type_name(s.doc.get()), std::string("_cls_INI"));
    HRESULT h = E_FAIL;
    Ptr<IDispatch> own = query<IDispatch>(query<IDispatch>(s.doc.get(), IID_tmp_Data).get(), IID__cls_INI, &h);
    CHECK_HR(h, S_OK);
    CHECK_EQ(dispid_of(own.get(), "ROOT"), 0x40030000);
}

void identities(Scenario& s) {
    if (!need(s.doc, "document") || !need(s.children, "CHILDREN") || !need(s.values, "VALUES")) return;
    Ptr<IDispatch> a = get_object(s.doc.get(), "ROOT"), b = get_object(s.doc.get(), "ROOT");
    CHECK(a && identity(a.get()) == identity(b.get()));
    a = get_object(s.values.get(), "Item", {Var::i4(1)});
    b = get_object(s.values.get(), "Item", {Var::i4(1)});
    CHECK(a && identity(a.get()) == identity(b.get()));
    a = get_object(s.children.get(), "Item", {Var::str("Network")});
    b = get_object(s.children.get(), "Item", {Var::i4(2)});
    CHECK(a && identity(a.get()) == identity(b.get()));
    // Released by the client and read again: still the model's object.
    a.reset();
    b.reset();
    a = get_object(s.children.get(), "Item", {Var::i4(2)});
    CHECK_EQ(name_of(a.get()), std::string("Network"));
}

void omitted_defaults(Scenario& s) {
    // CREATE without pName and pSort: the empty string for both, as the
    // type library states for early-bound clients.
    Ptr<IDispatch> groups = create("TR47_INI.cls_INIGroups");
    if (!groups) return;
    Ptr<IDispatch> g = get_object(groups.get(), "CREATE");
    CHECK_EQ(name_of(g.get()), std::string(""));
    CHECK_EQ(call(g.get(), "SORT").value.str_value(), std::string(""));
    CHECK_EQ(show(call(groups.get(), "EXISTS", {Var::str("")}).value), std::string("Boolean True"));
    // IMPORT without pRoot.
    Result r = call(groups.get(), "IMPORT", {Var::str(s.example)});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(show(r.value), std::string("Boolean True"));
    CHECK_EQ(number(call(groups.get(), "COUNT").value), 3.0);
}

} // namespace

int main(int argc, char** argv) {
    start_watchdog(240);
    ClientSetup setup(argc, argv, "late_binding");
    if (!setup.usable()) return 2;
    Scenario s;
    s.example = setup.example;
    s.scratch = setup.scratch;
    step("create and IMPORT", [&] { set_up(s); });
    step("GetIDsOfNames with parameter names", [&] { names(s); });
    step("named arguments", [&] { named_arguments(s); });
    step("property put through DISPID_PROPERTYPUT", [&] { property_puts(s); });
    step("arguments by reference", [&] { by_reference(s); });
    step("Null and Empty as the default", [&] { null_and_empty(s); });
    step("coercions", [&] { coercions(s); });
    step("failure codes and puArgErr", [&] { failures(s); });
    step("For Each (DISPID_NEWENUM)", [&] { for_each(s); });
    step("tmp_Data and tmp_Database by dispatch", [&] { facets(s); });
    step("one identity per object", [&] { identities(s); });
    step("omitted pName, pSort and pRoot", [&] { omitted_defaults(s); });
    step("everything released: DllCanUnloadNow", [&] {
        CHECK_HR(can_unload_now(), S_FALSE);
        s = Scenario{};
        CHECK_HR(can_unload_now(), S_OK);
    });
#ifdef _WIN32
    CoUninitialize();
#endif
    return finish("late binding");
}

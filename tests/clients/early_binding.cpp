// An early-bound client: compiled against the header that widl makes from
// the type library's IDL, it reaches every member through the function
// tables, as VB6/VBA with a reference, #import and .NET interop do. It
// never calls IDispatch::Invoke. Omitted optional arguments are passed as
// such a client passes them: the omitted-argument marker for a variant,
// the type library's default for everything else.
//
// Windows (under Wine, after regsvr32):  early_binding.exe EXAMPLE.ini SCRATCH
// Linux:                                 early_binding SERVER.so EXAMPLE.ini SCRATCH
#include "client_support.hpp"

#include <cmath>

// The reader object's member EOF would be taken for the C library's macro.
#pragma push_macro("EOF")
#undef EOF
#include "TR47_INI.h"
#pragma pop_macro("EOF")
#include "TR47_INI_i.c"

using namespace client;

namespace {

#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

std::string join(const std::string& dir, const char* name) { return dir + kSep + name; }

double number(const Var& v) {
    switch (v.vt()) {
    case VT_I4: return v.raw().lVal;
    case VT_I2: return v.raw().iVal;
    case VT_R8: return v.raw().dblVal;
    default: return std::nan("");
    }
}

bool is_omitted(const Var& v) { return v.vt() == VT_ERROR && v.raw().scode == static_cast<HRESULT>(0x80020004u); }

// Everything the steps share; a step that crashed leaves what it did not
// reach empty, and the steps after it say so instead of crashing again.
struct Scenario {
    std::string example, scratch;
    Ptr<_cls_INI> doc;
    Ptr<_cls_INIGroup> root;
    Ptr<_cls_INIGroups> children;
    Ptr<_cls_INIValues> values;
    Ptr<_cls_INIEnums> enums;
    Ptr<_cls_INIGroup> fonts, network;
};

template <class T>
bool need(const Ptr<T>& p, const char* what) {
    if (p) return true;
    report_failure(__FILE__, __LINE__, std::string("no ") + what + " from an earlier step");
    return false;
}

template <class T>
Ptr<T> create(const char* progid, const IID& iid) {
    Ptr<T> p;
    const HRESULT h = create_object(progid, iid, p.put_void());
    if (h != S_OK) report_failure(__FILE__, __LINE__, std::string("creating ") + progid + " returned " + hex(h));
    return p;
}

std::string name_of(_cls_INIGroup* g) {
    Bstr b;
    if (!g || g->get_NAME(b.put()) != S_OK) return "<no name>";
    return b.str();
}

std::string name_of(_cls_INIValue* v) {
    Bstr b;
    if (!v || v->get_NAME(b.put()) != S_OK) return "<no name>";
    return b.str();
}

void create_every_class() {
    struct Class {
        const char* progid;
        const IID* iid;
        bool collection;
    };
    const Class classes[] = {
        {"TR47_INI.cls_INI", &IID__cls_INI, false},
        {"TR47_INI.cls_INIEnum", &IID__cls_INIEnum, false},
        {"TR47_INI.cls_INIEnums", &IID__cls_INIEnums, true},
        {"TR47_INI.cls_INIGroup", &IID__cls_INIGroup, false},
        {"TR47_INI.cls_INIValue", &IID__cls_INIValue, false},
        {"TR47_INI.cls_INIValues", &IID__cls_INIValues, true},
        {"TR47_INI.cls_INIGroups", &IID__cls_INIGroups, true},
    };
    for (const Class& c : classes) {
        Ptr<IUnknown> o = create<IUnknown>(c.progid, *c.iid);
        if (!o) continue;
        HRESULT h = S_OK;
        Ptr<IUnknown> data = query<IUnknown>(o.get(), IID_tmp_Data, &h);
        CHECK_HR(h, S_OK);
        Ptr<IUnknown> db = query<IUnknown>(o.get(), IID_tmp_Database, &h);
        CHECK_HR(h, c.collection ? S_OK : E_NOINTERFACE);
        Ptr<IUnknown> disp = query<IUnknown>(o.get(), IID_IDispatch, &h);
        CHECK_HR(h, S_OK);
        CHECK(identity(data.get()) == identity(o.get()));
        // Another class's interface is refused.
        Ptr<IUnknown> wrong = query<IUnknown>(o.get(), c.iid == &IID__cls_INI ? IID__cls_INIGroup : IID__cls_INI, &h);
        CHECK_HR(h, E_NOINTERFACE);
    }
}

void import_example(Scenario& s) {
    CHECK_HR(create_object("TR47_INI.cls_INI", IID__cls_INI, s.doc.put_void()), S_OK);
    if (!need(s.doc, "document")) return;
    VARIANT_BOOL ok = 0;
    // pOutputErrors omitted: its default, true.
    CHECK_HR(s.doc->IMPORT(Bstr(s.example), VARIANT_TRUE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);

    Ptr<_cls_INI> other = create<_cls_INI>("TR47_INI.cls_INI", IID__cls_INI);
    if (!other) return;
    ok = VARIANT_TRUE;
    CHECK_HR(other->IMPORT(Bstr(join(s.scratch, "missing.ini")), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_FALSE);
}

void root_and_identity(Scenario& s) {
    if (!need(s.doc, "document")) return;
    CHECK_HR(s.doc->get_ROOT(s.root.put()), S_OK);
    if (!need(s.root, "ROOT")) return;
    Ptr<_cls_INIGroup> again;
    CHECK_HR(s.doc->get_ROOT(again.put()), S_OK);
    CHECK(identity(again.get()) != nullptr);
    CHECK(identity(again.get()) == identity(s.root.get()));
    CHECK_HR(s.root->get_CHILDREN(s.children.put()), S_OK);
    CHECK_HR(s.root->get_VALUES(s.values.put()), S_OK);
    CHECK_HR(s.doc->get_ENUMS(s.enums.put()), S_OK);
    Ptr<_cls_INIValues> values2;
    CHECK_HR(s.root->get_VALUES(values2.put()), S_OK);
    CHECK(identity(values2.get()) == identity(s.values.get()));
}

void children_items(Scenario& s) {
    if (!need(s.children, "CHILDREN")) return;
    LONG n = -1;
    CHECK_HR(s.children->COUNT(&n), S_OK);
    CHECK_EQ(n, 2);
    // pForceIndex omitted: true on groups.
    CHECK_HR(s.children->Item(Var::i4(1).raw(), VARIANT_TRUE, s.fonts.put()), S_OK);
    CHECK_EQ(name_of(s.fonts.get()), std::string("Fonts"));
    if (s.fonts) {
        Bstr sort;
        CHECK_HR(s.fonts->get_SORT(sort.put()), S_OK);
        CHECK_EQ(sort.str(), std::string("Printer"));
    }
    CHECK_HR(s.children->Item(Var::str(" network ").raw(), VARIANT_TRUE, s.network.put()), S_OK);
    CHECK_EQ(name_of(s.network.get()), std::string("Network"));

    // The same group by position, by key and under either force flag.
    Ptr<_cls_INIGroup> g;
    CHECK_HR(s.children->Item(Var::i4(2).raw(), VARIANT_TRUE, g.put()), S_OK);
    CHECK(identity(g.get()) == identity(s.network.get()));
    CHECK_HR(s.children->Item(Var::i4(1).raw(), VARIANT_FALSE, g.put()), S_OK);
    CHECK(identity(g.get()) == identity(s.fonts.get()));
    CHECK_HR(s.children->Item(Var::str("FONTS").raw(), VARIANT_FALSE, g.put()), S_OK);
    CHECK(identity(g.get()) == identity(s.fonts.get()));

    // A key that matches nothing: no object. A position out of range: a
    // failure with error information.
    CHECK_HR(s.children->Item(Var::str("nothing").raw(), VARIANT_TRUE, g.put()), S_OK);
    CHECK(!g);
    const HRESULT h = s.children->Item(Var::i4(99).raw(), VARIANT_TRUE, g.put());
    CHECK(h < 0);
    CHECK(!g);
#ifdef _WIN32
    // What VB6 reads after a failed early-bound call.
    IErrorInfo* info = nullptr;
    CHECK_HR(GetErrorInfo(0, &info), S_OK);
    if (info) {
        Bstr d;
        info->GetDescription(d.put());
        CHECK(!d.str().empty());
        info->Release();
    }
    HRESULT q = S_OK;
    Ptr<ISupportErrorInfo> sei = query<ISupportErrorInfo>(s.children.get(), IID_ISupportErrorInfo, &q);
    CHECK_HR(q, S_OK);
    if (sei) CHECK_HR(sei->InterfaceSupportsErrorInfo(IID__cls_INIGroups), S_OK);
#endif
}

void value_objects(Scenario& s) {
    if (!need(s.values, "VALUES")) return;
    LONG n = -1;
    CHECK_HR(s.values->COUNT(&n), S_OK);
    CHECK_EQ(n, 14);
    Ptr<_cls_INIValue> v, again;
    CHECK_HR(s.values->Item(Var::i4(1).raw(), VARIANT_TRUE, v.put()), S_OK);
    if (!need(v, "first value")) return;
    CHECK_HR(s.values->Item(Var::i4(1).raw(), VARIANT_TRUE, again.put()), S_OK);
    CHECK(identity(again.get()) == identity(v.get()));
    CHECK_EQ(name_of(v.get()), std::string("Title"));
    enm_INIValueSort sort = ID_INIValueSort_Color;
    CHECK_HR(v->get_SORT(&sort), S_OK);
    CHECK_EQ(static_cast<int>(sort), static_cast<int>(ID_INIValueSort_String));
    Var content;
    CHECK_HR(v->get_CONTENT(content.put()), S_OK);
    CHECK_EQ(content.str_value(), std::string("Report, final"));

    CHECK_HR(s.values->Item(Var::str("count").raw(), VARIANT_TRUE, v.put()), S_OK);
    if (v) {
        CHECK_HR(v->get_SORT(&sort), S_OK);
        CHECK_EQ(static_cast<int>(sort), static_cast<int>(ID_INIValueSort_Long));
        CHECK_HR(v->get_CONTENT(content.put()), S_OK);
        CHECK_EQ(number(content), 5.0);
    }
    CHECK_HR(s.values->Item(Var::str("Created").raw(), VARIANT_TRUE, v.put()), S_OK);
    if (v) {
        CHECK_HR(v->get_SORT(&sort), S_OK);
        CHECK_EQ(static_cast<int>(sort), static_cast<int>(ID_INIValueSort_Date));
        CHECK_HR(v->get_CONTENT(content.put()), S_OK);
        CHECK_EQ(static_cast<int>(content.vt()), static_cast<int>(VT_DATE));
    }
    // An enumeration member refers to the document's enumeration object.
    CHECK_HR(s.values->Item(Var::str("Mode").raw(), VARIANT_TRUE, v.put()), S_OK);
    if (v && s.enums) {
        CHECK_HR(v->get_SORT(&sort), S_OK);
        CHECK_EQ(static_cast<int>(sort), static_cast<int>(ID_INIValueSort_Enum));
        Ptr<_cls_INIEnum> ref, modes;
        CHECK_HR(v->get_ENUMREF(ref.put()), S_OK);
        CHECK_HR(s.enums->Item(Var::str("Modes").raw(), VARIANT_FALSE, modes.put()), S_OK);
        CHECK(ref && identity(ref.get()) == identity(modes.get()));
    }
    // A description assigned and read back.
    if (!need(v, "value Mode")) return;
    CHECK_HR(v->put_DESCRIPTION(Bstr("the mode")), S_OK);
    Bstr d;
    CHECK_HR(v->get_DESCRIPTION(d.put()), S_OK);
    CHECK_EQ(d.str(), std::string("the mode"));
}

void value_lookups(Scenario& s) {
    if (!need(s.doc, "document")) return;
    Var r;
    // pDefaultValue omitted, pRecurse omitted (true on the document).
    CHECK_HR(s.doc->VALUE(Bstr("Face"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("Arial"));
    CHECK_HR(s.doc->VALUE(Bstr("Face"), Var::omitted().raw(), VARIANT_FALSE, r.put()), S_OK);
    CHECK(is_omitted(r));
    CHECK_HR(s.doc->VALUE(Bstr("Missing"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK(is_omitted(r));
    CHECK_HR(s.doc->VALUE(Bstr("Missing"), Var::i4(5).raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(static_cast<int>(r.vt()), static_cast<int>(VT_I4));
    CHECK_EQ(number(r), 5.0);
    CHECK_HR(s.doc->VALUE(Bstr("Missing"), Var::null().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(show(r), std::string("Null"));
    CHECK_HR(s.doc->VALUE(Bstr(" port "), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(number(r), 8080.0);
    // Any non-zero boolean counts as true.
    CHECK_HR(s.doc->VALUE(Bstr("Face"), Var::omitted().raw(), 1, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("Arial"));

    if (!need(s.root, "ROOT")) return;
    // pRecurse omitted: false on a group.
    CHECK_HR(s.root->VALUE(Bstr("Face"), Var::omitted().raw(), VARIANT_FALSE, r.put()), S_OK);
    CHECK(is_omitted(r));
    CHECK_HR(s.root->VALUE(Bstr("Face"), Var::str("none").raw(), VARIANT_FALSE, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("none"));
    CHECK_HR(s.root->VALUE(Bstr("Face"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("Arial"));
    VARIANT_BOOL ok = 1;
    CHECK_HR(s.root->EXISTS(Bstr("Port"), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_FALSE);
    CHECK_HR(s.root->EXISTS(Bstr("Port"), VARIANT_TRUE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    if (s.network) {
        CHECK_HR(s.network->EXISTS(Bstr(" PORT "), VARIANT_FALSE, &ok), S_OK);
        CHECK_EQ(ok, VARIANT_TRUE);
    }
    if (s.fonts) {
        CHECK_HR(s.fonts->VALUE(Bstr("Face"), Var::omitted().raw(), VARIANT_FALSE, r.put()), S_OK);
        CHECK_EQ(r.str_value(), std::string("Arial"));
    }
}

void change_values(Scenario& s) {
    if (!need(s.values, "VALUES") || !need(s.doc, "document")) return;
    LONG before = -1, n = -1;
    CHECK_HR(s.values->COUNT(&before), S_OK);

    // pType omitted: its default, String.
    Ptr<_cls_INIValue> created;
    CHECK_HR(s.values->CREATE(Bstr("NewText"), Var::str("hello").raw(), ID_INIValueSort_String, created.put()), S_OK);
    CHECK_EQ(name_of(created.get()), std::string("NewText"));
    CHECK_HR(s.values->CREATE(Bstr("NewNum"), Var::r8(3.5).raw(), ID_INIValueSort_Double, created.put()), S_OK);
    if (created) {
        enm_INIValueSort sort = ID_INIValueSort_String;
        CHECK_HR(created->get_SORT(&sort), S_OK);
        CHECK_EQ(static_cast<int>(sort), static_cast<int>(ID_INIValueSort_Double));
    }
    CHECK_HR(s.values->COUNT(&n), S_OK);
    CHECK_EQ(n, before + 2);
    Var r;
    CHECK_HR(s.doc->VALUE(Bstr("newtext"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("hello"));

    // A value made on its own, filled through its table, then added.
    Ptr<_cls_INIValue> v = create<_cls_INIValue>("TR47_INI.cls_INIValue", IID__cls_INIValue);
    if (!v) return;
    CHECK_HR(v->put_NAME(Bstr("Added")), S_OK);
    Var content = Var::str("from early binding");
    CHECK_HR(v->put_CONTENT(&content.raw()), S_OK);
    CHECK_HR(v->put_SORT(ID_INIValueSort_String), S_OK);
    Ptr<_cls_INIValue> added;
    // pID omitted: the marker.
    CHECK_HR(s.values->ADD(v.get(), Var::omitted().raw(), added.put()), S_OK);
    CHECK(added && identity(added.get()) == identity(v.get()));
    CHECK_HR(s.doc->VALUE(Bstr("Added"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("from early binding"));
    VARIANT_BOOL ok = 0;
    CHECK_HR(s.values->EXISTS(Var::str(" added ").raw(), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    // pForceIndex omitted: false.
    CHECK_HR(s.values->REMOVE(Var::str("Added").raw(), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    CHECK_HR(s.values->EXISTS(Var::str("Added").raw(), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_FALSE);
    CHECK_HR(s.values->REMOVE(Var::str("Added").raw(), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_FALSE);

    // Added with an identifier, a value is still found by its NAME only.
    CHECK_HR(s.values->ADD(v.get(), Var::str("keyX").raw(), added.put()), S_OK);
    CHECK(added && identity(added.get()) == identity(v.get()));
    CHECK_HR(s.values->EXISTS(Var::str("keyX").raw(), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_FALSE);
    CHECK_HR(s.values->REMOVE(Var::str("Added").raw(), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    CHECK_HR(s.values->COUNT(&n), S_OK);
    CHECK_EQ(n, before + 2);

    // Content by reference, as the IDL declares it.
    Var seven = Var::i4(7);
    CHECK_HR(v->put_CONTENT(&seven.raw()), S_OK);
    CHECK_HR(v->get_CONTENT(r.put()), S_OK);
    CHECK_EQ(number(r), 7.0);
}

void change_groups(Scenario& s) {
    if (!need(s.children, "CHILDREN") || !need(s.doc, "document")) return;
    Ptr<_cls_INIGroup> g;
    CHECK_HR(s.children->CREATE(Bstr("NewGroup"), Bstr("Kind"), g.put()), S_OK);
    if (!need(g, "created group")) return;
    CHECK_EQ(name_of(g.get()), std::string("NewGroup"));
    Bstr sort;
    CHECK_HR(g->get_SORT(sort.put()), S_OK);
    CHECK_EQ(sort.str(), std::string("Kind"));
    Ptr<_cls_INIValues> inner;
    CHECK_HR(g->get_VALUES(inner.put()), S_OK);
    Ptr<_cls_INIValue> iv;
    if (inner) CHECK_HR(inner->CREATE(Bstr("Inner"), Var::i4(7).raw(), ID_INIValueSort_Long, iv.put()), S_OK);
    Var r;
    CHECK_HR(s.doc->VALUE(Bstr("Inner"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(number(r), 7.0);

    // pName and pSort omitted: the type library's default, the empty
    // string; a C++ client may pass no string at all.
    LONG before = -1, n = -1;
    CHECK_HR(s.children->COUNT(&before), S_OK);
    Ptr<_cls_INIGroup> blank;
    CHECK_HR(s.children->CREATE(Bstr(""), Bstr(""), blank.put()), S_OK);
    CHECK_EQ(name_of(blank.get()), std::string(""));
    CHECK_HR(s.children->CREATE(nullptr, nullptr, blank.put()), S_OK);
    CHECK_EQ(name_of(blank.get()), std::string(""));
    if (blank) {
        CHECK_HR(blank->get_SORT(sort.put()), S_OK);
        CHECK_EQ(sort.str(), std::string(""));
    }
    VARIANT_BOOL ok = 0;
    CHECK_HR(s.children->REMOVE(Var::str("").raw(), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    CHECK_HR(s.children->REMOVE(Var::str("").raw(), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    CHECK_HR(s.children->COUNT(&n), S_OK);
    CHECK_EQ(n, before);

    // A group added with an identifier is found by it, not by its NAME.
    Ptr<_cls_INIGroup> extra = create<_cls_INIGroup>("TR47_INI.cls_INIGroup", IID__cls_INIGroup);
    if (!extra) return;
    CHECK_HR(extra->put_NAME(Bstr("Extra")), S_OK);
    Ptr<_cls_INIGroup> added;
    CHECK_HR(s.children->ADD(extra.get(), Var::str("extraKey").raw(), added.put()), S_OK);
    CHECK(added && identity(added.get()) == identity(extra.get()));
    CHECK_HR(s.children->EXISTS(Var::str("extrakey").raw(), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    CHECK_HR(s.children->EXISTS(Var::str("Extra").raw(), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_FALSE);
    CHECK_HR(s.children->REMOVE(Var::str("extraKey").raw(), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    CHECK_HR(s.children->COUNT(&n), S_OK);
    CHECK_EQ(n, before);

    // The file-level reader into a collection of its own; pRoot omitted:
    // the type library's default, no object.
    Ptr<_cls_INIGroups> loose = create<_cls_INIGroups>("TR47_INI.cls_INIGroups", IID__cls_INIGroups);
    if (!loose) return;
    CHECK_HR(loose->IMPORT(Bstr(s.example), VARIANT_FALSE, nullptr, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    CHECK_HR(loose->COUNT(&n), S_OK);
    CHECK_EQ(n, 2);
    Ptr<_cls_INIGroup> second;
    CHECK_HR(loose->Item(Var::i4(2).raw(), VARIANT_TRUE, second.put()), S_OK);
    CHECK_EQ(name_of(second.get()), std::string("Network"));
    if (second) {
        CHECK_HR(second->VALUE(Bstr("Port"), Var::omitted().raw(), VARIANT_FALSE, r.put()), S_OK);
        CHECK_EQ(number(r), 8080.0);
    }
}

void enumerations(Scenario& s) {
    if (!need(s.enums, "ENUMS")) return;
    LONG n = -1;
    CHECK_HR(s.enums->COUNT(&n), S_OK);
    CHECK_EQ(n, 2);
    Ptr<_cls_INIEnum> modes, sizes;
    // pForceIndex omitted: false on enumerations.
    CHECK_HR(s.enums->Item(Var::str("modes").raw(), VARIANT_FALSE, modes.put()), S_OK);
    CHECK_HR(s.enums->Item(Var::i4(2).raw(), VARIANT_FALSE, sizes.put()), S_OK);
    Bstr name;
    if (modes) {
        CHECK_HR(modes->get_NAME(name.put()), S_OK);
        CHECK_EQ(name.str(), std::string("Modes"));
    }
    if (sizes) {
        CHECK_HR(sizes->get_NAME(name.put()), S_OK);
        CHECK_EQ(name.str(), std::string("Sizes"));
    }
    Ptr<_cls_INIEnum> e;
    CHECK_HR(s.enums->CREATE(Bstr("Colours"), e.put()), S_OK);
    if (e) {
        VARIANT_BOOL ok = 0;
        CHECK_HR(e->IMPORT(Bstr("Red,1,Green,2"), &ok), S_OK);
        CHECK_EQ(ok, VARIANT_TRUE);
        CHECK_HR(e->put_DESCRIPTION(Bstr("colours")), S_OK);
    }
    CHECK_HR(s.enums->COUNT(&n), S_OK);
    CHECK_EQ(n, 3);
    // Added with an identifier, an enumeration takes it as its name.
    Ptr<_cls_INIEnum> loose = create<_cls_INIEnum>("TR47_INI.cls_INIEnum", IID__cls_INIEnum);
    if (!loose) return;
    CHECK_HR(loose->put_NAME(Bstr("Temporary")), S_OK);
    Ptr<_cls_INIEnum> added;
    CHECK_HR(s.enums->ADD(loose.get(), Var::str("Renamed").raw(), added.put()), S_OK);
    CHECK(added && identity(added.get()) == identity(loose.get()));
    CHECK_HR(loose->get_NAME(name.put()), S_OK);
    CHECK_EQ(name.str(), std::string("Renamed"));
    VARIANT_BOOL ok = 0;
    CHECK_HR(s.enums->REMOVE(Var::str("renamed").raw(), VARIANT_FALSE, &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
}

void member_list(Scenario& s) {
    if (!need(s.enums, "ENUMS")) return;
    Ptr<_cls_INIEnum> modes;
    CHECK_HR(s.enums->Item(Var::str("Modes").raw(), VARIANT_FALSE, modes.put()), S_OK);
    if (!need(modes, "enumeration Modes")) return;
    Ptr<MemberList> members;
    CHECK_HR(modes->get_VALUES(members.put()), S_OK);
    if (!need(members, "member list")) return;
    LONG n = -1;
    CHECK_HR(members->COUNT(&n), S_OK);
    CHECK_EQ(n, 3);
    Bstr b;
    CHECK_HR(members->NAME(1, b.put()), S_OK);
    CHECK_EQ(b.str(), std::string("Off"));
    CHECK_HR(members->VALUE(3, b.put()), S_OK);
    CHECK_EQ(b.str(), std::string("2"));
}

void document_properties(Scenario& s) {
    if (!need(s.doc, "document")) return;
    Bstr b;
    CHECK_HR(s.doc->put_VERSION(Bstr("2.5")), S_OK);
    CHECK_HR(s.doc->get_VERSION(b.put()), S_OK);
    CHECK_EQ(b.str(), std::string("2.5"));
    CHECK_HR(s.doc->put_CONTENT(Bstr("Einstellungen")), S_OK);
    CHECK_HR(s.doc->get_CONTENT(b.put()), S_OK);
    CHECK_EQ(b.str(), std::string("Einstellungen"));

    // Another root by reference, then the old one back.
    if (!need(s.root, "ROOT")) return;
    Ptr<_cls_INIGroup> fresh = create<_cls_INIGroup>("TR47_INI.cls_INIGroup", IID__cls_INIGroup);
    if (!fresh) return;
    CHECK_HR(s.doc->putref_ROOT(fresh.get()), S_OK);
    Ptr<_cls_INIGroup> now;
    CHECK_HR(s.doc->get_ROOT(now.put()), S_OK);
    CHECK(identity(now.get()) == identity(fresh.get()));
    Var r;
    CHECK_HR(s.doc->VALUE(Bstr("Face"), Var::str("none").raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("none"));
    CHECK_HR(s.doc->putref_ROOT(s.root.get()), S_OK);
    CHECK_HR(s.doc->get_ROOT(now.put()), S_OK);
    CHECK(identity(now.get()) == identity(s.root.get()));
}

void save_and_load(Scenario& s) {
    if (!need(s.doc, "document")) return;
    const std::string stored = join(s.scratch, "early.tr47");
    VARIANT_BOOL ok = 0;
    CHECK_HR(s.doc->SAVE(Bstr(stored), Bstr("geheim"), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    Ptr<_cls_INI> loaded = create<_cls_INI>("TR47_INI.cls_INI", IID__cls_INI);
    if (!loaded) return;
    // pPW omitted: the empty password, which does not open this file.
    ok = VARIANT_TRUE;
    CHECK_HR(loaded->LOAD(Bstr(stored), Bstr(""), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_FALSE);
    CHECK_HR(loaded->LOAD(Bstr(stored), Bstr("falsch"), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_FALSE);
    CHECK_HR(loaded->LOAD(Bstr(stored), Bstr("geheim"), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    Var r;
    CHECK_HR(loaded->VALUE(Bstr("Host"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("example.org"));
    CHECK_HR(loaded->VALUE(Bstr("NewText"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(r.str_value(), std::string("hello"));
    CHECK_HR(loaded->VALUE(Bstr("Inner"), Var::omitted().raw(), VARIANT_TRUE, r.put()), S_OK);
    CHECK_EQ(number(r), 7.0);
    Bstr b;
    CHECK_HR(loaded->get_VERSION(b.put()), S_OK);
    CHECK_EQ(b.str(), std::string("2.5"));

    // A collection on its own, without a password.
    if (!need(s.values, "VALUES")) return;
    const std::string plain = join(s.scratch, "early-values.tr47");
    CHECK_HR(s.values->SAVE(Bstr(plain), Bstr(""), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    Ptr<_cls_INIValues> copy = create<_cls_INIValues>("TR47_INI.cls_INIValues", IID__cls_INIValues);
    if (!copy) return;
    CHECK_HR(copy->LOAD(Bstr(plain), Bstr(""), &ok), S_OK);
    CHECK_EQ(ok, VARIANT_TRUE);
    LONG a = -1, c = -2;
    CHECK_HR(s.values->COUNT(&a), S_OK);
    CHECK_HR(copy->COUNT(&c), S_OK);
    CHECK_EQ(c, a);
    Ptr<_cls_INIValue> title;
    CHECK_HR(copy->Item(Var::str("Title").raw(), VARIANT_TRUE, title.put()), S_OK);
    if (title) {
        CHECK_HR(title->get_CONTENT(r.put()), S_OK);
        CHECK_EQ(r.str_value(), std::string("Report, final"));
    }
}

// DATA through tmp_Data is the object's own data object.
template <class T>
void data_of(T* object) {
    HRESULT h = S_OK;
    Ptr<tmp_Data> facet = query<tmp_Data>(object, IID_tmp_Data, &h);
    CHECK_HR(h, S_OK);
    if (!facet) return;
    CHECK(identity(facet.get()) == identity(object));
    Ptr<DataObject> viaFacet, viaClass;
    CHECK_HR(facet->get_DATA(viaFacet.put()), S_OK);
    CHECK_HR(object->get_DATA(viaClass.put()), S_OK);
    CHECK(viaFacet && identity(viaFacet.get()) == identity(viaClass.get()));
    // And back from the facet to the class's interface.
    Ptr<IUnknown> back = query<IUnknown>(facet.get(), IID_IDispatch, &h);
    CHECK_HR(h, S_OK);
}

void tmp_data(Scenario& s) {
    if (!need(s.doc, "document")) return;
    data_of(s.doc.get());
    if (s.root) data_of(s.root.get());
    if (s.values) data_of(s.values.get());
    if (s.children) data_of(s.children.get());
    if (s.enums) data_of(s.enums.get());
    HRESULT h = S_OK;
    Ptr<_cls_INI> back = query<_cls_INI>(query<tmp_Data>(s.doc.get(), IID_tmp_Data).get(), IID__cls_INI, &h);
    CHECK_HR(h, S_OK);
    CHECK(identity(back.get()) == identity(s.doc.get()));
}

// The data object's own table: its class name is the library's base name
// and the class name.
void data_object(Scenario& s) {
    if (!need(s.doc, "document") || !need(s.root, "ROOT")) return;
    Ptr<DataObject> d;
    CHECK_HR(s.doc->get_DATA(d.put()), S_OK);
    if (!need(d, "data object")) return;
    Bstr name;
    CHECK_HR(d->get_CLASSNAME(name.put()), S_OK);
    CHECK_EQ(name.str(), std::string("TR47_INI.cls_INI"));
    CHECK_HR(s.root->get_DATA(d.put()), S_OK);
    if (d) {
        CHECK_HR(d->get_CLASSNAME(name.put()), S_OK);
        CHECK_EQ(name.str(), std::string("TR47_INI.cls_INIGroup"));
    }
}

template <class T>
void database_of(T* collection) {
    HRESULT h = S_OK;
    Ptr<tmp_Database> facet = query<tmp_Database>(collection, IID_tmp_Database, &h);
    CHECK_HR(h, S_OK);
    if (!facet) return;
    CHECK(identity(facet.get()) == identity(collection));
    Ptr<DatabaseObject> viaFacet, viaClass;
    CHECK_HR(facet->get_DATABASE(viaFacet.put()), S_OK);
    CHECK_HR(collection->get_DATABASE(viaClass.put()), S_OK);
    CHECK(viaFacet && identity(viaFacet.get()) == identity(viaClass.get()));
}

void tmp_database(Scenario& s) {
    if (!need(s.values, "VALUES") || !need(s.children, "CHILDREN") || !need(s.enums, "ENUMS")) return;
    database_of(s.values.get());
    database_of(s.children.get());
    database_of(s.enums.get());
    HRESULT h = S_OK;
    if (s.root) {
        Ptr<tmp_Database> none = query<tmp_Database>(s.root.get(), IID_tmp_Database, &h);
        CHECK_HR(h, E_NOINTERFACE);
    }
}

// The database object's own table counts the collection's entries.
void database_object(Scenario& s) {
    if (!need(s.values, "VALUES")) return;
    Ptr<DatabaseObject> db;
    CHECK_HR(s.values->get_DATABASE(db.put()), S_OK);
    if (!need(db, "database object")) return;
    LONG a = -1, b = -2;
    CHECK_HR(db->COUNT(&a), S_OK);
    CHECK_HR(s.values->COUNT(&b), S_OK);
    CHECK_EQ(a, b);
}

} // namespace

int main(int argc, char** argv) {
    start_watchdog(240);
    ClientSetup setup(argc, argv, "early_binding");
    if (!setup.usable()) return 2;
    Scenario s;
    s.example = setup.example;
    s.scratch = setup.scratch;
    step("every class by ProgID, with its interfaces", [] { create_every_class(); });
    step("IMPORT", [&] { import_example(s); });
    step("ROOT, CHILDREN, VALUES, ENUMS and their identity", [&] { root_and_identity(s); });
    step("CHILDREN.Item", [&] { children_items(s); });
    step("value objects", [&] { value_objects(s); });
    step("VALUE and EXISTS", [&] { value_lookups(s); });
    step("CREATE, ADD and REMOVE of values", [&] { change_values(s); });
    step("CREATE, ADD, REMOVE and IMPORT of groups", [&] { change_groups(s); });
    step("enumerations", [&] { enumerations(s); });
    step("member list", [&] { member_list(s); });
    step("document properties and ROOT by reference", [&] { document_properties(s); });
    step("SAVE and LOAD", [&] { save_and_load(s); });
    step("tmp_Data", [&] { tmp_data(s); });
    step("data object", [&] { data_object(s); });
    step("tmp_Database", [&] { tmp_database(s); });
    step("database object", [&] { database_object(s); });
    step("everything released: DllCanUnloadNow", [&] {
        s = Scenario{};
        CHECK_HR(can_unload_now(), S_OK);
    });
#ifdef _WIN32
    CoUninitialize();
#endif
    return finish("early binding");
}

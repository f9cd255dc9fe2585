// The automation server's member tables: the published dispatch
// identifiers and defaults, late binding through the tables, the IDL made
// from them, and the function tables generated from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "server/dispatch.hpp"

using namespace tr47;
using namespace tr47::server;

namespace {
struct Expected {
    const char* itf;
    const char* member;
    Kind kind;
    tr47com::DISPID id;
    std::vector<const char*> defaults; // per parameter: nullptr required, "" optional without default
};

// The published dispatch identifiers and optional-argument defaults.
const std::vector<Expected> kExpected = {
    {"_cls_INI", "ROOT", Kind::Get, 0x40030000, {}},
    {"_cls_INI", "ROOT", Kind::Set, 0x40030000, {nullptr}},
    {"_cls_INI", "ENUMS", Kind::Get, 0x40030001, {}},
    {"_cls_INI", "ENUMS", Kind::Set, 0x40030001, {nullptr}},
    {"_cls_INI", "VERSION", Kind::Let, 0x40030002, {nullptr}},
    {"_cls_INI", "CONTENT", Kind::Get, 0x40030003, {}},
    {"_cls_INI", "DATA", Kind::Set, 0x40030004, {nullptr}},
    {"_cls_INI", "LOAD", Kind::Method, 0x60030008, {nullptr, "\"\""}},
    {"_cls_INI", "SAVE", Kind::Method, 0x60030009, {nullptr, "\"\""}},
    {"_cls_INI", "IMPORT", Kind::Method, 0x6003000A, {nullptr, "-1"}},
    {"_cls_INI", "VALUE", Kind::Method, 0x6003000B, {nullptr, "", "-1"}},
    {"_cls_INIEnum", "VALUES", Kind::Set, 0x40030000, {nullptr}},
    {"_cls_INIEnum", "DESCRIPTION", Kind::Let, 0x40030001, {nullptr}},
    {"_cls_INIEnum", "DATA", Kind::Get, 0x40030002, {}},
    {"_cls_INIEnum", "NAME", Kind::Get, 0x68030001, {}},
    {"_cls_INIEnum", "NAME", Kind::Let, 0x68030001, {nullptr}},
    {"_cls_INIEnum", "IMPORT", Kind::Method, 0x60030009, {nullptr}},
    {"_cls_INIEnums", "DATA", Kind::Get, 0x40030001, {}},
    {"_cls_INIEnums", "DATABASE", Kind::Set, 0x40030002, {nullptr}},
    {"_cls_INIEnums", "Item", Kind::Method, 0, {nullptr, "0"}},
    {"_cls_INIEnums", "EXISTS", Kind::Method, 0x60030010, {nullptr}},
    {"_cls_INIEnums", "COUNT", Kind::Method, 0x60030011, {}},
    {"_cls_INIEnums", "REMOVE", Kind::Method, 0x60030012, {nullptr, "0"}},
    {"_cls_INIEnums", "ADD", Kind::Method, 0x60030013, {nullptr, ""}},
    {"_cls_INIEnums", "CREATE", Kind::Method, 0x60030014, {nullptr}},
    {"_cls_INIEnums", "LOAD", Kind::Method, 0x60030015, {nullptr, "\"\""}},
    {"_cls_INIEnums", "SAVE", Kind::Method, 0x60030016, {nullptr, "\"\""}},
    {"_cls_INIGroup", "SORT", Kind::Let, 0x40030000, {nullptr}},
    {"_cls_INIGroup", "NAME", Kind::Get, 0x40030001, {}},
    {"_cls_INIGroup", "DESCRIPTION", Kind::Get, 0x40030002, {}},
    {"_cls_INIGroup", "VALUES", Kind::Set, 0x40030003, {nullptr}},
    {"_cls_INIGroup", "CHILDREN", Kind::Get, 0x40030004, {}},
    {"_cls_INIGroup", "DATA", Kind::Set, 0x40030005, {nullptr}},
    {"_cls_INIGroup", "IMPORT", Kind::Method, 0x60030008, {nullptr, "-1", ""}},
    {"_cls_INIGroup", "EXISTS", Kind::Method, 0x60030009, {nullptr, "0"}},
    {"_cls_INIGroup", "VALUE", Kind::Method, 0x6003000A, {nullptr, "", "0"}},
    {"_cls_INIValue", "NAME", Kind::Let, 0x40030000, {nullptr}},
    {"_cls_INIValue", "SORT", Kind::Get, 0x40030001, {}},
    {"_cls_INIValue", "CONTENT", Kind::Get, 0x40030002, {}},
    {"_cls_INIValue", "CONTENT", Kind::Let, 0x40030002, {nullptr}},
    {"_cls_INIValue", "CONTENT", Kind::Set, 0x40030002, {nullptr}},
    {"_cls_INIValue", "DESCRIPTION", Kind::Let, 0x40030003, {nullptr}},
    {"_cls_INIValue", "ENUMREF", Kind::Set, 0x40030004, {nullptr}},
    {"_cls_INIValue", "DATA", Kind::Get, 0x40030005, {}},
    {"_cls_INIValues", "DATA", Kind::Get, 0x40030001, {}},
    {"_cls_INIValues", "DATABASE", Kind::Get, 0x40030002, {}},
    {"_cls_INIValues", "Item", Kind::Method, 0, {nullptr, "-1"}},
    {"_cls_INIValues", "REMOVE", Kind::Method, 0x60030012, {nullptr, "0"}},
    {"_cls_INIValues", "CREATE", Kind::Method, 0x60030014, {nullptr, nullptr, "0"}},
    {"_cls_INIValues", "SAVE", Kind::Method, 0x60030016, {nullptr, "\"\""}},
    {"_cls_INIGroups", "DATA", Kind::Get, 0x40030002, {}},
    {"_cls_INIGroups", "DATABASE", Kind::Set, 0x40030003, {nullptr}},
    {"_cls_INIGroups", "Item", Kind::Method, 0, {nullptr, "-1"}},
    {"_cls_INIGroups", "EXISTS", Kind::Method, 0x60030010, {nullptr}},
    {"_cls_INIGroups", "COUNT", Kind::Method, 0x60030011, {}},
    {"_cls_INIGroups", "ADD", Kind::Method, 0x60030013, {nullptr, ""}},
    {"_cls_INIGroups", "CREATE", Kind::Method, 0x60030014, {"", ""}},
    {"_cls_INIGroups", "LOAD", Kind::Method, 0x60030015, {nullptr, "\"\""}},
    {"_cls_INIGroups", "IMPORT", Kind::Method, 0x60030017, {nullptr, "-1", ""}},
};
} // namespace

TEST(ServerTables, DispatchIdentifiersAndDefaults) {
    for (const Expected& e : kExpected) {
        const Interface* itf = interface_named(e.itf);
        ASSERT_TRUE(itf) << e.itf;
        const Member* m = nullptr;
        for (const Member& x : itf->members)
            if (std::string(x.name) == e.member && x.kind == e.kind) m = &x;
        ASSERT_TRUE(m) << e.itf << "." << e.member;
        EXPECT_EQ(m->dispid, e.id) << e.itf << "." << e.member;
        ASSERT_EQ(m->params.size(), e.defaults.size()) << e.itf << "." << e.member;
        for (std::size_t i = 0; i < e.defaults.size(); ++i) {
            const Param& p = m->params[i];
            if (!e.defaults[i]) {
                EXPECT_FALSE(p.optional) << e.itf << "." << e.member << " #" << i;
            } else {
                EXPECT_TRUE(p.optional) << e.itf << "." << e.member << " #" << i;
                EXPECT_STREQ(p.idlDefault ? p.idlDefault : "", e.defaults[i]) << e.itf << "." << e.member << " #" << i;
            }
        }
    }
    // Member counts: every member of the published tables and no other.
    std::map<std::string, std::size_t> counts = {{"_cls_INI", 14},      {"_cls_INIEnum", 9},   {"_cls_INIEnums", 12},
                                                 {"_cls_INIGroup", 15}, {"_cls_INIValue", 13}, {"_cls_INIValues", 12},
                                                 {"_cls_INIGroups", 13}};
    for (auto& [name, n] : counts) EXPECT_EQ(interface_named(name)->members.size(), n) << name;
    // Distinct identifiers for the seven classes and interfaces.
    std::vector<std::string> ids;
    for (const Interface& i : interfaces()) {
        ids.push_back(guid_text(i.iid));
        if (i.create) ids.push_back(guid_text(i.clsid));
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
}

TEST(ServerTables, LateBindingThroughTheTables) {
    using namespace tr47com;
    ref<cls_INIValues> values = cls_INIValues::create();
    values->CREATE("A", Variant(1.0));
    IDispatch* d = wrap(values);
    std::u16string name = u"count";
    const OLECHAR* names[] = {name.c_str()};
    DISPID id = 0;
    ASSERT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 0x60030011);
    // Item without pForceIndex gets true on values: the long 1 is a position.
    VARIANT arg{};
    arg.vt = VT_I4;
    arg.lVal = 1;
    DISPPARAMS p{&arg, nullptr, 1, 0};
    VARIANT r{};
    ASSERT_EQ(d->Invoke(0, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &p, &r, nullptr, nullptr), S_OK);
    ASSERT_EQ(r.vt, VT_DISPATCH);
    ASSERT_TRUE(r.pdispVal);
    VariantClear(&r);
    // A failure without error information comes back as its own HRESULT.
    arg.lVal = 7;
    EXPECT_EQ(d->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &p, &r, nullptr, nullptr), hr::OUT_OF_RANGE);
    EXCEPINFO info{};
    EXPECT_EQ(d->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &p, &r, &info, nullptr), DISP_E_EXCEPTION);
    EXPECT_EQ(info.scode, hr::OUT_OF_RANGE);
    EXPECT_FALSE(from_bstr(info.bstrDescription).empty());
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    d->Release();
    // The IDL names every interface, the enumeration and the library.
    std::string idl = emit_idl();
    for (const char* s : {"library TR47_INI", "helpstring(\"TR47: INI Tools\")", "coclass cls_INIGroups",
                          "ID_INIValueSort_Color = 7", "[id(0x68030001), propget] HRESULT NAME",
                          "[id(0x40030002), propput] HRESULT CONTENT([in] VARIANT* pNewValue)"})
        EXPECT_NE(idl.find(s), std::string::npos) << s;
}

TEST(ServerTables, GeneratedFunctionTablesFollowTheMemberTables) {
    EXPECT_EQ(generated_table_mismatch(), "");
    ASSERT_EQ(kGeneratedTableCount, interfaces().size());
    // The layout names every slot in table order with its argument types.
    EXPECT_EQ(std::string(kGeneratedTables[0].layout).substr(0, 22), "get_ROOT(k)\nputref_ROO");
}

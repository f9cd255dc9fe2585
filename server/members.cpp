#include "server/members.hpp"

#include <cstdio>
#include <cstring>
#include <set>

// The member tables are laid out by hand, one member to an entry, in the
// order of the interfaces: the formatter leaves this file alone.
// clang-format off

namespace tr47::server {

using tr47com::GUID;

GUID parse_guid(const char* t) {
    GUID g{};
    unsigned a, b, c, d[8];
    std::sscanf(t, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &a, &b, &c, &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
                &d[6], &d[7]);
    g.Data1 = a;
    g.Data2 = static_cast<std::uint16_t>(b);
    g.Data3 = static_cast<std::uint16_t>(c);
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<std::uint8_t>(d[i]);
    return g;
}

std::string guid_text(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", static_cast<unsigned>(g.Data1), g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// Identifiers assigned once; never change them.
const GUID kLibraryId = parse_guid("6E993B84-DCBE-4A7F-857D-2C906C4A9E34");
const GUID kEnumTypeId = parse_guid("C89C8B4F-EA9D-4EE6-8A15-A576D6DDF3CF");
const GUID kIID_tmp_Data = parse_guid("5172768C-842D-4DF5-98AD-B363386CA537");
const GUID kIID_tmp_Database = parse_guid("8EB65D0E-B2B1-497E-9858-B3EBB88F8121");
const GUID kIID_Tr47Object = parse_guid("937A8B0C-CF87-4206-BA62-C6097B83EB04");

namespace {

template <class T>
T& as(Object& o) {
    T* t = dynamic_cast<T*>(&o);
    if (!t) raise(hr::TYPE_MISMATCH, "Type mismatch: wrong object for this interface");
    return *t;
}

template <class T>
ref<T> obj(const Variant& v) {
    if (v.is_empty() || v.is_omitted() || (v.is_object() && !v.object())) return nullptr;
    ref<T> r = v.is_object() ? query<T>(v.object()) : nullptr;
    if (!r) raise(hr::TYPE_MISMATCH, "Type mismatch: an object of another class was given");
    return r;
}

Variant B(bool b) { return Variant::boolean(b); }
Variant Obj(const ref<Object>& o) { return o ? Variant(o) : Variant(ref<Object>()); }

constexpr Kind M = Kind::Method, G = Kind::Get, Lt = Kind::Let, St = Kind::Set;

const Param pFile{"pFile", Type::String};
const Param pPW{"pPW", Type::String, nullptr, true, "\"\""};
const Param pID{"pID", Type::Variant};
const Param pIDopt{"pID", Type::Variant, nullptr, true};
const Param pOutputErrors{"pOutputErrors", Type::Bool, nullptr, true, "-1"};
const Param pDefaultValue{"pDefaultValue", Type::Variant, nullptr, true};
Param newValue(Type t, const char* objectType = nullptr) { return Param{"pNewValue", t, objectType}; }

// Members that every persistable class and every collection share.
template <class T>
void data_members(std::vector<Member>& m, tr47com::DISPID id) {
    m.push_back({"DATA", id, G, {}, Type::Object, "DataObject",
                 [](Object& s, std::vector<Variant>&) { return Obj(as<T>(s).DATA()); }});
    m.push_back({"DATA", id, St, {newValue(Type::Object, "DataObject")}, Type::None, nullptr,
                 [](Object& s, std::vector<Variant>& a) {
                     as<T>(s).DATA(obj<DataObject>(a[0]));
                     return Variant();
                 }});
}

template <class T, class Entry>
void collection_members(std::vector<Member>& m, tr47com::DISPID dataId, const char* entryItf, bool forceDefault) {
    data_members<T>(m, dataId);
    m.push_back({"DATABASE", dataId + 1, G, {}, Type::Object, "DatabaseObject",
                 [](Object& s, std::vector<Variant>&) { return Obj(as<T>(s).DATABASE()); }});
    m.push_back({"DATABASE", dataId + 1, St, {newValue(Type::Object, "DatabaseObject")}, Type::None, nullptr,
                 [](Object& s, std::vector<Variant>& a) {
                     as<T>(s).DATABASE(obj<DatabaseObject>(a[0]));
                     return Variant();
                 }});
    m.push_back({"Item", 0, M, {pID, {"pForceIndex", Type::Bool, nullptr, true, forceDefault ? "-1" : "0"}},
                 Type::Object, entryItf,
                 [](Object& s, std::vector<Variant>& a) { return Obj(as<T>(s).Item(a[0], a[1].to_bool())); }});
    m.push_back({"EXISTS", 0x60030010, M, {pID}, Type::Bool, nullptr,
                 [](Object& s, std::vector<Variant>& a) { return B(as<T>(s).EXISTS(a[0])); }});
    m.push_back({"COUNT", 0x60030011, M, {}, Type::Long, nullptr,
                 [](Object& s, std::vector<Variant>&) { return Variant(as<T>(s).COUNT()); }});
    m.push_back({"REMOVE", 0x60030012, M, {pID, {"pForceIndex", Type::Bool, nullptr, true, "0"}}, Type::Bool, nullptr,
                 [](Object& s, std::vector<Variant>& a) { return B(as<T>(s).REMOVE(a[0], a[1].to_bool())); }});
    m.push_back({"ADD", 0x60030013, M, {{"pEntry", Type::Object, entryItf}, pIDopt}, Type::Object, entryItf,
                 [](Object& s, std::vector<Variant>& a) {
                     ref<tmp_Data> entry;
                     if (a[0].is_object()) {
                         entry = query<tmp_Data>(a[0].object());
                         if (!entry) raise(hr::TYPE_MISMATCH, "Type mismatch: the entry is not persistable");
                     }
                     return Obj(as<T>(s).ADD(entry, a[1]));
                 }});
}

template <class T>
void load_save(std::vector<Member>& m, tr47com::DISPID loadId) {
    m.push_back({"LOAD", loadId, M, {pFile, pPW}, Type::Bool, nullptr, [](Object& s, std::vector<Variant>& a) {
                     return B(as<T>(s).LOAD(a[0].to_text(), a[1].to_text()));
                 }});
    m.push_back({"SAVE", loadId + 1, M, {pFile, pPW}, Type::Bool, nullptr, [](Object& s, std::vector<Variant>& a) {
                     return B(as<T>(s).SAVE(a[0].to_text(), a[1].to_text()));
                 }});
}

#define TEXT_PROPERTY(T, NAME, ID)                                                                              \
    m.push_back({#NAME, ID, G, {}, Type::String, nullptr,                                                       \
                 [](Object& s, std::vector<Variant>&) { return Variant(std::string(as<T>(s).NAME())); }});     \
    m.push_back({#NAME, ID, Lt, {newValue(Type::String)}, Type::None, nullptr,                                  \
                 [](Object& s, std::vector<Variant>& a) {                                                       \
                     as<T>(s).NAME(a[0].to_text());                                                             \
                     return Variant();                                                                          \
                 }})

#define OBJECT_PROPERTY(T, NAME, ID, ITF, CLS)                                                                  \
    m.push_back({#NAME, ID, G, {}, Type::Object, ITF,                                                           \
                 [](Object& s, std::vector<Variant>&) { return Obj(as<T>(s).NAME()); }});                       \
    m.push_back({#NAME, ID, St, {newValue(Type::Object, ITF)}, Type::None, nullptr,                             \
                 [](Object& s, std::vector<Variant>& a) {                                                       \
                     as<T>(s).NAME(obj<CLS>(a[0]));                                                             \
                     return Variant();                                                                          \
                 }})

std::vector<Interface> build() {
    std::vector<Interface> all;
    auto add = [&](const char* name, const char* cls, const char* iid, const char* clsid, bool persistable,
                   bool collection, std::vector<Member> members, ref<Object> (*create)()) {
        Interface i{.name = name,
                    .className = cls,
                    .iid = parse_guid(iid),
                    .clsid = clsid ? parse_guid(clsid) : GUID{},
                    .persistable = persistable,
                    .collection = collection,
                    .members = std::move(members),
                    .create = create};
        all.push_back(std::move(i));
    };
    {
        std::vector<Member> m;
        OBJECT_PROPERTY(cls_INI, ROOT, 0x40030000, "_cls_INIGroup", cls_INIGroup);
        OBJECT_PROPERTY(cls_INI, ENUMS, 0x40030001, "_cls_INIEnums", cls_INIEnums);
        TEXT_PROPERTY(cls_INI, VERSION, 0x40030002);
        TEXT_PROPERTY(cls_INI, CONTENT, 0x40030003);
        data_members<cls_INI>(m, 0x40030004);
        load_save<cls_INI>(m, 0x60030008);
        m.push_back({"IMPORT", 0x6003000A, M, {pFile, pOutputErrors}, Type::Bool, nullptr,
                     [](Object& s, std::vector<Variant>& a) {
                         return B(as<cls_INI>(s).IMPORT(a[0].to_text(), a[1].to_bool()));
                     }});
        m.push_back({"VALUE", 0x6003000B, M,
                     {{"pName", Type::String}, pDefaultValue, {"pRecurse", Type::Bool, nullptr, true, "-1"}},
                     Type::Variant, nullptr, [](Object& s, std::vector<Variant>& a) {
                         return as<cls_INI>(s).VALUE(a[0].to_text(), a[1], a[2].to_bool());
                     }});
        add("_cls_INI", "cls_INI", "A7327248-F233-4A96-AB2E-E600EAB07E83", "8DAA6E53-5902-4D06-8947-270BB41E54B3",
            true, false, std::move(m), [] { return ref<Object>(cls_INI::create()); });
    }
    {
        std::vector<Member> m;
        OBJECT_PROPERTY(cls_INIEnum, VALUES, 0x40030000, "MemberList", MemberList);
        TEXT_PROPERTY(cls_INIEnum, DESCRIPTION, 0x40030001);
        data_members<cls_INIEnum>(m, 0x40030002);
        TEXT_PROPERTY(cls_INIEnum, NAME, 0x68030001);
        m.push_back({"IMPORT", 0x60030009, M, {{"pData", Type::String}}, Type::Bool, nullptr,
                     [](Object& s, std::vector<Variant>& a) { return B(as<cls_INIEnum>(s).IMPORT(a[0].to_text())); }});
        add("_cls_INIEnum", "cls_INIEnum", "D139AA35-B42E-444A-945C-41DCD7F6ACF6",
            "E14708CE-60FF-48B7-AFCE-402AE500B56D", true, false, std::move(m),
            [] { return ref<Object>(cls_INIEnum::create()); });
    }
    {
        std::vector<Member> m;
        collection_members<cls_INIEnums, cls_INIEnum>(m, 0x40030001, "_cls_INIEnum", false);
        m.push_back({"CREATE", 0x60030014, M, {{"pName", Type::String}}, Type::Object, "_cls_INIEnum",
                     [](Object& s, std::vector<Variant>& a) { return Obj(as<cls_INIEnums>(s).CREATE(a[0].to_text())); }});
        load_save<cls_INIEnums>(m, 0x60030015);
        add("_cls_INIEnums", "cls_INIEnums", "97BCAD69-BE46-4FA7-A1C8-4E19971A0DDB",
            "2DA46EAF-1AA8-4F44-8C0E-742F445432D0", true, true, std::move(m),
            [] { return ref<Object>(cls_INIEnums::create()); });
    }
    {
        std::vector<Member> m;
        TEXT_PROPERTY(cls_INIGroup, SORT, 0x40030000);
        TEXT_PROPERTY(cls_INIGroup, NAME, 0x40030001);
        TEXT_PROPERTY(cls_INIGroup, DESCRIPTION, 0x40030002);
        OBJECT_PROPERTY(cls_INIGroup, VALUES, 0x40030003, "_cls_INIValues", cls_INIValues);
        OBJECT_PROPERTY(cls_INIGroup, CHILDREN, 0x40030004, "_cls_INIGroups", cls_INIGroups);
        data_members<cls_INIGroup>(m, 0x40030005);
        m.push_back({"IMPORT", 0x60030008, M,
                     {{"vAcc", Type::Object, "ReaderObject"}, pOutputErrors, {"pRoot", Type::Object, "_cls_INI", true}},
                     Type::Bool, nullptr, [](Object& s, std::vector<Variant>& a) {
                         return B(as<cls_INIGroup>(s).IMPORT(obj<ReaderObject>(a[0]), a[1].to_bool(), obj<cls_INI>(a[2])));
                     }});
        m.push_back({"EXISTS", 0x60030009, M,
                     {{"pName", Type::String}, {"pRecurse", Type::Bool, nullptr, true, "0"}}, Type::Bool, nullptr,
                     [](Object& s, std::vector<Variant>& a) {
                         return B(as<cls_INIGroup>(s).EXISTS(a[0].to_text(), a[1].to_bool()));
                     }});
        m.push_back({"VALUE", 0x6003000A, M,
                     {{"pName", Type::String}, pDefaultValue, {"pRecurse", Type::Bool, nullptr, true, "0"}},
                     Type::Variant, nullptr, [](Object& s, std::vector<Variant>& a) {
                         return as<cls_INIGroup>(s).VALUE(a[0].to_text(), a[1], a[2].to_bool());
                     }});
        add("_cls_INIGroup", "cls_INIGroup", "26373BA6-D1FA-4A33-ABC4-50838FB76567",
            "9F5D6C6B-FC60-48A3-9C66-8836662C4836", true, false, std::move(m),
            [] { return ref<Object>(cls_INIGroup::create()); });
    }
    {
        std::vector<Member> m;
        TEXT_PROPERTY(cls_INIValue, NAME, 0x40030000);
        m.push_back({"SORT", 0x40030001, G, {}, Type::Sort, nullptr,
                     [](Object& s, std::vector<Variant>&) { return Variant(as<cls_INIValue>(s).SORT()); }});
        m.push_back({"SORT", 0x40030001, Lt, {newValue(Type::Sort)}, Type::None, nullptr,
                     [](Object& s, std::vector<Variant>& a) {
                         as<cls_INIValue>(s).SORT(a[0].to_long());
                         return Variant();
                     }});
        m.push_back({"CONTENT", 0x40030002, G, {}, Type::Variant, nullptr,
                     [](Object& s, std::vector<Variant>&) { return as<cls_INIValue>(s).CONTENT(); }});
        for (Kind k : {Lt, St})
            m.push_back({"CONTENT", 0x40030002, k, {newValue(Type::Variant)}, Type::None, nullptr,
                         [](Object& s, std::vector<Variant>& a) {
                             as<cls_INIValue>(s).CONTENT(a[0]);
                             return Variant();
                         }});
        TEXT_PROPERTY(cls_INIValue, DESCRIPTION, 0x40030003);
        OBJECT_PROPERTY(cls_INIValue, ENUMREF, 0x40030004, "_cls_INIEnum", cls_INIEnum);
        data_members<cls_INIValue>(m, 0x40030005);
        add("_cls_INIValue", "cls_INIValue", "D505C7C1-4F2A-4B6C-88B4-DB87DE18BFD4",
            "0D58EE7D-A3BA-424D-AC8A-68D4C9C805F2", true, false, std::move(m),
            [] { return ref<Object>(cls_INIValue::create()); });
    }
    {
        std::vector<Member> m;
        collection_members<cls_INIValues, cls_INIValue>(m, 0x40030001, "_cls_INIValue", true);
        m.push_back({"CREATE", 0x60030014, M,
                     {{"pName", Type::String}, {"pContent", Type::Variant}, {"pType", Type::Sort, nullptr, true, "0"}},
                     Type::Object, "_cls_INIValue", [](Object& s, std::vector<Variant>& a) {
                         return Obj(as<cls_INIValues>(s).CREATE(a[0].to_text(), a[1], a[2].to_long()));
                     }});
        load_save<cls_INIValues>(m, 0x60030015);
        add("_cls_INIValues", "cls_INIValues", "EC75EF4B-E1ED-4C8A-8943-B04857D89099",
            "4606ADE8-684D-47CB-BAE5-45B288368C10", true, true, std::move(m),
            [] { return ref<Object>(cls_INIValues::create()); });
    }
    {
        std::vector<Member> m;
        collection_members<cls_INIGroups, cls_INIGroup>(m, 0x40030002, "_cls_INIGroup", true);
        m.push_back({"CREATE", 0x60030014, M,
                     {{"pName", Type::String, nullptr, true}, {"pSort", Type::String, nullptr, true}}, Type::Object,
                     "_cls_INIGroup", [](Object& s, std::vector<Variant>& a) {
                         return Obj(as<cls_INIGroups>(s).CREATE(a[0].to_text(), a[1].to_text()));
                     }});
        load_save<cls_INIGroups>(m, 0x60030015);
        m.push_back({"IMPORT", 0x60030017, M, {pFile, pOutputErrors, {"pRoot", Type::Object, "_cls_INI", true}},
                     Type::Bool, nullptr, [](Object& s, std::vector<Variant>& a) {
                         return B(as<cls_INIGroups>(s).IMPORT(a[0].to_text(), a[1].to_bool(), obj<cls_INI>(a[2])));
                     }});
        add("_cls_INIGroups", "cls_INIGroups", "AC6F31AB-571B-495B-914A-2EAE60B21E66",
            "9032373D-8C1F-4A9A-8CAC-6B11C3B4B238", true, true, std::move(m),
            [] { return ref<Object>(cls_INIGroups::create()); });
    }
    // The core library's types, as this library's own component provides them.
    {
        std::vector<Member> m;
        m.push_back({"ID", 0x40030000, G, {}, Type::Variant, nullptr,
                     [](Object& s, std::vector<Variant>&) { return as<DataObject>(s).identifier(); }});
        m.push_back({"ID", 0x40030000, Lt, {newValue(Type::Variant)}, Type::None, nullptr,
                     [](Object& s, std::vector<Variant>& a) {
                         as<DataObject>(s).identifier(a[0]);
                         return Variant();
                     }});
        m.push_back({"CLASSNAME", 0x40030001, G, {}, Type::String, nullptr,
                     [](Object& s, std::vector<Variant>&) { return Variant(as<DataObject>(s).class_name()); }});
        add("DataObject", "", "4CB77998-2376-43EB-AFC3-41FB2FB67248", nullptr, false, false, std::move(m), nullptr);
    }
    {
        std::vector<Member> m;
        m.push_back({"COUNT", 0x60030000, M, {}, Type::Long, nullptr,
                     [](Object& s, std::vector<Variant>&) { return Variant(as<DatabaseObject>(s).count()); }});
        add("DatabaseObject", "", "84183281-4960-4221-B50D-0A5CBE199E3A", nullptr, false, false, std::move(m), nullptr);
    }
    {
        std::vector<Member> m;
        m.push_back({"COUNT", 0x60030000, M, {}, Type::Long, nullptr,
                     [](Object& s, std::vector<Variant>&) { return Variant(as<MemberList>(s).COUNT()); }});
        m.push_back({"NAME", 0x60030001, M, {{"pIndex", Type::Long}}, Type::String, nullptr,
                     [](Object& s, std::vector<Variant>& a) { return Variant(as<MemberList>(s).NAME(a[0].to_long())); }});
        m.push_back({"VALUE", 0x60030002, M, {{"pIndex", Type::Long}}, Type::String, nullptr,
                     [](Object& s, std::vector<Variant>& a) { return Variant(as<MemberList>(s).VALUE(a[0].to_long())); }});
        add("MemberList", "", "C9202E00-4E37-4CFD-A718-502343AA7D23", nullptr, false, false, std::move(m), nullptr);
    }
    {
        std::vector<Member> m;
        m.push_back({"EOF", 0x60030000, M, {}, Type::Bool, nullptr,
                     [](Object& s, std::vector<Variant>&) { return B(as<ReaderObject>(s).eof()); }});
        m.push_back({"READLINE", 0x60030001, M, {}, Type::String, nullptr,
                     [](Object& s, std::vector<Variant>&) { return Variant(as<ReaderObject>(s).read_line()); }});
        add("ReaderObject", "", "07EA84C5-38FA-48D2-A91F-D1F5577C714F", nullptr, false, false, std::move(m), nullptr);
    }
    // The two facets every class (tmp_Data) and every collection
    // (tmp_Database) offers beside its default interface.
    {
        std::vector<Member> m;
        m.push_back({"DATA", 0x40030000, G, {}, Type::Object, "DataObject", [](Object& s, std::vector<Variant>&) {
                         return Obj(as<tmp_Data>(s).DATA());
                     }});
        add("tmp_Data", "", "5172768C-842D-4DF5-98AD-B363386CA537", nullptr, false, false, std::move(m), nullptr);
        all.back().facet = true;
    }
    {
        std::vector<Member> m;
        m.push_back({"DATABASE", 0x40030000, G, {}, Type::Object, "DatabaseObject",
                     [](Object& s, std::vector<Variant>&) { return Obj(as<tmp_Database>(s).DATABASE()); }});
        add("tmp_Database", "", "8EB65D0E-B2B1-497E-9858-B3EBB88F8121", nullptr, false, false, std::move(m), nullptr);
        all.back().facet = true;
    }
#ifndef _WIN32
    // Run-time descriptions.
    for (Interface& itf : all) {
        itf.paramNames.resize(itf.members.size());
        itf.paramTypes.resize(itf.members.size());
        itf.paramDefaults.resize(itf.members.size());
        for (std::size_t i = 0; i < itf.members.size(); ++i) {
            const Member& mem = itf.members[i];
            for (const Param& p : mem.params) {
                itf.paramNames[i].push_back(p.name);
                itf.paramTypes[i].push_back(idl_type(p.type, p.objectType));
                itf.paramDefaults[i].push_back(p.optional ? (p.idlDefault ? p.idlDefault : "") : nullptr);
            }
        }
        for (std::size_t i = 0; i < itf.members.size(); ++i) {
            const Member& mem = itf.members[i];
            itf.descs.push_back({mem.name, mem.dispid, static_cast<std::uint16_t>(mem.kind),
                                 static_cast<std::uint16_t>(mem.params.size()), itf.paramNames[i].data(),
                                 itf.paramTypes[i].data(), itf.paramDefaults[i].data(),
                                 mem.result == Type::None ? nullptr : idl_type(mem.result, mem.resultObject)});
        }
    }
#endif
    return all;
}

} // namespace

const std::vector<Interface>& interfaces() {
    static const std::vector<Interface> all = build();
    return all;
}

const Interface& facet_tmp_Data() { return interfaces()[11]; }
const Interface& facet_tmp_Database() { return interfaces()[12]; }

bool passed_by_reference(const Member& m, std::size_t param) {
    // The new value of CONTENT arrives as a reference to a variant.
    return param + 1 == m.params.size() && (m.kind == Kind::Let || m.kind == Kind::Set) &&
           m.params[param].type == Type::Variant;
}

std::vector<Abi> slot_abi(const Member& m) {
    std::vector<Abi> abi;
    for (std::size_t i = 0; i < m.params.size(); ++i) {
        switch (m.params[i].type) {
        case Type::String: abi.push_back(Abi::Text); break;
        case Type::Bool: abi.push_back(Abi::Bool); break;
        case Type::Long:
        case Type::Sort: abi.push_back(Abi::Int32); break;
        case Type::Variant: abi.push_back(passed_by_reference(m, i) ? Abi::VariantRef : Abi::VariantValue); break;
        case Type::Object: abi.push_back(Abi::Object); break;
        case Type::None: break;
        }
    }
    switch (m.result) {
    case Type::String: abi.push_back(Abi::OutText); break;
    case Type::Bool: abi.push_back(Abi::OutBool); break;
    case Type::Long:
    case Type::Sort: abi.push_back(Abi::OutInt32); break;
    case Type::Variant: abi.push_back(Abi::OutVariant); break;
    case Type::Object: abi.push_back(Abi::OutObject); break;
    case Type::None: break;
    }
    return abi;
}

std::string slot_name(const Member& m) {
    switch (m.kind) {
    case Kind::Get: return std::string("get_") + m.name;
    case Kind::Let: return std::string("put_") + m.name;
    case Kind::Set: return std::string("putref_") + m.name;
    case Kind::Method: break;
    }
    return m.name;
}

std::string slot_layout(const Interface& itf) {
    std::string out;
    for (const Member& m : itf.members) {
        out += slot_name(m) + "(";
        for (Abi a : slot_abi(m)) out += static_cast<char>('a' + static_cast<int>(a));
        out += ")\n";
    }
    return out;
}

const Interface* interface_named(std::string_view name) {
    for (const Interface& i : interfaces())
        if (name == i.name) return &i;
    return nullptr;
}

const Interface* interface_of(const Object& o) {
    const auto& all = interfaces();
    if (dynamic_cast<const cls_INI*>(&o)) return &all[0];
    if (dynamic_cast<const cls_INIEnum*>(&o)) return &all[1];
    if (dynamic_cast<const cls_INIEnums*>(&o)) return &all[2];
    if (dynamic_cast<const cls_INIGroup*>(&o)) return &all[3];
    if (dynamic_cast<const cls_INIValue*>(&o)) return &all[4];
    if (dynamic_cast<const cls_INIValues*>(&o)) return &all[5];
    if (dynamic_cast<const cls_INIGroups*>(&o)) return &all[6];
    if (dynamic_cast<const DataObject*>(&o)) return &all[7];
    if (dynamic_cast<const DatabaseObject*>(&o)) return &all[8];
    if (dynamic_cast<const MemberList*>(&o)) return &all[9];
    if (dynamic_cast<const ReaderObject*>(&o)) return &all[10];
    return nullptr;
}

const char* idl_type(Type t, const char* objectType) {
    switch (t) {
    case Type::None: return "void";
    case Type::String: return "BSTR";
    case Type::Bool: return "VARIANT_BOOL";
    case Type::Long: return "long";
    case Type::Sort: return "enm_INIValueSort";
    case Type::Variant: return "VARIANT";
    case Type::Object: {
        // Node-based storage keeps the texts stable for the run-time descriptions.
        static std::set<std::string>* names = new std::set<std::string>();
        return names->insert(std::string(objectType) + "*").first->c_str();
    }
    }
    return "VARIANT";
}

} // namespace tr47::server
// clang-format on

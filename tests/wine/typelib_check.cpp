// Reads the type library out of TR47_INI.dll files and checks it, member by
// member, against the table below: what early-bound clients (VB6/VBA with a
// reference, #import, .NET interop) compile against. Given a 64-bit and a
// 32-bit DLL it checks both and then that they describe the same surface,
// apart from the target they record.
//
//   typelib_check.exe <TR47_INI.dll> [<other TR47_INI.dll>]
//
// Every mismatch is reported; the exit status is 1 when there was any.
// A 64-bit process reads the 32-bit DLL's TYPELIB resource as data, so one
// build of this program serves both.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------- table

// Types as the type library spells them (see type_text below).
constexpr const char* kString = "BSTR";
constexpr const char* kBool = "VARIANT_BOOL";
constexpr const char* kLong = "long";
constexpr const char* kVariant = "VARIANT";
constexpr const char* kVariantRef = "VARIANT*";
constexpr const char* kSort = "enm_INIValueSort";
// The components that stand in for the core library's objects.
constexpr const char* kDataObject = "DataObject*";
constexpr const char* kDatabaseObject = "DatabaseObject*";
constexpr const char* kMemberList = "MemberList*";
constexpr const char* kReaderObject = "ReaderObject*";

// Each class and its default interface, in the order of the type library.
struct ExpectedClass {
    const char* name;
    const char* defaultInterface;
    bool collection; // also implements tmp_Database
};
const ExpectedClass kClasses[] = {
    {"cls_INI", "_cls_INI", false},
    {"cls_INIEnum", "_cls_INIEnum", false},
    {"cls_INIEnums", "_cls_INIEnums", true},
    {"cls_INIGroup", "_cls_INIGroup", false},
    {"cls_INIValue", "_cls_INIValue", false},
    {"cls_INIValues", "_cls_INIValues", true},
    {"cls_INIGroups", "_cls_INIGroups", true},
};

// An object argument or result is a pointer to the class's default interface.
std::string cls(const char* className) {
    for (const ExpectedClass& c : kClasses)
        if (std::string(c.name) == className) return std::string(c.defaultInterface) + "*";
    std::fprintf(stderr, "table error: unknown class %s\n", className);
    std::exit(2);
}

struct ExpectedDefault {
    enum Kind { None, Bool, Text, Number, NoObject } kind = None;
    long number = 0;
};
const ExpectedDefault kNoDefault{};
const ExpectedDefault kTrue{ExpectedDefault::Bool, -1};
const ExpectedDefault kFalse{ExpectedDefault::Bool, 0};
const ExpectedDefault kEmptyText{ExpectedDefault::Text, 0};
const ExpectedDefault kZero{ExpectedDefault::Number, 0};
// Optional object and string arguments without a stated default carry "no
// object" and "" in the type library, so that early-bound clients can omit
// them and receive what a late-bound call receives.
const ExpectedDefault kNoObject{ExpectedDefault::NoObject, 0};

struct ExpectedParam {
    const char* name; // nullptr: the new value of a property (unnamed)
    std::string type;
    bool optional;
    ExpectedDefault def;
};

struct ExpectedMember {
    const char* name;
    INVOKEKIND kind;
    MEMBERID id;
    std::vector<ExpectedParam> params;
    std::string result; // empty: none
    bool checkId = true;
};

ExpectedParam in(const char* name, std::string type) { return {name, std::move(type), false, kNoDefault}; }
ExpectedParam opt(const char* name, std::string type, ExpectedDefault def = kNoDefault) {
    return {name, std::move(type), true, def};
}
ExpectedMember get(const char* name, MEMBERID id, std::string type) {
    return {name, INVOKE_PROPERTYGET, id, {}, std::move(type)};
}
ExpectedMember let(const char* name, MEMBERID id, std::string type) {
    return {name, INVOKE_PROPERTYPUT, id, {in(nullptr, std::move(type))}, {}};
}
ExpectedMember set(const char* name, MEMBERID id, std::string type) {
    return {name, INVOKE_PROPERTYPUTREF, id, {in(nullptr, std::move(type))}, {}};
}
ExpectedMember method(const char* name, MEMBERID id, std::vector<ExpectedParam> params, std::string result) {
    return {name, INVOKE_FUNC, id, std::move(params), std::move(result)};
}

struct ExpectedInterface {
    const char* name;
    std::vector<ExpectedMember> members;
    bool defaultInterface; // hidden and nonextensible too
};

std::vector<ExpectedMember> collection_members(MEMBERID dataId, const char* entryClass,
                                               std::vector<ExpectedParam> createParams,
                                               const ExpectedDefault& itemForce) {
    const std::string entry = cls(entryClass);
    return {
        get("DATA", dataId, kDataObject),
        set("DATA", dataId, kDataObject),
        get("DATABASE", dataId + 1, kDatabaseObject),
        set("DATABASE", dataId + 1, kDatabaseObject),
        method("Item", 0x00000000, {in("pID", kVariant), opt("pForceIndex", kBool, itemForce)}, entry),
        method("EXISTS", 0x60030010, {in("pID", kVariant)}, kBool),
        method("COUNT", 0x60030011, {}, kLong),
        method("REMOVE", 0x60030012, {in("pID", kVariant), opt("pForceIndex", kBool, kFalse)}, kBool),
        method("ADD", 0x60030013, {in("pEntry", entry), opt("pID", kVariant)}, entry),
        method("CREATE", 0x60030014, std::move(createParams), entry),
        method("LOAD", 0x60030015, {in("pFile", kString), opt("pPW", kString, kEmptyText)}, kBool),
        method("SAVE", 0x60030016, {in("pFile", kString), opt("pPW", kString, kEmptyText)}, kBool),
    };
}

std::vector<ExpectedInterface> interface_table() {
    std::vector<ExpectedInterface> t;
    t.push_back(
        {"_cls_INI",
         {
             get("ROOT", 0x40030000, cls("cls_INIGroup")),
             set("ROOT", 0x40030000, cls("cls_INIGroup")),
             get("ENUMS", 0x40030001, cls("cls_INIEnums")),
             set("ENUMS", 0x40030001, cls("cls_INIEnums")),
             get("VERSION", 0x40030002, kString),
             let("VERSION", 0x40030002, kString),
             get("CONTENT", 0x40030003, kString),
             let("CONTENT", 0x40030003, kString),
             get("DATA", 0x40030004, kDataObject),
             set("DATA", 0x40030004, kDataObject),
             method("LOAD", 0x60030008, {in("pFile", kString), opt("pPW", kString, kEmptyText)}, kBool),
             method("SAVE", 0x60030009, {in("pFile", kString), opt("pPW", kString, kEmptyText)}, kBool),
             method("IMPORT", 0x6003000A, {in("pFile", kString), opt("pOutputErrors", kBool, kTrue)}, kBool),
             method("VALUE", 0x6003000B,
                    {in("pName", kString), opt("pDefaultValue", kVariant), opt("pRecurse", kBool, kTrue)}, kVariant),
         },
         true});
    t.push_back({"_cls_INIEnum",
                 {
                     get("VALUES", 0x40030000, kMemberList),
                     set("VALUES", 0x40030000, kMemberList),
                     get("DESCRIPTION", 0x40030001, kString),
                     let("DESCRIPTION", 0x40030001, kString),
                     get("DATA", 0x40030002, kDataObject),
                     set("DATA", 0x40030002, kDataObject),
                     get("NAME", 0x68030001, kString),
                     let("NAME", 0x68030001, kString),
                     method("IMPORT", 0x60030009, {in("pData", kString)}, kBool),
                 },
                 true});
    t.push_back({"_cls_INIEnums", collection_members(0x40030001, "cls_INIEnum", {in("pName", kString)}, kFalse), true});
    t.push_back(
        {"_cls_INIGroup",
         {
             get("SORT", 0x40030000, kString),
             let("SORT", 0x40030000, kString),
             get("NAME", 0x40030001, kString),
             let("NAME", 0x40030001, kString),
             get("DESCRIPTION", 0x40030002, kString),
             let("DESCRIPTION", 0x40030002, kString),
             get("VALUES", 0x40030003, cls("cls_INIValues")),
             set("VALUES", 0x40030003, cls("cls_INIValues")),
             get("CHILDREN", 0x40030004, cls("cls_INIGroups")),
             set("CHILDREN", 0x40030004, cls("cls_INIGroups")),
             get("DATA", 0x40030005, kDataObject),
             set("DATA", 0x40030005, kDataObject),
             method("IMPORT", 0x60030008,
                    {in("vAcc", kReaderObject), opt("pOutputErrors", kBool, kTrue),
                     opt("pRoot", cls("cls_INI"), kNoObject)},
                    kBool),
             method("EXISTS", 0x60030009, {in("pName", kString), opt("pRecurse", kBool, kFalse)}, kBool),
             method("VALUE", 0x6003000A,
                    {in("pName", kString), opt("pDefaultValue", kVariant), opt("pRecurse", kBool, kFalse)}, kVariant),
         },
         true});
    t.push_back({"_cls_INIValue",
                 {
                     get("NAME", 0x40030000, kString),
                     let("NAME", 0x40030000, kString),
                     get("SORT", 0x40030001, kSort),
                     let("SORT", 0x40030001, kSort),
                     get("CONTENT", 0x40030002, kVariant),
                     // The new value of CONTENT arrives as a reference to a variant.
                     let("CONTENT", 0x40030002, kVariantRef),
                     set("CONTENT", 0x40030002, kVariantRef),
                     get("DESCRIPTION", 0x40030003, kString),
                     let("DESCRIPTION", 0x40030003, kString),
                     get("ENUMREF", 0x40030004, cls("cls_INIEnum")),
                     set("ENUMREF", 0x40030004, cls("cls_INIEnum")),
                     get("DATA", 0x40030005, kDataObject),
                     set("DATA", 0x40030005, kDataObject),
                 },
                 true});
    t.push_back(
        {"_cls_INIValues",
         collection_members(0x40030001, "cls_INIValue",
                            {in("pName", kString), in("pContent", kVariant), opt("pType", kSort, kZero)}, kTrue),
         true});
    std::vector<ExpectedMember> groups = collection_members(
        0x40030002, "cls_INIGroup", {opt("pName", kString, kEmptyText), opt("pSort", kString, kEmptyText)}, kTrue);
    groups.push_back(method(
        "IMPORT", 0x60030017,
        {in("pFile", kString), opt("pOutputErrors", kBool, kTrue), opt("pRoot", cls("cls_INI"), kNoObject)}, kBool));
    t.push_back({"_cls_INIGroups", std::move(groups), true});
    // The persistable-object and database interfaces: one read-only member
    // each, whose identifier this surface does not fix.
    ExpectedMember data = get("DATA", 0, kDataObject);
    data.checkId = false;
    t.push_back({"tmp_Data", {data}, false});
    ExpectedMember database = get("DATABASE", 0, kDatabaseObject);
    database.checkId = false;
    t.push_back({"tmp_Database", {database}, false});
    return t;
}

const std::pair<const char*, long> kSortMembers[] = {
    {"ID_INIValueSort_String", 0}, {"ID_INIValueSort_Long", 1}, {"ID_INIValueSort_Enum", 2},
    {"ID_INIValueSort_Double", 3}, {"ID_INIValueSort_Date", 4}, {"ID_INIValueSort_Boolean", 6},
    {"ID_INIValueSort_Color", 7},
};

// The standard automation library, where IDispatch comes from.
const GUID kStdOle = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// ---------------------------------------------------------------- helpers

std::string narrow(const wchar_t* w) {
    if (!w) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

std::string hex(unsigned long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", v);
    return buf;
}

std::string guid_text(const GUID& g) {
    wchar_t buf[64];
    StringFromGUID2(g, buf, 64);
    return narrow(buf);
}

bool null_guid(const GUID& g) { return g == GUID_NULL; }

const char* kind_text(INVOKEKIND k) {
    switch (k) {
    case INVOKE_FUNC: return "method";
    case INVOKE_PROPERTYGET: return "propget";
    case INVOKE_PROPERTYPUT: return "propput";
    case INVOKE_PROPERTYPUTREF: return "propputref";
    }
    return "?";
}

struct Bstr {
    BSTR s = nullptr;
    ~Bstr() { SysFreeString(s); }
    std::string text() const { return narrow(s); }
};

template <class T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

std::string type_name(ITypeInfo* ti) {
    Bstr name;
    if (FAILED(ti->GetDocumentation(MEMBERID_NIL, &name.s, nullptr, nullptr, nullptr))) return "?";
    return name.text();
}

// A type as IDL spells it: pointers as '*', user-defined types by name.
std::string type_text(ITypeInfo* ti, const TYPEDESC& td) {
    switch (td.vt) {
    case VT_PTR: return type_text(ti, *td.lptdesc) + "*";
    case VT_SAFEARRAY: return "SAFEARRAY(" + type_text(ti, *td.lptdesc) + ")";
    case VT_USERDEFINED: {
        Ref<ITypeInfo> ref;
        if (FAILED(ti->GetRefTypeInfo(td.hreftype, &ref.p))) return "<unresolved user type>";
        return type_name(ref.p);
    }
    case VT_BSTR: return "BSTR";
    case VT_BOOL: return "VARIANT_BOOL";
    case VT_I4: return "long";
    case VT_I2: return "short";
    case VT_INT: return "int";
    case VT_UI4: return "ULONG";
    case VT_UINT: return "UINT";
    case VT_UI2: return "USHORT";
    case VT_R8: return "double";
    case VT_DATE: return "DATE";
    case VT_VARIANT: return "VARIANT";
    case VT_HRESULT: return "HRESULT";
    case VT_VOID: return "void";
    case VT_DISPATCH: return "IDispatch*";
    case VT_UNKNOWN: return "IUnknown*";
    case VT_LPWSTR: return "LPWSTR";
    case VT_LPSTR: return "LPSTR";
    case VT_ERROR: return "SCODE";
    default: return "vt" + std::to_string(td.vt);
    }
}

std::string variant_text(const VARIANT& v) {
    VARIANT copy;
    VariantInit(&copy);
    std::string value = "?";
    if (v.vt == VT_BSTR)
        value = "\"" + narrow(v.bstrVal) + "\"";
    else if ((v.vt == VT_UNKNOWN || v.vt == VT_DISPATCH) && !v.punkVal)
        value = "null";
    else if (SUCCEEDED(VariantChangeType(&copy, const_cast<VARIANT*>(&v), 0, VT_BSTR)))
        value = narrow(copy.bstrVal);
    VariantClear(&copy);
    return "vt" + std::to_string(v.vt) + ":" + value;
}

// Where a type comes from: its library's identifier and version.
std::string library_of(ITypeInfo* ti) {
    Ref<ITypeLib> lib;
    UINT index = 0;
    if (FAILED(ti->GetContainingTypeLib(&lib.p, &index))) return "<no library>";
    TLIBATTR* a = nullptr;
    if (FAILED(lib->GetLibAttr(&a))) return "<no library attributes>";
    std::string s = guid_text(a->guid) + " " + std::to_string(a->wMajorVerNum) + "." + std::to_string(a->wMinorVerNum);
    lib->ReleaseTLibAttr(a);
    return s;
}

// ---------------------------------------------------------------- reading

struct Param {
    std::string name;
    std::string type;
    USHORT flags = 0;
    bool hasDefault = false;
    VARTYPE defaultType = VT_EMPTY;
    VARIANT defaultValue{}; // owned copy
};

struct Function {
    std::string name;
    std::vector<std::string> names; // GetNames by the member identifier
    MEMBERID id = 0;
    INVOKEKIND kind = INVOKE_FUNC;
    FUNCKIND funcKind = FUNC_PUREVIRTUAL;
    CALLCONV callConv = CC_STDCALL;
    short slot = -1; // vtable slot from oVft
    short optionalCount = 0;
    WORD flags = 0;
    std::string returns;
    std::vector<Param> params;
};

struct Description {
    std::string name;
    TYPEKIND kind = TKIND_MAX;
    GUID guid{};
    WORD flags = 0;
    WORD major = 0, minor = 0;
    std::vector<std::pair<std::string, int>> implemented; // name, IMPLTYPEFLAGS
    std::string baseLibrary; // library of the first base
    std::vector<Function> functions;
    std::vector<std::pair<std::string, std::string>> constants; // name, value
    int vtableSlots = -1; // interface view: cbSizeVft / pointer size
    // Dual interfaces: the vtable view's description; the dispatch view is this one.
    std::vector<Function> vtable;
    WORD vtableFlags = 0;
    bool dual = false;
};

void release(std::vector<Function>& fs) {
    for (Function& f : fs)
        for (Param& p : f.params) VariantClear(&p.defaultValue);
}

std::vector<Function> read_functions(ITypeInfo* ti, int count) {
    std::vector<Function> out;
    for (int i = 0; i < count; ++i) {
        FUNCDESC* fd = nullptr;
        if (FAILED(ti->GetFuncDesc(static_cast<UINT>(i), &fd))) continue;
        Function f;
        f.id = fd->memid;
        f.kind = fd->invkind;
        f.funcKind = fd->funckind;
        f.callConv = fd->callconv;
        f.slot = static_cast<short>(fd->oVft / static_cast<short>(sizeof(void*)));
        f.optionalCount = fd->cParamsOpt;
        f.flags = fd->wFuncFlags;
        f.returns = type_text(ti, fd->elemdescFunc.tdesc);
        BSTR names[64] = {};
        UINT got = 0;
        if (SUCCEEDED(ti->GetNames(fd->memid, names, 64, &got)))
            for (UINT k = 0; k < got; ++k) {
                f.names.push_back(narrow(names[k]));
                SysFreeString(names[k]);
            }
        f.name = f.names.empty() ? "?" : f.names[0];
        for (SHORT p = 0; p < fd->cParams; ++p) {
            const ELEMDESC& e = fd->lprgelemdescParam[p];
            Param par;
            par.type = type_text(ti, e.tdesc);
            par.flags = e.paramdesc.wParamFlags;
            if ((par.flags & PARAMFLAG_FHASDEFAULT) && e.paramdesc.pparamdescex) {
                par.hasDefault = true;
                VariantInit(&par.defaultValue);
                VariantCopy(&par.defaultValue, &e.paramdesc.pparamdescex->varDefaultValue);
                par.defaultType = par.defaultValue.vt;
            }
            f.params.push_back(std::move(par));
        }
        ti->ReleaseFuncDesc(fd);
        out.push_back(std::move(f));
    }
    return out;
}

struct Library {
    std::string file;
    bool loaded = false;
    SYSKIND sysKind = SYS_WIN32;
    GUID guid{};
    LCID lcid = 0;
    WORD major = 0, minor = 0, flags = 0;
    std::string name, help;
    std::vector<Description> types;
    std::map<std::string, size_t> byName;
    ~Library() {
        for (Description& d : types) {
            release(d.functions);
            release(d.vtable);
        }
    }
};

void read_type(ITypeInfo* ti, Description& d, int pointerSize) {
    d.name = type_name(ti);
    TYPEATTR* a = nullptr;
    if (FAILED(ti->GetTypeAttr(&a))) return;
    d.kind = a->typekind;
    d.guid = a->guid;
    d.flags = a->wTypeFlags;
    d.major = a->wMajorVerNum;
    d.minor = a->wMinorVerNum;
    const int funcs = a->cFuncs, vars = a->cVars, impls = a->cImplTypes;
    ti->ReleaseTypeAttr(a);
    for (int k = 0; k < impls; ++k) {
        HREFTYPE ref = 0;
        int implFlags = 0;
        Ref<ITypeInfo> base;
        if (FAILED(ti->GetRefTypeOfImplType(static_cast<UINT>(k), &ref)) || FAILED(ti->GetRefTypeInfo(ref, &base.p))) {
            d.implemented.push_back({"<unresolved>", 0});
            continue;
        }
        ti->GetImplTypeFlags(static_cast<UINT>(k), &implFlags);
        d.implemented.push_back({type_name(base.p), implFlags});
        if (k == 0) d.baseLibrary = library_of(base.p);
    }
    d.functions = read_functions(ti, funcs);
    for (int k = 0; k < vars; ++k) {
        VARDESC* vd = nullptr;
        if (FAILED(ti->GetVarDesc(static_cast<UINT>(k), &vd))) continue;
        Bstr name;
        ti->GetDocumentation(vd->memid, &name.s, nullptr, nullptr, nullptr);
        d.constants.push_back({name.text(), vd->varkind == VAR_CONST && vd->lpvarValue ? variant_text(*vd->lpvarValue)
                                                                                       : "<not a constant>"});
        ti->ReleaseVarDesc(vd);
    }
    // A dual interface reads as a dispatch interface; its function table
    // is the description behind implemented type -1.
    HREFTYPE vtableRef = 0;
    Ref<ITypeInfo> vt;
    if (d.kind == TKIND_DISPATCH && SUCCEEDED(ti->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef)) &&
        SUCCEEDED(ti->GetRefTypeInfo(vtableRef, &vt.p))) {
        TYPEATTR* va = nullptr;
        if (SUCCEEDED(vt->GetTypeAttr(&va))) {
            if (va->typekind == TKIND_INTERFACE) {
                d.dual = true;
                d.vtableFlags = va->wTypeFlags;
                d.vtableSlots = va->cbSizeVft / pointerSize;
                const int vfuncs = va->cFuncs;
                vt->ReleaseTypeAttr(va);
                d.vtable = read_functions(vt.p, vfuncs);
            } else {
                vt->ReleaseTypeAttr(va);
            }
        }
    }
}

// The target the DLL was built for, from its PE header.
int dll_machine(const std::wstring& path) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return -1;
    unsigned char head[0x40];
    unsigned char pe[6];
    int machine = -1;
    if (std::fread(head, 1, sizeof head, f) == sizeof head && head[0] == 'M' && head[1] == 'Z') {
        const long offset = head[0x3c] | head[0x3d] << 8 | head[0x3e] << 16 | static_cast<long>(head[0x3f]) << 24;
        if (std::fseek(f, offset, SEEK_SET) == 0 && std::fread(pe, 1, sizeof pe, f) == sizeof pe && pe[0] == 'P' &&
            pe[1] == 'E' && pe[2] == 0 && pe[3] == 0)
            machine = pe[4] | pe[5] << 8;
    }
    std::fclose(f);
    return machine;
}

// ---------------------------------------------------------------- checks

struct Checker {
    std::string file;
    std::vector<std::string> errors;
    void fail(const std::string& what) { errors.push_back(what); }
    void expect(bool ok, const std::string& what) {
        if (!ok) fail(what);
    }
};

std::string param_label(const std::string& where, size_t index, const char* name) {
    return where + " parameter " + std::to_string(index + 1) + (name ? std::string(" (") + name + ")" : "");
}

void check_default(Checker& c, const std::string& label, const ExpectedParam& want, const Param& p) {
    const VARIANT& v = p.defaultValue;
    switch (want.def.kind) {
    case ExpectedDefault::None:
        c.expect(!p.hasDefault, label + ": has a default (" + variant_text(v) + "), expected none");
        return;
    case ExpectedDefault::Bool:
        c.expect(p.hasDefault && v.vt == VT_BOOL && v.boolVal == want.def.number,
                 label + ": default " + (p.hasDefault ? variant_text(v) : std::string("none")) + ", expected vt" +
                     std::to_string(VT_BOOL) + ":" + std::to_string(want.def.number));
        return;
    case ExpectedDefault::Text:
        c.expect(p.hasDefault && v.vt == VT_BSTR && SysStringLen(v.bstrVal) == 0,
                 label + ": default " + (p.hasDefault ? variant_text(v) : std::string("none")) + ", expected \"\"");
        return;
    case ExpectedDefault::Number: {
        const bool ok = p.hasDefault && ((v.vt == VT_I4 && v.lVal == want.def.number) ||
                                         (v.vt == VT_INT && v.intVal == want.def.number) ||
                                         (v.vt == VT_I2 && v.iVal == want.def.number));
        c.expect(ok, label + ": default " + (p.hasDefault ? variant_text(v) : std::string("none")) + ", expected " +
                         std::to_string(want.def.number));
        return;
    }
    case ExpectedDefault::NoObject: {
        const bool ok = p.hasDefault && (((v.vt == VT_I4 || v.vt == VT_INT) && v.lVal == 0) ||
                                         ((v.vt == VT_UNKNOWN || v.vt == VT_DISPATCH) && !v.punkVal));
        c.expect(ok, label + ": default " + (p.hasDefault ? variant_text(v) : std::string("none")) +
                         ", expected no object (0)");
        return;
    }
    }
}

// One function of the table against one read from the type library.
void check_function(Checker& c, const std::string& where, const ExpectedMember& m, const Function& f, bool vtableView) {
    if (m.checkId)
        c.expect(f.id == m.id, where + ": dispatch identifier " + hex(static_cast<unsigned long>(f.id)) +
                                   ", expected " + hex(static_cast<unsigned long>(m.id)));
    c.expect(f.name == m.name, where + ": name " + f.name + ", expected " + m.name);
    const bool hasResult = !m.result.empty();
    // The function table returns HRESULT with the result as a last
    // [out, retval] pointer; the dispatch view returns the result itself.
    std::vector<Param> const* params = &f.params;
    size_t count = f.params.size();
    if (vtableView) {
        c.expect(f.returns == "HRESULT", where + ": returns " + f.returns + " in the function table, expected HRESULT");
        c.expect(f.funcKind == FUNC_PUREVIRTUAL,
                 where + ": function kind " + std::to_string(f.funcKind) + ", expected FUNC_PUREVIRTUAL");
        c.expect(f.callConv == CC_STDCALL,
                 where + ": calling convention " + std::to_string(f.callConv) + ", expected CC_STDCALL");
        if (hasResult) {
            if (count == 0 || (f.params.back().flags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) !=
                                  (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) {
                c.fail(where + ": no [out, retval] result parameter, expected one of type " + m.result + "*");
            } else {
                const std::string& t = f.params.back().type;
                c.expect(t == m.result + "*",
                         where + ": result " + t.substr(0, t.size() - 1) + ", expected " + m.result);
                --count;
            }
        }
    } else {
        const std::string expected = hasResult ? m.result : "void";
        // Property puts without a result read as void or HRESULT, depending on the reader.
        const bool ok = f.returns == expected || (!hasResult && f.returns == "HRESULT");
        c.expect(ok, where + ": dispatch result " + f.returns + ", expected " + expected);
        c.expect(f.funcKind == FUNC_DISPATCH, where + ": function kind " + std::to_string(f.funcKind) +
                                                  " in the dispatch view, expected FUNC_DISPATCH");
    }
    if (count != m.params.size()) {
        c.fail(where + ": " + std::to_string(count) + " parameters, expected " + std::to_string(m.params.size()));
        count = std::min(count, m.params.size());
    }
    for (size_t k = 0; k < count; ++k) {
        const ExpectedParam& wp = m.params[k];
        const Param& p = (*params)[k];
        const std::string label = param_label(where, k, wp.name);
        // Names come from GetNames by identifier, which a property's get and
        // put share: only methods have names of their own to compare.
        if (wp.name && m.kind == INVOKE_FUNC) {
            const std::string actual = k + 1 < f.names.size() ? f.names[k + 1] : std::string("<no name>");
            c.expect(actual == wp.name, label + ": named " + actual);
        }
        c.expect(p.type == wp.type, label + ": type " + p.type + ", expected " + wp.type);
        c.expect((p.flags & PARAMFLAG_FIN) && !(p.flags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)),
                 label + ": flags " + hex(p.flags) + ", expected an [in] parameter");
        c.expect(((p.flags & PARAMFLAG_FOPT) != 0) == wp.optional,
                 label + (wp.optional ? ": not optional, expected optional" : ": optional, expected required"));
        check_default(c, label, wp, p);
    }
}

std::string key(const std::string& name, INVOKEKIND kind) { return name + " (" + kind_text(kind) + ")"; }

// Members in slot order. The lists are aligned by name and kind first, so
// that a missing, extra or misplaced member reads as such instead of
// shifting every later slot.
void check_members(Checker& c, const ExpectedInterface& want, const std::vector<Function>& actual, bool vtableView,
                   int firstSlot) {
    const std::string view = vtableView ? " function table" : " dispatch view";
    const size_t n = want.members.size(), m = actual.size();
    std::vector<std::vector<int>> lcs(n + 1, std::vector<int>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            lcs[i][j] = key(want.members[i].name, want.members[i].kind) == key(actual[j].name, actual[j].kind)
                            ? lcs[i + 1][j + 1] + 1
                            : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    std::vector<size_t> missing, extra;
    std::vector<std::pair<size_t, size_t>> pairs;
    size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && key(want.members[i].name, want.members[i].kind) == key(actual[j].name, actual[j].kind)) {
            pairs.push_back({i++, j++});
        } else if (j < m && (i == n || lcs[i][j + 1] >= lcs[i + 1][j])) {
            extra.push_back(j++);
        } else {
            missing.push_back(i++);
        }
    }
    auto compare_pair = [&](size_t si, size_t ai) {
        const ExpectedMember& wm = want.members[si];
        const std::string where = want.name + view + " " + key(wm.name, wm.kind);
        if (vtableView)
            c.expect(actual[ai].slot == firstSlot + static_cast<int>(si),
                     where + ": slot " + std::to_string(actual[ai].slot) + ", expected " +
                         std::to_string(firstSlot + static_cast<int>(si)));
        check_function(c, where, wm, actual[ai], vtableView);
    };
    // A member that is present but out of place: say where it is.
    std::vector<bool> extraUsed(extra.size(), false);
    for (size_t mi : missing) {
        const ExpectedMember& wm = want.members[mi];
        bool found = false;
        for (size_t e = 0; e < extra.size() && !found; ++e) {
            if (extraUsed[e] || key(actual[extra[e]].name, actual[extra[e]].kind) != key(wm.name, wm.kind)) continue;
            extraUsed[e] = found = true;
            c.fail(want.name + view + ": member " + key(wm.name, wm.kind) + " out of order, at position " +
                   std::to_string(extra[e] + 1) + ", expected at position " + std::to_string(mi + 1));
            compare_pair(mi, extra[e]);
        }
        if (!found)
            c.fail(want.name + view + ": member " + key(wm.name, wm.kind) + " missing (expected at position " +
                   std::to_string(mi + 1) + ")");
    }
    for (size_t e = 0; e < extra.size(); ++e)
        if (!extraUsed[e])
            c.fail(want.name + view + ": extra member " + key(actual[extra[e]].name, actual[extra[e]].kind) +
                   " at position " + std::to_string(extra[e] + 1) + ", identifier " +
                   hex(static_cast<unsigned long>(actual[extra[e]].id)));
    for (const auto& [si, ai] : pairs) compare_pair(si, ai);
}

const Description* find_type(Checker& c, const Library& lib, const std::string& name, TYPEKIND kind) {
    auto it = lib.byName.find(name);
    if (it == lib.byName.end()) {
        c.fail("type " + name + " missing");
        return nullptr;
    }
    const Description& d = lib.types[it->second];
    if (d.kind != kind) {
        c.fail("type " + name + " has type kind " + std::to_string(d.kind) + ", expected " + std::to_string(kind));
        return nullptr;
    }
    return &d;
}

void check_interface(Checker& c, const Library& lib, const ExpectedInterface& want, std::set<std::string>& guids) {
    const Description* d = find_type(c, lib, want.name, TKIND_DISPATCH);
    if (!d) return;
    const std::string n = want.name;
    c.expect(!null_guid(d->guid), n + ": no interface identifier");
    c.expect(guids.insert(guid_text(d->guid)).second,
             n + ": interface identifier " + guid_text(d->guid) + " used twice");
    c.expect(d->dual, n + ": not a dual interface (no function table behind the dispatch interface)");
    const WORD wantFlags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION |
                           (want.defaultInterface ? TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE : 0);
    c.expect((d->vtableFlags & wantFlags) == wantFlags,
             n + ": type flags " + hex(d->vtableFlags) + ", expected at least " + hex(wantFlags) +
                 (want.defaultInterface ? " (dual, oleautomation, hidden, nonextensible)" : " (dual, oleautomation)"));
    const WORD wantDispatch = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE |
                              (want.defaultInterface ? TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE : 0);
    c.expect((d->flags & wantDispatch) == wantDispatch,
             n + ": dispatch view type flags " + hex(d->flags) + ", expected at least " + hex(wantDispatch));
    c.expect(d->implemented.size() == 1 && d->implemented[0].first == "IDispatch",
             n + ": not derived from IDispatch alone");
    c.expect(
        d->baseLibrary == guid_text(kStdOle) + " 2.0",
        n + ": IDispatch from " + d->baseLibrary + ", expected the standard library " + guid_text(kStdOle) + " 2.0");
    if (!d->dual) return;
    // IDispatch fills slots 0 to 6; the interface's own members follow.
    check_members(c, want, d->vtable, true, 7);
    c.expect(d->vtableSlots == 7 + static_cast<int>(want.members.size()),
             n + ": function table of " + std::to_string(d->vtableSlots) + " slots, expected " +
                 std::to_string(7 + want.members.size()));
    // The dispatch view, which Invoke and GetIDsOfNames go by, lists the
    // same members (some readers prefix IDispatch's own, which are skipped).
    std::vector<Function> own;
    for (const Function& f : d->functions)
        if (!(f.id >= 0x60000000 && f.id <= 0x60000002) && !(f.id >= 0x60010000 && f.id <= 0x60010003))
            own.push_back(f);
    check_members(c, want, own, false, 0);
}

void check_library(Checker& c, const Library& lib, int machine) {
    c.expect(lib.name == "TR47_INI", "library name " + lib.name + ", expected TR47_INI");
    c.expect(lib.help == "TR47: INI Tools", "library help string \"" + lib.help + "\", expected \"TR47: INI Tools\"");
    c.expect(lib.major == 1 && lib.minor == 0,
             "library version " + std::to_string(lib.major) + "." + std::to_string(lib.minor) + ", expected 1.0");
    c.expect(lib.lcid == 0, "library locale " + std::to_string(lib.lcid) + ", expected 0");
    c.expect(!null_guid(lib.guid), "library has no identifier");
    // The library records the target of the DLL that carries it.
    if (machine == IMAGE_FILE_MACHINE_I386)
        c.expect(lib.sysKind == SYS_WIN32, "32-bit DLL whose type library records SYS_KIND " +
                                               std::to_string(lib.sysKind) + ", expected SYS_WIN32");
    else if (machine == IMAGE_FILE_MACHINE_AMD64)
        c.expect(lib.sysKind == SYS_WIN64, "64-bit DLL whose type library records SYS_KIND " +
                                               std::to_string(lib.sysKind) + ", expected SYS_WIN64");
    else
        c.fail("not an i386 or x86-64 PE file (machine " + std::to_string(machine) + ")");

    std::set<std::string> guids{guid_text(lib.guid)};

    // The enumeration.
    if (const Description* e = find_type(c, lib, "enm_INIValueSort", TKIND_ENUM)) {
        c.expect(!null_guid(e->guid), "enm_INIValueSort: no type identifier");
        c.expect(guids.insert(guid_text(e->guid)).second, "enm_INIValueSort: identifier used twice");
        const size_t want = std::size(kSortMembers);
        c.expect(e->constants.size() == want, "enm_INIValueSort: " + std::to_string(e->constants.size()) +
                                                  " members, expected " + std::to_string(want));
        for (size_t k = 0; k < want; ++k) {
            const std::string expected = "vt" + std::to_string(VT_I4) + ":" + std::to_string(kSortMembers[k].second);
            if (k >= e->constants.size()) {
                c.fail(std::string("enm_INIValueSort: member ") + kSortMembers[k].first + " missing");
                continue;
            }
            const auto& [name, value] = e->constants[k];
            c.expect(name == kSortMembers[k].first, "enm_INIValueSort member " + std::to_string(k + 1) + ": " + name +
                                                        ", expected " + kSortMembers[k].first);
            c.expect(value == expected,
                     "enm_INIValueSort member " + name + ": value " + value + ", expected " + expected);
        }
    }

    // The classes, in order, and nothing else creatable.
    std::vector<const Description*> coclasses;
    for (const Description& d : lib.types)
        if (d.kind == TKIND_COCLASS) coclasses.push_back(&d);
    std::string order, expectedOrder;
    for (const Description* d : coclasses) order += (order.empty() ? "" : ", ") + d->name;
    for (const ExpectedClass& k : kClasses) expectedOrder += (expectedOrder.empty() ? "" : ", ") + std::string(k.name);
    c.expect(order == expectedOrder, "classes " + order + ", expected " + expectedOrder);
    for (const ExpectedClass& k : kClasses) {
        const Description* d = find_type(c, lib, k.name, TKIND_COCLASS);
        if (!d) continue;
        const std::string n = k.name;
        c.expect(!null_guid(d->guid), n + ": no class identifier");
        c.expect(guids.insert(guid_text(d->guid)).second, n + ": class identifier used twice");
        c.expect((d->flags & TYPEFLAG_FCANCREATE) != 0, n + ": not creatable");
        std::vector<std::pair<std::string, int>> want = {{k.defaultInterface, IMPLTYPEFLAG_FDEFAULT}, {"tmp_Data", 0}};
        if (k.collection) want.push_back({"tmp_Database", 0});
        std::string got, expected;
        for (const auto& [iname, flags] : d->implemented)
            got += (got.empty() ? "" : ", ") + iname + (flags ? " [flags " + std::to_string(flags) + "]" : "");
        for (const auto& [iname, flags] : want)
            expected +=
                (expected.empty() ? "" : ", ") + iname + (flags ? " [flags " + std::to_string(flags) + "]" : "");
        c.expect(got == expected, n + ": implements " + got + ", expected " + expected + " (flags 1: default)");
    }

    for (const ExpectedInterface& want : interface_table()) check_interface(c, lib, want, guids);

    // The stand-ins for the core library's objects are automation
    // interfaces of their own, reachable by late binding.
    for (const char* t : {kDataObject, kDatabaseObject, kMemberList, kReaderObject}) {
        const std::string n(t, std::string(t).size() - 1);
        if (const Description* d = find_type(c, lib, n, TKIND_DISPATCH)) {
            c.expect(d->implemented.size() == 1 && d->implemented[0].first == "IDispatch",
                     n + ": not derived from IDispatch");
            c.expect(!null_guid(d->guid), n + ": no interface identifier");
        }
    }
}

bool load(const std::wstring& path, Library& lib) {
    Ref<ITypeLib> tl;
    const HRESULT h = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &tl.p);
    if (FAILED(h)) {
        std::printf("%s: LoadTypeLibEx failed, %s\n", lib.file.c_str(), hex(static_cast<unsigned long>(h)).c_str());
        return false;
    }
    TLIBATTR* a = nullptr;
    if (FAILED(tl->GetLibAttr(&a))) return false;
    lib.sysKind = a->syskind;
    lib.guid = a->guid;
    lib.lcid = a->lcid;
    lib.major = a->wMajorVerNum;
    lib.minor = a->wMinorVerNum;
    lib.flags = a->wLibFlags;
    tl->ReleaseTLibAttr(a);
    const int pointerSize = lib.sysKind == SYS_WIN64 ? 8 : 4;
    Bstr name, help;
    tl->GetDocumentation(-1, &name.s, &help.s, nullptr, nullptr);
    lib.name = name.text();
    lib.help = help.text();
    const UINT count = tl->GetTypeInfoCount();
    for (UINT k = 0; k < count; ++k) {
        Ref<ITypeInfo> ti;
        Description d;
        if (FAILED(tl->GetTypeInfo(k, &ti.p))) {
            d.name = "<type " + std::to_string(k) + " unreadable>";
        } else {
            read_type(ti.p, d, pointerSize);
        }
        lib.byName[d.name] = lib.types.size();
        lib.types.push_back(std::move(d));
    }
    lib.loaded = true;
    return true;
}

// Everything read, one fact a line, for comparing two builds. The target
// and what depends on the pointer size are left out.
std::vector<std::string> dump(const Library& lib) {
    std::vector<std::string> out;
    out.push_back("library " + lib.name + " \"" + lib.help + "\" " + guid_text(lib.guid) + " " +
                  std::to_string(lib.major) + "." + std::to_string(lib.minor) + " lcid " + std::to_string(lib.lcid) +
                  " flags " + hex(lib.flags));
    auto functions = [&out](const std::string& prefix, const std::vector<Function>& fs) {
        for (const Function& f : fs) {
            std::string s = prefix + " " + key(f.name, f.kind) + " id " + hex(static_cast<unsigned long>(f.id)) +
                            " slot " + std::to_string(f.slot) + " kind " + std::to_string(f.funcKind) + " call " +
                            std::to_string(f.callConv) + " flags " + hex(f.flags) + " optional " +
                            std::to_string(f.optionalCount) + " returns " + f.returns + " names";
            for (const std::string& n : f.names) s += " " + n;
            out.push_back(s);
            for (size_t k = 0; k < f.params.size(); ++k) {
                const Param& p = f.params[k];
                out.push_back(prefix + " " + key(f.name, f.kind) + " param " + std::to_string(k + 1) + " " + p.type +
                              " flags " + hex(p.flags) +
                              (p.hasDefault ? " default " + variant_text(p.defaultValue) : ""));
            }
        }
    };
    for (const Description& d : lib.types) {
        const std::string t = "type " + d.name;
        out.push_back(t + " kind " + std::to_string(d.kind) + " " + guid_text(d.guid) + " flags " + hex(d.flags) +
                      " version " + std::to_string(d.major) + "." + std::to_string(d.minor));
        for (const auto& [name, flags] : d.implemented)
            out.push_back(t + " implements " + name + " flags " + std::to_string(flags));
        if (!d.baseLibrary.empty()) out.push_back(t + " base from " + d.baseLibrary);
        for (const auto& [name, value] : d.constants) out.push_back(t + " constant " + name + " = " + value);
        functions(t, d.functions);
        if (d.dual) {
            out.push_back(t + " function table flags " + hex(d.vtableFlags) + " slots " +
                          std::to_string(d.vtableSlots));
            functions(t + " function table", d.vtable);
        }
    }
    return out;
}

void compare(Checker& c, const Library& a, const Library& b) {
    const std::vector<std::string> da = dump(a), db = dump(b);
    if (da.size() == db.size()) {
        for (size_t k = 0; k < da.size(); ++k)
            if (da[k] != db[k]) c.fail("differs: " + a.file + ": " + da[k] + " | " + b.file + ": " + db[k]);
        return;
    }
    c.fail("descriptions differ in length: " + std::to_string(da.size()) + " and " + std::to_string(db.size()) +
           " facts");
    std::multiset<std::string> sa(da.begin(), da.end()), sb(db.begin(), db.end());
    for (const std::string& s : da)
        if (sb.count(s) < sa.count(s)) c.fail("only in " + a.file + ": " + s);
    for (const std::string& s : db)
        if (sa.count(s) < sb.count(s)) c.fail("only in " + b.file + ": " + s);
}

int report(const Checker& c) {
    for (const std::string& e : c.errors) std::printf("%s: MISMATCH %s\n", c.file.c_str(), e.c_str());
    std::printf("%s: %zu mismatch%s\n", c.file.c_str(), c.errors.size(), c.errors.size() == 1 ? "" : "es");
    return c.errors.empty() ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: typelib_check <TR47_INI.dll> [<other TR47_INI.dll>]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (FAILED(CoInitialize(nullptr))) return 2;
    int status = 0;
    std::vector<Library> libs(static_cast<size_t>(argc - 1));
    for (int k = 1; k < argc; ++k) {
        Library& lib = libs[static_cast<size_t>(k - 1)];
        lib.file = narrow(argv[k]);
        Checker c{lib.file, {}};
        const int machine = dll_machine(argv[k]);
        if (!load(argv[k], lib))
            c.fail("type library not readable");
        else
            check_library(c, lib, machine);
        status |= report(c);
    }
    if (libs.size() == 2 && libs[0].loaded && libs[1].loaded) {
        Checker c{"comparison", {}};
        c.expect(libs[0].sysKind != libs[1].sysKind,
                 "both type libraries record SYS_KIND " + std::to_string(libs[0].sysKind));
        compare(c, libs[0], libs[1]);
        status |= report(c);
    }
    CoUninitialize();
    std::printf(status ? "typelib_check: FAILED\n" : "typelib_check: all checks passed\n");
    return status;
}

// A late-bound client: it knows only the server's entry points, the
// registry and IDispatch, as a script host would. Arguments: the server
// library, an example INI file, a scratch folder.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

#include "server/activation.hpp"
#include "server/automation.h"

using namespace tr47com;

namespace {

int g_failures = 0;
#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                                 \
        }                                                                                 \
    } while (0)

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

VARIANT vstr(const std::string& s) {
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = AllocBstr(u16(s));
    return v;
}
VARIANT vlong(std::int32_t n) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}
VARIANT vbool(bool b) {
    VARIANT v{};
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}
VARIANT vomitted() {
    VARIANT v{};
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}
VARIANT vdisp(IDispatch* d) {
    VARIANT v{};
    v.vt = VT_DISPATCH;
    v.pdispVal = d;
    return v;
}

std::string text(const VARIANT& v) {
    if (v.vt != VT_BSTR || !v.bstrVal) return "<not a string>";
    std::string s;
    for (const OLECHAR* p = v.bstrVal; *p; ++p) s += static_cast<char>(*p < 128 ? *p : '?');
    return s;
}

// Calls a member by name with arguments in natural order; a member name of
// nullptr calls the default member (dispatch identifier 0).
HRESULT call(IDispatch* d, const char* name, std::uint16_t flags, std::vector<VARIANT> args, VARIANT* result,
             std::string* error = nullptr) {
    DISPID id = DISPID_VALUE;
    if (name) {
        std::u16string n = u16(name);
        const OLECHAR* names[] = {n.c_str()};
        HRESULT h = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        if (h != S_OK) return h;
    }
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<std::uint32_t>(reversed.size()), 0};
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    EXCEPINFO info{};
    if (result) std::memset(result, 0, sizeof *result);
    HRESULT h = d->Invoke(id, IID_NULL, 0, flags, &params, result, &info, nullptr);
    if (h == DISP_E_EXCEPTION && error) {
        VARIANT t{};
        t.vt = VT_BSTR;
        t.bstrVal = info.bstrDescription;
        *error = text(t);
    }
    FreeBstr(info.bstrSource);
    FreeBstr(info.bstrDescription);
    for (VARIANT& v : args)
        if (v.vt == VT_BSTR) FreeBstr(v.bstrVal);
    return h;
}

constexpr std::uint16_t kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

IDispatch* get_object(IDispatch* d, const char* name, std::vector<VARIANT> args = {}) {
    VARIANT r{};
    if (call(d, name, kCall, std::move(args), &r) != S_OK || r.vt != VT_DISPATCH) return nullptr;
    return r.pdispVal;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: client SERVER.so EXAMPLE.ini SCRATCH\n");
        return 2;
    }
    const std::string server = argv[1], example = argv[2], scratch = argv[3];
    const std::string registry = scratch + "/registry";
    ::setenv("TR47_REGISTRY", registry.c_str(), 1);

    // Registration through the entry point, as regsvr32 would.
    void* lib = ::dlopen(server.c_str(), RTLD_NOW);
    CHECK(lib != nullptr);
    if (!lib) return 1;
    auto reg = reinterpret_cast<HRESULT (*)()>(::dlsym(lib, "DllRegisterServer"));
    auto unreg = reinterpret_cast<HRESULT (*)()>(::dlsym(lib, "DllUnregisterServer"));
    auto getClass = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(::dlsym(lib, "DllGetClassObject"));
    CHECK(reg && unreg && getClass);
    CHECK(reg() == S_OK);
    void* factory = nullptr;
    CHECK(getClass(IID_IDispatch, IID_IClassFactory, &factory) == CLASS_E_CLASSNOTAVAILABLE);

    IDispatch* doc = nullptr;
    CHECK(CreateObjectByProgID("TR47_INI.cls_Nothing", &doc) != S_OK);
    CHECK(CreateObjectByProgID("TR47_INI.cls_INI", &doc) == S_OK && doc);
    if (!doc) return 1;
    for (const char* cls :
         {"cls_INIEnum", "cls_INIEnums", "cls_INIGroup", "cls_INIValue", "cls_INIValues", "cls_INIGroups"}) {
        IDispatch* o = nullptr;
        CHECK(CreateObjectByProgID(std::string("TR47_INI.") + cls, &o) == S_OK && o);
        if (o) o->Release();
    }
    VARIANT r{};
    // Names are case-insensitive; IMPORT with pOutputErrors omitted.
    CHECK(call(doc, "import", kCall, {vstr(example)}, &r) == S_OK && r.vt == VT_BOOL && r.boolVal == VARIANT_TRUE);
    // VALUE with and without the optional arguments.
    CHECK(call(doc, "VALUE", kCall, {vstr("face")}, &r) == S_OK && text(r) == "Arial");
    ClearVariant(&r);
    CHECK(call(doc, "VALUE", kCall, {vstr("Missing")}, &r) == S_OK && r.vt == VT_ERROR &&
          r.scode == DISP_E_PARAMNOTFOUND);
    CHECK(call(doc, "VALUE", kCall, {vstr("Missing"), vlong(5)}, &r) == S_OK && r.vt == VT_I4 && r.lVal == 5);
    CHECK(call(doc, "VALUE", kCall, {vstr("Face"), vomitted(), vbool(false)}, &r) == S_OK && r.vt == VT_ERROR);
    CHECK(call(doc, "VALUE", kCall, {vstr("Count")}, &r) == S_OK && r.vt == VT_R8 && r.dblVal == 5.0);
    CHECK(call(doc, "VALUE", kCall, {}, &r) == DISP_E_PARAMNOTOPTIONAL);
    CHECK(call(doc, "NOSUCHMEMBER", kCall, {}, &r) == DISP_E_UNKNOWNNAME);

    // Walk ROOT.CHILDREN through Item by position, and reach Item with no
    // member name (the default member).
    IDispatch* root = get_object(doc, "ROOT");
    IDispatch* children = root ? get_object(root, "CHILDREN") : nullptr;
    CHECK(children != nullptr);
    if (children) {
        CHECK(call(children, "COUNT", kCall, {}, &r) == S_OK && r.vt == VT_I4 && r.lVal == 2);
        std::string names;
        for (std::int32_t i = 1; i <= r.lVal; ++i) {
            IDispatch* g = get_object(children, "Item", {vlong(i)});
            VARIANT n{};
            CHECK(g && call(g, "NAME", DISPATCH_PROPERTYGET, {}, &n) == S_OK);
            names += text(n) + ";";
            ClearVariant(&n);
            if (g) g->Release();
        }
        CHECK(names == "Fonts;Network;");
        IDispatch* byKey = get_object(children, nullptr, {vstr(" network ")});
        CHECK(byKey != nullptr);
        if (byKey) {
            CHECK(call(byKey, "EXISTS", kCall, {vstr("PORT")}, &r) == S_OK && r.boolVal == VARIANT_TRUE);
            // Property let, then read back.
            CHECK(call(byKey, "DESCRIPTION", DISPATCH_PROPERTYPUT, {vstr("net")}, nullptr) == S_OK);
            CHECK(call(byKey, "DESCRIPTION", DISPATCH_PROPERTYGET, {}, &r) == S_OK && text(r) == "net");
            ClearVariant(&r);
            byKey->Release();
        }
        std::string err;
        CHECK(call(children, "Item", kCall, {vlong(99)}, &r, &err) == DISP_E_EXCEPTION && !err.empty());
        children->Release();
    }
    // Set by reference: a new group as ROOT, then back.
    IDispatch* group = nullptr;
    CHECK(CreateObjectByProgID("TR47_INI.cls_INIGroup", &group) == S_OK);
    if (group && root) {
        CHECK(call(doc, "ROOT", DISPATCH_PROPERTYPUTREF, {vdisp(group)}, nullptr) == S_OK);
        CHECK(call(doc, "VALUE", kCall, {vstr("Face"), vstr("none")}, &r) == S_OK && text(r) == "none");
        ClearVariant(&r);
        CHECK(call(doc, "ROOT", DISPATCH_PROPERTYPUTREF, {vdisp(root)}, nullptr) == S_OK);
        group->Release();
    }
    if (root) root->Release();

    // SAVE and LOAD with a password, into a second document.
    const std::string stored = scratch + "/doc.tr47";
    CHECK(call(doc, "SAVE", kCall, {vstr(stored), vstr("pw")}, &r) == S_OK && r.boolVal == VARIANT_TRUE);
    IDispatch* other = nullptr;
    CHECK(CreateObjectByProgID("TR47_INI.cls_INI", &other) == S_OK && other);
    if (other) {
        CHECK(call(other, "LOAD", kCall, {vstr(stored)}, &r) == S_OK && r.boolVal == VARIANT_FALSE);
        CHECK(call(other, "LOAD", kCall, {vstr(stored), vstr("pw")}, &r) == S_OK && r.boolVal == VARIANT_TRUE);
        CHECK(call(other, "VALUE", kCall, {vstr("Host")}, &r) == S_OK && text(r) == "example.org");
        ClearVariant(&r);
        other->Release();
    }
    // Type information at run time.
    ITypeInfo* info = nullptr;
    CHECK(doc->GetTypeInfo(0, 0, &info) == S_OK && info);
    if (info) {
        std::uint32_t count = 0;
        info->GetMemberCount(&count);
        bool sawValue = false;
        for (std::uint32_t i = 0; i < count; ++i) {
            const MEMBERDESC* m = nullptr;
            info->GetMember(i, &m);
            if (m && std::strcmp(m->name, "VALUE") == 0) {
                sawValue = m->dispid == 0x6003000B && m->cParams == 3 && std::strcmp(m->paramDefaults[2], "-1") == 0;
            }
        }
        CHECK(sawValue);
        info->Release();
    }
    CHECK(CanUnloadServer() == S_FALSE);
    doc->Release();
    CHECK(CanUnloadServer() == S_OK);

    CHECK(unreg() == S_OK);
    IDispatch* gone = nullptr;
    CHECK(CreateObjectByProgID("TR47_INI.cls_INI", &gone) != S_OK);
    if (g_failures) std::fprintf(stderr, "%d checks failed\n", g_failures);
    return g_failures ? 1 : 0;
}

// A late-bound client of the automation server, as a script host is: it
// creates a document by programmatic identifier (after `tr47ini register`),
// finds members by name and calls them through IDispatch::Invoke. It uses
// none of the C++ library's headers.
//
//   tr47ini register && late_bound_client settings.ini Port
#include <cstdio>
#include <string>
#include <vector>

#include "server/activation.hpp"

using namespace tr47com;

namespace {

std::u16string utf16(const std::string& s) { return std::u16string(s.begin(), s.end()); } // ASCII names

VARIANT text_arg(const std::string& s) {
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = AllocBstr(utf16(s));
    return v;
}

// Calls a method by name; arguments in natural order (Invoke takes them
// last to first). The arguments are freed here.
HRESULT call(IDispatch* object, const char* member, std::vector<VARIANT> args, VARIANT* result) {
    const std::u16string name = utf16(member);
    const OLECHAR* names[] = {name.c_str()};
    DISPID id = 0;
    HRESULT h = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (h == S_OK) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<std::uint32_t>(reversed.size()), 0};
        EXCEPINFO info{};
        h = object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, &info, nullptr);
        FreeBstr(info.bstrSource);
        FreeBstr(info.bstrDescription);
    }
    for (VARIANT& v : args) ClearVariant(&v);
    return h;
}

std::string to_text(const VARIANT& v) {
    switch (v.vt) {
    case VT_BSTR: {
        std::string s;
        for (const OLECHAR* p = v.bstrVal; p && *p; ++p) s += static_cast<char>(*p < 128 ? *p : '?');
        return s;
    }
    case VT_R8: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.15g", v.dblVal);
        return buf;
    }
    case VT_I4: return std::to_string(v.lVal);
    case VT_BOOL: return v.boolVal ? "True" : "False";
    default: return "(variant type " + std::to_string(v.vt) + ")";
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: late_bound_client FILE.ini NAME\n");
        return 2;
    }
    IDispatch* doc = nullptr;
    HRESULT h = CreateObjectByProgID("TR47_INI.cls_INI", &doc);
    if (h != S_OK) {
        std::fprintf(stderr, "CreateObject(\"TR47_INI.cls_INI\") failed: 0x%08X (run tr47ini register)\n",
                     static_cast<unsigned>(h));
        return 1;
    }
    VARIANT ok{};
    h = call(doc, "IMPORT", {text_arg(argv[1])}, &ok);
    int status = 1;
    if (h == S_OK && ok.vt == VT_BOOL && ok.boolVal) {
        VARIANT value{};
        if (call(doc, "VALUE", {text_arg(argv[2]), text_arg("(none)")}, &value) == S_OK) {
            std::printf("%s = %s\n", argv[2], to_text(value).c_str());
            status = 0;
        }
        ClearVariant(&value);
    } else {
        std::fprintf(stderr, "IMPORT of %s failed\n", argv[1]);
    }
    doc->Release();
    return status;
}

#include "server/activation.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>

#include "server/registry.hpp"

namespace tr47com {

namespace {

struct Loaded {
    void* handle = nullptr;
    HRESULT (*getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT (*canUnload)() = nullptr;
};
Loaded g_loaded;
std::mutex g_mutex;

bool parse_guid(const std::string& text, GUID& g) {
    unsigned a, b, c, d[8];
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &d[0], &d[1], &d[2], &d[3],
                    &d[4], &d[5], &d[6], &d[7]) != 11)
        return false;
    g.Data1 = a;
    g.Data2 = static_cast<std::uint16_t>(b);
    g.Data3 = static_cast<std::uint16_t>(c);
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<std::uint8_t>(d[i]);
    return true;
}

} // namespace

HRESULT CreateObjectByProgID(const std::string& progid, IDispatch** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    tr47::server::Registry reg = tr47::server::Registry::open_default();
    auto clsidText = reg.get("HKCR\\" + progid + "\\CLSID");
    if (!clsidText) return static_cast<HRESULT>(0x800401F3u); // CO_E_CLASSSTRING: unknown ProgID
    GUID clsid{};
    if (!parse_guid(*clsidText, clsid)) return static_cast<HRESULT>(0x800401F3u);
    auto path = reg.get("HKCR\\CLSID\\" + *clsidText + "\\InprocServer32");
    if (!path) return static_cast<HRESULT>(0x80040154u); // REGDB_E_CLASSNOTREG
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_loaded.handle) {
        void* h = ::dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) return static_cast<HRESULT>(0x8007007Eu); // module not found
        g_loaded.handle = h;
        g_loaded.getClassObject =
            reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(::dlsym(h, "DllGetClassObject"));
        g_loaded.canUnload = reinterpret_cast<HRESULT (*)()>(::dlsym(h, "DllCanUnloadNow"));
        if (!g_loaded.getClassObject) return static_cast<HRESULT>(0x8007007Fu); // procedure not found
    }
    IClassFactory* factory = nullptr;
    HRESULT h = g_loaded.getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (h != S_OK) return h;
    h = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(out));
    factory->Release();
    return h;
}

HRESULT CanUnloadServer() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_loaded.canUnload) return E_FAIL;
    return g_loaded.canUnload();
}

BSTR AllocBstr(std::u16string_view text) {
    auto* block = static_cast<char*>(std::malloc(4 + (text.size() + 1) * sizeof(OLECHAR)));
    if (!block) return nullptr;
    const auto bytes = static_cast<std::uint32_t>(text.size() * sizeof(OLECHAR));
    std::memcpy(block, &bytes, 4);
    auto* s = reinterpret_cast<OLECHAR*>(block + 4);
    std::memcpy(s, text.data(), text.size() * sizeof(OLECHAR));
    s[text.size()] = 0;
    return s;
}

void FreeBstr(BSTR text) {
    if (text) std::free(reinterpret_cast<char*>(text) - 4);
}

void ClearVariant(VARIANT* v) {
    if (!v) return;
    if (v->vt == VT_BSTR) FreeBstr(v->bstrVal);
    if ((v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN) && v->punkVal) v->punkVal->Release();
    std::memset(v, 0, sizeof *v);
}

} // namespace tr47com

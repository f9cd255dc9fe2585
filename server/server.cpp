// The in-process server: class objects, the four entry points, and
// registration (in the platform's registry on Windows, else in the
// project's own registry file).
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "corelib/stored_file.hpp"
#include "corelib/utf.hpp"
#include "server/dispatch.hpp"

#ifdef _WIN32
#include <vector>
#else
#include <dlfcn.h>

#include "server/registry.hpp"
#endif

namespace tr47::server {

using namespace tr47com;

namespace {

std::atomic<long> g_locks{0};

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(const Interface& itf) : itf_(itf) {}
    HRESULT TR47_STDCALL QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Class objects live as long as the library; their references do not
    // keep it loaded (LockServer does).
    ULONG TR47_STDCALL AddRef() override { return 2; }
    ULONG TR47_STDCALL Release() override { return 1; }
    HRESULT TR47_STDCALL CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return guarded(nullptr, [&] {
            IDispatch* d = wrap(itf_.create());
            const HRESULT h = d->QueryInterface(riid, ppv);
            d->Release();
            return h;
        });
    }
    HRESULT TR47_STDCALL LockServer(int lock) override {
        lock ? g_locks.fetch_add(1) : g_locks.fetch_sub(1);
        return S_OK;
    }

private:
    const Interface& itf_;
};

std::vector<ClassFactory>& factories() {
    static std::vector<ClassFactory> all = [] {
        std::vector<ClassFactory> f;
        for (const Interface& i : interfaces())
            if (i.create) f.emplace_back(i);
        return f;
    }();
    return all;
}

std::string braces(const GUID& g) { return "{" + guid_text(g) + "}"; }

// One registry value: its key under HKEY_CLASSES_ROOT, its name (empty for
// the key's default value) and its text.
struct RegEntry {
    std::string key, name, data;
    bool typelib; // written by the platform's type-library registration on Windows
};

std::vector<RegEntry> registration_entries(const std::string& path) {
    const std::string lib = braces(kLibraryId);
    std::vector<RegEntry> e;
    e.push_back({"TypeLib\\" + lib + "\\1.0", "", "TR47: INI Tools", true});
    e.push_back({"TypeLib\\" + lib + "\\1.0\\0\\linux64", "", path, true});
    for (const Interface& i : interfaces()) {
        if (!i.create) continue;
        const std::string progid = library_base_name() + "." + i.className;
        const std::string clsid = braces(i.clsid);
        e.push_back({progid, "", progid, false});
        e.push_back({progid + "\\CLSID", "", clsid, false});
        e.push_back({"CLSID\\" + clsid, "", progid, false});
        e.push_back({"CLSID\\" + clsid + "\\InprocServer32", "", path, false});
        e.push_back({"CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel", "Apartment", false});
        e.push_back({"CLSID\\" + clsid + "\\ProgID", "", progid, false});
        e.push_back({"CLSID\\" + clsid + "\\TypeLib", "", lib, false});
        e.push_back({"Interface\\" + braces(i.iid), "", i.name, true});
        e.push_back({"Interface\\" + braces(i.iid) + "\\TypeLib", "", lib, true});
    }
    return e;
}

#ifdef _WIN32
using tr47::detail::utf8_to_wide;
using tr47::detail::wide_to_utf8;

HRESULT register_server() {
    const std::wstring path = module_path();
    if (path.empty()) return SELFREG_E_CLASS;
    for (const RegEntry& r : registration_entries(wide_to_utf8(path))) {
        if (r.typelib) continue;
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, utf8_to_wide(r.key).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
        const std::wstring data = utf8_to_wide(r.data);
        const LONG rc = RegSetValueExW(key, r.name.empty() ? nullptr : utf8_to_wide(r.name).c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(data.c_str()),
                                       static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) return SELFREG_E_CLASS;
    }
    // The type library registers itself and, through it, the interfaces.
    ITypeLib* lib = nullptr;
    if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &lib))) return SELFREG_E_TYPELIB;
    lib->Release();
    return S_OK;
}

HRESULT unregister_server() {
    // Keys deepest first, each only once.
    std::vector<std::string> keys;
    for (const RegEntry& r : registration_entries({}))
        if (!r.typelib && (keys.empty() || keys.back() != r.key)) keys.push_back(r.key);
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) RegDeleteKeyW(HKEY_CLASSES_ROOT, utf8_to_wide(*it).c_str());
    // Removing what is not registered (a second unregistration) succeeds:
    // the type library is unregistered only when its key is there (the
    // platforms answer a missing one with different failures).
    HKEY typelib = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, utf8_to_wide("TypeLib\\" + braces(kLibraryId) + "\\1.0").c_str(), 0, KEY_READ,
                      &typelib) != ERROR_SUCCESS)
        return S_OK;
    RegCloseKey(typelib);
    const HRESULT h = UnRegisterTypeLib(kLibraryId, 1, 0, 0, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    return (SUCCEEDED(h) || h == TYPE_E_REGISTRYACCESS || h == TYPE_E_CANTLOADLIBRARY || h == TYPE_E_LIBNOTREGISTERED)
               ? S_OK
               : h;
}
#else
std::string module_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DllGetClassObject), &info) && info.dli_fname) {
        char* real = ::realpath(info.dli_fname, nullptr);
        if (real) {
            std::string s = real;
            std::free(real);
            return s;
        }
        return info.dli_fname;
    }
    return {};
}

// The registry file holds one line per value; a named value is a key one
// level below its key.
std::string file_key(const RegEntry& r) { return "HKCR\\" + r.key + (r.name.empty() ? "" : "\\" + r.name); }

HRESULT register_server() {
    Registry reg = Registry::open_default();
    for (const RegEntry& r : registration_entries(module_path())) reg.set(file_key(r), r.data);
    reg.save();
    return S_OK;
}

HRESULT unregister_server() {
    Registry reg = Registry::open_default();
    for (const RegEntry& r : registration_entries({})) reg.remove(file_key(r));
    reg.save();
    return S_OK;
}
#endif

} // namespace

#ifdef _WIN32
std::wstring module_path() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&DllGetClassObject), &self))
        return {};
    std::vector<wchar_t> buf(MAX_PATH + 1);
    for (;;) {
        const DWORD n = GetModuleFileNameW(self, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return std::wstring(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}
#endif

} // namespace tr47::server

using namespace tr47com;
using namespace tr47::server;

extern "C" TR47_EXPORT HRESULT DllCanUnloadNow() {
    return (g_server_objects.load() == 0 && g_locks.load() == 0 && tr47::Object::live_objects() == 0) ? S_OK : S_FALSE;
}

extern "C" TR47_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    std::size_t index = 0;
    for (const Interface& i : interfaces()) {
        if (!i.create) continue;
        if (i.clsid == rclsid) return factories()[index].QueryInterface(riid, ppv);
        ++index;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" TR47_EXPORT HRESULT DllRegisterServer() { return guarded(nullptr, register_server); }

extern "C" TR47_EXPORT HRESULT DllUnregisterServer() { return guarded(nullptr, unregister_server); }

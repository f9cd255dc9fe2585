// The in-process server: class objects, the four entry points, and
// registration in the project's own registry file.
#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <sstream>

#include "corelib/stored_file.hpp"
#include "server/dispatch.hpp"
#include "server/registry.hpp"

namespace tr47::server {

using namespace tr47com;

namespace {

std::atomic<long> g_locks{0};

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(const Interface& itf) : itf_(itf) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
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
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        try {
            IDispatch* d = DispatchObject::wrap(itf_.create());
            HRESULT h = d->QueryInterface(riid, ppv);
            d->Release();
            return h;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (const std::exception&) {
            return E_FAIL;
        }
    }
    HRESULT LockServer(int lock) override {
        lock ? ++g_locks : --g_locks;
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

std::string braces(const GUID& g) { return "{" + guid_text(g) + "}"; }

// Everything DllRegisterServer writes, as key/value pairs.
std::vector<std::pair<std::string, std::string>> registration_entries() {
    const std::string path = module_path();
    const std::string lib = braces(kLibraryId);
    std::vector<std::pair<std::string, std::string>> e;
    e.push_back({"HKCR\\TypeLib\\" + lib + "\\1.0", "TR47: INI Tools"});
    e.push_back({"HKCR\\TypeLib\\" + lib + "\\1.0\\0\\linux64", path});
    for (const Interface& i : interfaces()) {
        if (!i.create) continue;
        const std::string progid = library_base_name() + "." + i.className;
        const std::string clsid = braces(i.clsid);
        e.push_back({"HKCR\\" + progid, progid});
        e.push_back({"HKCR\\" + progid + "\\CLSID", clsid});
        e.push_back({"HKCR\\CLSID\\" + clsid, progid});
        e.push_back({"HKCR\\CLSID\\" + clsid + "\\InprocServer32", path});
        e.push_back({"HKCR\\CLSID\\" + clsid + "\\InprocServer32\\ThreadingModel", "Apartment"});
        e.push_back({"HKCR\\CLSID\\" + clsid + "\\ProgID", progid});
        e.push_back({"HKCR\\CLSID\\" + clsid + "\\TypeLib", lib});
        e.push_back({"HKCR\\Interface\\" + braces(i.iid), i.name});
        e.push_back({"HKCR\\Interface\\" + braces(i.iid) + "\\TypeLib", lib});
    }
    return e;
}

} // namespace

} // namespace tr47::server

using namespace tr47com;
using namespace tr47::server;

extern "C" TR47_EXPORT HRESULT DllCanUnloadNow() {
    return (g_server_objects.load() == 0 && g_locks.load() == 0 && tr47::Object::live_objects() == 0) ? S_OK
                                                                                                        : S_FALSE;
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

extern "C" TR47_EXPORT HRESULT DllRegisterServer() {
    try {
        Registry reg = Registry::open_default();
        for (auto& [key, value] : registration_entries()) reg.set(key, value);
        reg.save();
        return S_OK;
    } catch (const std::exception&) {
        return SELFREG_E_CLASS;
    }
}

extern "C" TR47_EXPORT HRESULT DllUnregisterServer() {
    try {
        Registry reg = Registry::open_default();
        for (auto& [key, value] : registration_entries()) reg.remove(key);
        reg.save();
        return S_OK;
    } catch (const std::exception&) {
        return SELFREG_E_CLASS;
    }
}

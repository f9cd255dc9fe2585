// IDispatch objects over the model; internal to the server library.
#pragma once

#include <atomic>
#include <string>

#include "server/members.hpp"

namespace tr47::server {

// The platform's failure code type (tr47::HRESULT is a 32-bit integer of
// another spelling on Windows).
using HRESULT = tr47com::HRESULT;

// Dispatch objects, type descriptions and class-factory locks alive now.
extern std::atomic<long> g_server_objects;

std::string from_bstr(const tr47com::OLECHAR* s);
std::string from_utf16(const tr47com::OLECHAR* s, std::uint32_t length);
tr47com::BSTR to_bstr(std::string_view text);

#ifdef _WIN32
// The full path of this server's DLL, or empty when it cannot be found.
std::wstring module_path();
#endif

class DispatchObject final : public tr47com::IDispatch {
public:
    DispatchObject(ref<Object> object, const Interface& itf);
    // A new dispatch object (one reference) for a model object, or nullptr.
    static tr47com::IDispatch* wrap(const ref<Object>& object);
    const ref<Object>& object() const { return object_; }

    HRESULT TR47_STDCALL QueryInterface(tr47com::REFIID riid, void** ppv) override;
    tr47com::ULONG TR47_STDCALL AddRef() override;
    tr47com::ULONG TR47_STDCALL Release() override;
    HRESULT TR47_STDCALL GetTypeInfoCount(std::uint32_t* pctinfo) override;
    HRESULT TR47_STDCALL GetTypeInfo(std::uint32_t iTInfo, tr47com::LCID lcid, tr47com::ITypeInfo** ppTInfo) override;
    HRESULT TR47_STDCALL GetIDsOfNames(tr47com::REFIID riid, tr47com::NameArray names, std::uint32_t cNames,
                                   tr47com::LCID lcid, tr47com::DISPID* rgDispId) override;
    HRESULT TR47_STDCALL Invoke(tr47com::DISPID dispIdMember, tr47com::REFIID riid, tr47com::LCID lcid,
                            std::uint16_t wFlags, tr47com::DISPPARAMS* pDispParams, tr47com::VARIANT* pVarResult,
                            tr47com::EXCEPINFO* pExcepInfo, std::uint32_t* puArgErr) override;

private:
    ~DispatchObject();
    ref<Object> object_;
    const Interface& itf_;
    std::atomic<tr47com::ULONG> refs_{1};
};

} // namespace tr47::server

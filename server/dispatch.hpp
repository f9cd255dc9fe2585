// The component objects over the model; internal to the server library.
//
// A model object that a client holds is one COM object (an Identity) with
// up to three interfaces: its class's default interface and the facets
// tmp_Data and tmp_Database. Each interface is a DualBase: IDispatch's seven
// slots, then one slot per member of the interface's table, added by a
// subclass that tr47_idl generates from the same tables. Late binding
// (Invoke) and early binding (the slots) meet in one call path.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "server/members.hpp"

namespace tr47::server {

// The platform's failure code type (tr47::HRESULT is a 32-bit integer of
// another spelling on Windows).
using HRESULT = tr47com::HRESULT;

// COM objects, enumerators, type descriptions and class-factory locks alive
// now (the unload test).
extern std::atomic<long> g_server_objects;

std::string from_bstr(const tr47com::OLECHAR* s);
std::string from_utf16(const tr47com::OLECHAR* s, std::uint32_t length);
tr47com::BSTR to_bstr(std::string_view text);

#ifdef _WIN32
// The full path of this server's DLL, or empty when it cannot be found.
std::wstring module_path();
#endif

// The one place where a failure becomes an HRESULT: runs f and turns what
// it throws into the code it carries (with the error information filled in
// when the caller gave room for it, else set as the thread's error info).
HRESULT failure_of(tr47com::EXCEPINFO* info);
template <class F>
HRESULT guarded(tr47com::EXCEPINFO* info, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return failure_of(info);
    }
}

class Identity;

class DualBase : public tr47com::IDispatch {
public:
    DualBase(Identity& identity, const Interface& itf) noexcept : identity_(identity), itf_(itf) {}

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

    Identity& identity() const noexcept { return identity_; }
    const Interface& itf() const noexcept { return itf_; }

protected:
    // A call through the slot of member `index`: the arguments by address,
    // in table order, and the address of the result's out parameter.
    HRESULT early(std::size_t index, const void* const* args, void* result) noexcept;

private:
    HRESULT ids_of_names(tr47com::NameArray names, std::uint32_t cNames, tr47com::DISPID* ids) const;
    HRESULT invoke_member(tr47com::DISPID id, std::uint16_t flags, tr47com::DISPPARAMS* params,
                          tr47com::VARIANT* result, tr47com::EXCEPINFO* info, std::uint32_t* argErr);
    Identity& identity_;
    const Interface& itf_;
};

// Made by tr47_idl from the member tables: per interface (in the order of
// interfaces()), the layout it was made from and the constructor of its
// function-table class in storage of sizeof(DualBase) bytes.
struct GeneratedTable {
    const char* name;
    const char* layout;
    DualBase* (*make)(void* storage, Identity& identity, const Interface& itf);
};
extern const GeneratedTable kGeneratedTables[];
extern const std::size_t kGeneratedTableCount;

// The generated tables, checked once against the member tables; empty when
// they agree, else what differs.
const std::string& generated_table_mismatch();

// The COM object of a model object (one new reference on its default
// interface). While a client holds it, every call hands out the same one.
tr47com::IDispatch* wrap(const ref<Object>& object);
// The model object behind an interface pointer of this library; raises a
// type mismatch for a foreign object.
ref<Object> unwrap(tr47com::IUnknown* unknown);

} // namespace tr47::server

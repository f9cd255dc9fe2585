// Declarative member tables of the automation interfaces. Dispatch,
// GetIDsOfNames, the run-time type description and the IDL text are all
// produced from these tables.
#pragma once

#include <string>
#include <vector>

#include "server/automation.h"
#include "tr47ini/tr47ini.hpp"

namespace tr47::server {

// The invocation flags of IDispatch::Invoke (DISPATCH_METHOD and so on).
enum class Kind : std::uint16_t { Method = 1, Get = 2, Let = 4, Set = 8 };

// Argument and result types, with the IDL name of each.
enum class Type { None, String, Bool, Long, Sort, Variant, Object };

struct Param {
    const char* name;
    Type type;
    const char* objectType = nullptr; // interface name for Type::Object
    bool optional = false;
    // Default of an optional argument as IDL writes it; nullptr: none.
    const char* idlDefault = nullptr;
};

// Arguments arrive converted to their declared types (objects as object
// references, omitted optional variants as the omitted-argument marker).
using Handler = Variant (*)(Object& self, std::vector<Variant>& args);

struct Member {
    const char* name;
    tr47com::DISPID dispid;
    Kind kind;
    std::vector<Param> params; // for let and set: the new value is the last
    Type result;
    const char* resultObject; // interface name when result is Type::Object
    Handler handler;
};

struct Interface {
    const char* name; // _cls_INI
    const char* className; // cls_INI, or empty for a non-creatable core type
    tr47com::GUID iid;
    tr47com::GUID clsid;
    bool persistable; // offers tmp_Data
    bool collection; // offers tmp_Database
    std::vector<Member> members;
    ref<Object> (*create)(); // class object's product; nullptr when not creatable
    bool facet = false; // tmp_Data or tmp_Database: a further interface of the classes
#ifndef _WIN32
    // Run-time descriptions built from the members (on Windows the type
    // library linked into the DLL describes the interfaces).
    std::vector<tr47com::MEMBERDESC> descs{};
    std::vector<std::vector<const char*>> paramNames{}, paramTypes{}, paramDefaults{};
#endif
};

tr47com::GUID parse_guid(const char* text);
std::string guid_text(const tr47com::GUID& g);

extern const tr47com::GUID kLibraryId;
extern const tr47com::GUID kEnumTypeId;
extern const tr47com::GUID kIID_tmp_Data;
extern const tr47com::GUID kIID_tmp_Database;
extern const tr47com::GUID kIID_Tr47Object;

// All interfaces: the seven classes in type-library order, then the core
// library's types that the classes hand out, then the two facets tmp_Data
// and tmp_Database.
const std::vector<Interface>& interfaces();
const Interface& facet_tmp_Data();
const Interface& facet_tmp_Database();

// How a member's arguments and result travel through its slot of the
// function table: the C type of each, in order, the result last.
enum class Abi {
    Text,
    Bool,
    Int32,
    VariantValue,
    VariantRef,
    Object,
    OutText,
    OutBool,
    OutInt32,
    OutVariant,
    OutObject
};
std::vector<Abi> slot_abi(const Member& m);
// Whether an argument arrives as a reference (the new value of CONTENT).
bool passed_by_reference(const Member& m, std::size_t param);
// The name of a member's slot as the IDL compiler's header calls it
// (get_NAME, put_NAME, putref_NAME or the method's name).
std::string slot_name(const Member& m);
// One line per slot; the generated function tables carry the text they
// were made from, so a table made from other members is noticed.
std::string slot_layout(const Interface& itf);
// The interface of an object as the server exposes it, or nullptr.
const Interface* interface_of(const Object& o);
const Interface* interface_named(std::string_view name);
const char* idl_type(Type t, const char* objectType);

// The type library as IDL text.
std::string emit_idl();
// The C++ source of the interfaces' function tables (see dispatch.hpp).
std::string emit_function_tables();

} // namespace tr47::server

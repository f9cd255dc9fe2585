// The type library as IDL text, produced from the member tables so that the
// platform's IDL compiler can build the binary type library from it.
#include <sstream>

#include "server/members.hpp"

namespace tr47::server {

namespace {

std::string lower_hex(tr47com::DISPID id) {
    std::ostringstream s;
    s << "0x" << std::hex << std::uppercase << static_cast<std::uint32_t>(id);
    return s.str();
}

std::string param_text(const Member& m, const Param& p, bool last) {
    std::string attrs = "in";
    if (p.optional) {
        attrs += ", optional";
        if (p.type == Type::String)
            attrs += ", defaultvalue(" + std::string(p.idlDefault ? p.idlDefault : "\"\"") + ")";
        else if (p.idlDefault)
            attrs += ", defaultvalue(" + std::string(p.idlDefault) + ")";
        else if (p.type == Type::Object)
            attrs += ", defaultvalue(0)";
    }
    std::string type = idl_type(p.type, p.objectType);
    // The new value of CONTENT arrives as a reference to a variant.
    if (last && m.kind != Kind::Method && m.kind != Kind::Get && p.type == Type::Variant) type = "VARIANT*";
    return "[" + attrs + "] " + type + " " + p.name;
}

} // namespace

std::string emit_idl() {
    std::ostringstream o;
    const auto& all = interfaces();
    o << "// TR47_INI type library, generated from the server's member tables.\n";
    // The IDL compiler needs the declaration of IDispatch itself; the
    // importlib below only references the standard library at run time.
    o << "import \"oaidl.idl\";\n\n";
    o << "[\n  uuid(" << guid_text(kLibraryId) << "),\n  version(1.0),\n  helpstring(\"TR47: INI Tools\"),\n  lcid(0)\n]\n";
    o << "library TR47_INI\n{\n    importlib(\"stdole2.tlb\");\n\n";
    for (const Interface& i : all) o << "    interface " << i.name << ";\n";
    o << "    interface tmp_Data;\n    interface tmp_Database;\n\n";
    o << "    typedef [uuid(" << guid_text(kEnumTypeId) << ")] enum enm_INIValueSort {\n"
      << "        ID_INIValueSort_String = 0,\n        ID_INIValueSort_Long = 1,\n        ID_INIValueSort_Enum = 2,\n"
      << "        ID_INIValueSort_Double = 3,\n        ID_INIValueSort_Date = 4,\n        ID_INIValueSort_Boolean = 6,\n"
      << "        ID_INIValueSort_Color = 7\n    } enm_INIValueSort;\n\n";
    o << "    [odl, uuid(" << guid_text(kIID_tmp_Data) << "), dual, oleautomation]\n"
      << "    interface tmp_Data : IDispatch {\n"
      << "        [id(0x40030000), propget] HRESULT DATA([out, retval] DataObject** ret);\n    };\n\n";
    o << "    [odl, uuid(" << guid_text(kIID_tmp_Database) << "), dual, oleautomation]\n"
      << "    interface tmp_Database : IDispatch {\n"
      << "        [id(0x40030000), propget] HRESULT DATABASE([out, retval] DatabaseObject** ret);\n    };\n\n";
    for (const Interface& i : all) {
        o << "    [odl, uuid(" << guid_text(i.iid) << "), " << (i.create ? "hidden, " : "")
          << "dual, nonextensible, oleautomation]\n";
        o << "    interface " << i.name << " : IDispatch {\n";
        for (const Member& m : i.members) {
            o << "        [id(" << lower_hex(m.dispid) << ")";
            if (m.kind == Kind::Get) o << ", propget";
            if (m.kind == Kind::Let) o << ", propput";
            if (m.kind == Kind::Set) o << ", propputref";
            o << "] HRESULT " << m.name << "(";
            for (std::size_t k = 0; k < m.params.size(); ++k)
                o << (k ? ", " : "") << param_text(m, m.params[k], k + 1 == m.params.size());
            if (m.result != Type::None)
                o << (m.params.empty() ? "" : ", ") << "[out, retval] " << idl_type(m.result, m.resultObject)
                  << "* ret";
            o << ");\n";
        }
        o << "    };\n\n";
    }
    for (const Interface& i : all) {
        if (!i.create) continue;
        o << "    [uuid(" << guid_text(i.clsid) << ")]\n    coclass " << i.className << " {\n"
          << "        [default] interface " << i.name << ";\n        interface tmp_Data;\n";
        if (i.collection) o << "        interface tmp_Database;\n";
        o << "    };\n\n";
    }
    o << "};\n";
    return o.str();
}

} // namespace tr47::server

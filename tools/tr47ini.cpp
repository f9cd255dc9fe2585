// tr47ini: import, inspect, store and reload INI files from the command line.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/registry.hpp"
#include "tr47ini/tr47ini.hpp"

using namespace tr47;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFalse = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDefault = 3;

const char* kUsage =
    "usage:\n"
    "  tr47ini show FILE.ini [--json]                  import and print the tree\n"
    "  tr47ini get FILE.ini NAME [--default TEXT] [--default-ok] [--no-recurse]\n"
    "                                                  print one value; NAME may be a path\n"
    "                                                  of group names: Network/Port\n"
    "  tr47ini save FILE.ini OUT [--password-file PATH]  import, then store\n"
    "  tr47ini load OUT [--json] [--password-file PATH]  load a stored file and print it\n"
    "  tr47ini export IN OUT.ini [--strict] [--password-file PATH]\n"
    "                                                  write IN (an INI file or a stored file)\n"
    "                                                  as INI text; --strict: refuse any loss\n"
    "  tr47ini register [SERVER.so]                    register the automation server\n"
    "  tr47ini unregister [SERVER.so]                  (registry: $TR47_REGISTRY or ~/.local/share/tr47ini/registry)\n"
    "  tr47ini help | --help | -h                      this text\n"
    "  tr47ini --version                               the version\n"
    "\n"
    "Options may stand anywhere; \"--\" ends them, so that a\n"
    "file name may start with \"-\". Passwords are read from the first line of the\n"
    "password file.\n"
    "\n"
    "Exit status: 0 success; 1 IMPORT, LOAD, SAVE or export failed; 2 usage error;\n"
    "3 get found nothing and printed the default (0 with --default-ok).\n";

// A value's kind for printing; "Unknown" for a number that names none.
const char* kind_name(std::int32_t kind) {
    const char* name = value_sort_name(kind);
    return name ? name : "Unknown";
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string json_number(double d) {
    if (!std::isfinite(d)) return json_string(Variant(d).to_text());
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return buf;
}

std::string json_content(const Variant& v) {
    std::string value;
    switch (v.type()) {
    case VarType::Empty:
    case VarType::Null: value = "null"; break;
    case VarType::String: value = json_string(v.string()); break;
    case VarType::Double: value = json_number(v.dbl()); break;
    case VarType::Long: value = std::to_string(v.lng()); break;
    case VarType::Date: value = json_string(format_date(v.date())); break;
    case VarType::Boolean: value = v.boolean() ? "true" : "false"; break;
    case VarType::Error: value = std::to_string(static_cast<std::uint32_t>(v.error().code)); break;
    case VarType::Object: value = "null"; break;
    }
    return std::string("{\"type\":\"") + type_name(v.type()) + "\",\"value\":" + value + "}";
}

std::string text_of(const Variant& v) {
    if (v.is_error() || v.is_object()) return describe(v);
    std::string t = v.to_text();
    return v.is_string() ? "\"" + t + "\"" : t;
}

// Walks the group tree without native recursion (trees may be very deep).
template <class Enter, class Leave>
void walk(const ref<cls_INIGroup>& root, Enter enter, Leave leave) {
    struct Frame {
        ref<cls_INIGroup> group;
        std::int32_t next;
        std::int32_t count;
    };
    std::vector<Frame> stack;
    auto push = [&](const ref<cls_INIGroup>& g, bool first) {
        enter(*g, stack.size(), first);
        const ref<cls_INIGroups>& c = g->children_if_any();
        stack.push_back({g, 1, c ? c->COUNT() : 0});
    };
    push(root, true);
    std::size_t guard = 0;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next > top.count) {
            leave(*top.group, stack.size() - 1);
            stack.pop_back();
            continue;
        }
        const bool first = top.next == 1;
        ref<cls_INIGroup> child = top.group->CHILDREN()->Item(Variant(top.next++), true);
        // A group linked into its own subtree would never end.
        if (!child || ++guard > 100'000'000) continue;
        push(child, first);
    }
}

void print_text(cls_INI& doc, std::ostream& out) {
    if (!doc.VERSION().empty()) out << "VERSION " << doc.VERSION() << '\n';
    if (!doc.CONTENT().empty()) out << "CONTENT " << doc.CONTENT() << '\n';
    auto indent = [](std::size_t depth) {
        return depth <= 32 ? std::string(2 * depth, ' ') : std::string(64, ' ') + "[" + std::to_string(depth) + "] ";
    };
    walk(
        doc.ROOT(),
        [&](cls_INIGroup& g, std::size_t depth, bool) {
            if (depth > 0) {
                out << indent(depth - 1) << "BEGIN ";
                if (!g.SORT().empty()) out << g.SORT() << ", ";
                out << g.NAME() << '\n';
            }
            const ref<cls_INIValues>& values = g.values_if_any();
            std::int32_t n = values ? values->COUNT() : 0;
            for (std::int32_t i = 1; i <= n; ++i) {
                ref<cls_INIValue> v = values->Item(Variant(i), true);
                out << indent(depth) << v->NAME() << " = " << text_of(v->CONTENT()) << "  (" << kind_name(v->SORT());
                if (v->ENUMREF()) out << " of " << v->ENUMREF()->NAME();
                out << ")\n";
            }
        },
        [&](cls_INIGroup&, std::size_t depth) {
            if (depth > 0) out << indent(depth - 1) << "END\n";
        });
    ref<cls_INIEnums> enums = doc.ENUMS();
    for (std::int32_t i = 1; i <= enums->COUNT(); ++i) {
        ref<cls_INIEnum> e = enums->Item(Variant(i), true);
        out << "ENUM " << e->NAME() << ":";
        const auto& members = e->VALUES()->members();
        for (std::size_t k = 0; k < members.size(); ++k)
            out << (k ? ", " : " ") << members[k].name << " = " << members[k].value;
        out << '\n';
    }
}

void print_json(cls_INI& doc, std::ostream& out) {
    out << "{\"version\":" << json_string(doc.VERSION()) << ",\"content\":" << json_string(doc.CONTENT())
        << ",\"root\":";
    walk(
        doc.ROOT(),
        [&](cls_INIGroup& g, std::size_t, bool first) {
            if (!first) out << ",";
            out << "{\"name\":" << json_string(g.NAME()) << ",\"sort\":" << json_string(g.SORT()) << ",\"values\":[";
            const ref<cls_INIValues>& values = g.values_if_any();
            std::int32_t n = values ? values->COUNT() : 0;
            for (std::int32_t i = 1; i <= n; ++i) {
                ref<cls_INIValue> v = values->Item(Variant(i), true);
                out << (i > 1 ? "," : "") << "{\"name\":" << json_string(v->NAME()) << ",\"kind\":" << v->SORT()
                    << ",\"kindName\":\"" << kind_name(v->SORT()) << "\",\"content\":" << json_content(v->CONTENT());
                if (v->ENUMREF()) out << ",\"enum\":" << json_string(v->ENUMREF()->NAME());
                out << "}";
            }
            out << "],\"groups\":[";
        },
        [&](cls_INIGroup&, std::size_t) { out << "]}"; });
    out << ",\"enums\":[";
    ref<cls_INIEnums> enums = doc.ENUMS();
    for (std::int32_t i = 1; i <= enums->COUNT(); ++i) {
        ref<cls_INIEnum> e = enums->Item(Variant(i), true);
        out << (i > 1 ? "," : "") << "{\"name\":" << json_string(e->NAME())
            << ",\"description\":" << json_string(e->DESCRIPTION()) << ",\"members\":[";
        const auto& members = e->VALUES()->members();
        for (std::size_t k = 0; k < members.size(); ++k)
            out << (k ? "," : "") << "{\"name\":" << json_string(members[k].name)
                << ",\"value\":" << json_string(members[k].value) << "}";
        out << "]}";
    }
    out << "]}\n";
}

struct Args {
    std::string command;
    std::vector<std::string> positional;
    bool json = false;
    bool noRecurse = false;
    bool hasDefault = false;
    bool defaultOk = false;
    bool strict = false;
    bool help = false;
    bool version = false;
    std::string defaultText;
    std::string passwordFile;
    std::vector<std::string> options; // as given, to check them against the command
};

// Options anywhere (before "--"); everything else is the command and its
// operands. Anything that starts with "-" is an option, never a file name.
bool parse_args(int argc, char** argv, Args& a) {
    bool operandsOnly = false, haveCommand = false;
    for (int i = 1; i < argc; ++i) {
        const std::string s = argv[i];
        if (operandsOnly || s.empty() || s[0] != '-') {
            if (haveCommand)
                a.positional.push_back(s);
            else
                a.command = s;
            haveCommand = true;
            continue;
        }
        if (s == "--") {
            operandsOnly = true;
            continue;
        }
        const std::size_t eq = s.find('=');
        const std::string name = s.rfind("--", 0) == 0 ? s.substr(0, eq) : s;
        // An option's value: after "=" or the next argument (which may start
        // with "-": --default -1).
        auto value = [&](std::string& out) {
            if (eq != std::string::npos && name.size() == eq) {
                out = s.substr(eq + 1);
                return true;
            }
            if (i + 1 >= argc) {
                std::cerr << "tr47ini: " << name << " needs a value\n";
                return false;
            }
            out = argv[++i];
            return true;
        };
        const bool takesValue = name == "--default" || name == "--password-file";
        if (!takesValue && eq != std::string::npos && s.rfind("--", 0) == 0) {
            std::cerr << "tr47ini: " << name << " takes no value\n";
            return false;
        }
        if (name == "--help" || name == "-h") {
            a.help = true;
        } else if (name == "--version") {
            a.version = true;
        } else if (name == "--json") {
            a.json = true;
        } else if (name == "--no-recurse") {
            a.noRecurse = true;
        } else if (name == "--default-ok") {
            a.defaultOk = true;
        } else if (name == "--strict") {
            a.strict = true;
        } else if (name == "--default") {
            if (!value(a.defaultText)) return false;
            a.hasDefault = true;
        } else if (name == "--password-file") {
            if (!value(a.passwordFile)) return false;
            if (a.passwordFile.empty()) {
                std::cerr << "tr47ini: --password-file needs a file name\n";
                return false;
            }
        } else {
            std::cerr << "tr47ini: unknown option " << s << '\n';
            return false;
        }
        a.options.push_back(name);
    }
    return true;
}

// Whether every option given applies to the command.
bool options_fit(const Args& a) {
    auto allowed = [&](const std::string& option) {
        if (option == "--help" || option == "-h" || option == "--version") return true;
        if (a.command == "show") return option == "--json";
        if (a.command == "get") return option == "--default" || option == "--default-ok" || option == "--no-recurse";
        if (a.command == "save") return option == "--password-file";
        if (a.command == "load") return option == "--json" || option == "--password-file";
        if (a.command == "export") return option == "--strict" || option == "--password-file";
        return false;
    };
    for (const std::string& option : a.options)
        if (!allowed(option)) {
            std::cerr << "tr47ini: " << option << " does not apply to " << a.command << '\n';
            return false;
        }
    return true;
}

// A password is the first line of its file; a longer file is no password
// file, and this bound keeps one that never ends from being read on.
constexpr std::size_t kMaxPasswordFileBytes = 64 * 1024;

// False, after a message, when the file gives no password: it cannot be
// read, is no regular file (a folder, a device, a FIFO), is longer than the
// bound, or its first line is empty or blank. Saving without the password
// the user asked for is never the fallback.
bool read_password(const std::string& path, std::string& password) {
    password.clear();
    if (path.empty()) return true;
    auto refuse = [&](const std::string& why) {
        std::cerr << "tr47ini: the password file " << path << ' ' << why << '\n';
        return false;
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return refuse("is not a regular file");
    // Not blocking, and looked at again once open: the name may have been
    // given to a FIFO since.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return refuse(std::string("cannot be read: ") + std::strerror(errno));
    std::string bytes;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool failed = false;
    if (regular) {
        char buf[4096];
        while (bytes.size() <= kMaxPasswordFileBytes) {
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                failed = got < 0;
                break;
            }
            bytes.append(buf, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    if (!regular) return refuse("is not a regular file");
    if (failed) return refuse("cannot be read");
    if (bytes.size() > kMaxPasswordFileBytes)
        return refuse("is longer than " + std::to_string(kMaxPasswordFileBytes) + " bytes");
    password = bytes.substr(0, bytes.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.find_first_not_of(" \t") == std::string::npos) {
        password.clear();
        return refuse("gives no password: its first line is empty");
    }
    return true;
}

// The server that belongs to this tool: the build tree's while the tool
// runs from the build tree, else the one installed beside it (relative to
// the tool, so an installed tree may be moved).
std::string default_server_path() {
#if defined(TR47_SERVER_FILE) && defined(TR47_TOOL_BUILD_DIR) && defined(TR47_SERVER_FROM_BINDIR)
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe", ec);
    if (ec) return TR47_SERVER_FILE;
    const std::filesystem::path buildDir = std::filesystem::canonical(TR47_TOOL_BUILD_DIR, ec);
    if (!ec && self.parent_path() == buildDir) return TR47_SERVER_FILE;
    return (self.parent_path() / TR47_SERVER_FROM_BINDIR).lexically_normal().string();
#else
    return {};
#endif
}

// Loads the server library and calls DllRegisterServer or
// DllUnregisterServer in it.
int registration(const std::vector<std::string>& args, bool add) {
    const std::string path = args.empty() ? default_server_path() : args[0];
    if (path.empty()) return kExitUsage;
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        std::cerr << "tr47ini: cannot load " << path << ": " << ::dlerror() << '\n';
        return kExitFalse;
    }
    using Entry = std::int32_t (*)();
    auto fn = reinterpret_cast<Entry>(::dlsym(h, add ? "DllRegisterServer" : "DllUnregisterServer"));
    std::int32_t result = fn ? fn() : -1;
    // The module stays loaded until the tool ends: what it keeps for the
    // process's lifetime stays reachable rather than unmapped (which leak
    // checkers report as lost).
    if (result != 0) {
        std::cerr << "tr47ini: " << (add ? "registration" : "unregistration") << " failed\n";
        return kExitFalse;
    }
    std::cout << (add ? "registered " : "unregistered ") << path << " in " << tr47::server::Registry::default_path()
              << '\n';
    return kExitOk;
}

// Imports with messages on standard error; unicode paths are passed as given.
bool import_file(cls_INI& doc, const std::string& path) { return doc.IMPORT(path, true); }

// tr47ini export IN OUT.ini [--strict] [--password-file PATH]: IN is a
// stored file when LOAD reads it (under the password, if one is given),
// else an INI file. Losses go to standard error; with --strict they stop
// the export (exit 1) and OUT is left as it was.
int export_command(const Args& a) {
    const std::vector<std::string>& positional = a.positional;
    const std::string& passwordFile = a.passwordFile;
    const bool strict = a.strict;
    if (positional.size() != 2) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    std::string password;
    if (!read_password(passwordFile, password)) return kExitUsage;
    ref<cls_INI> doc = cls_INI::create();
    if (!doc->LOAD(positional[0], password)) {
        // A stored file starts with its magic; one that LOAD refuses is
        // never read as INI text.
        char magic[8] = {};
        std::ifstream probe(positional[0], std::ios::binary);
        const bool stored = probe.read(magic, sizeof magic) && std::memcmp(magic, "TR47STOR", 8) == 0;
        if (stored || !passwordFile.empty()) {
            std::cerr << "tr47ini: LOAD of " << positional[0] << " failed"
                      << (stored ? ": it is a stored file, and the password is wrong or missing, or the file is damaged"
                                 : "")
                      << '\n';
            return kExitFalse;
        }
        doc = cls_INI::create();
        if (!import_file(*doc, positional[0])) return kExitFalse;
    }
    export_options options;
    options.strict = strict;
    const export_result r = export_ini_file(*doc, positional[1], options);
    for (const export_diagnostic& d : r.diagnostics)
        std::cerr << "tr47ini: " << (strict ? "" : "lost: ") << d.path << ": " << d.what << ": " << d.why << '\n';
    if (!r.written) {
        std::cerr << "tr47ini: nothing written to " << positional[1] << ": " << r.diagnostics.size()
                  << " loss(es) in strict mode\n";
        return kExitFalse;
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    Args a;
    if (!parse_args(argc, argv, a)) {
        std::cerr << "Try 'tr47ini --help'.\n";
        return kExitUsage;
    }
    if (a.help || a.command == "help") {
        std::cout << kUsage;
        return kExitOk;
    }
    if (a.version) {
        std::cout << "tr47ini " << TR47_INI_VERSION_STRING << " (library " << tr47::library_version() << ")\n";
        return kExitOk;
    }
    if (a.command.empty()) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    if (!options_fit(a)) {
        std::cerr << "Try 'tr47ini --help'.\n";
        return kExitUsage;
    }
    const std::string& command = a.command;
    if (command == "register" || command == "unregister")
        return a.positional.size() <= 1 ? registration(a.positional, command == "register") : kExitUsage;
    try {
        ref<cls_INI> doc = cls_INI::create();
        if (command == "show" && a.positional.size() == 1) {
            bool ok = import_file(*doc, a.positional[0]);
            // A JSON reader takes what it gets for the file: nothing rather
            // than an empty document when the import failed.
            if (a.json && !ok) return kExitFalse;
            a.json ? print_json(*doc, std::cout) : print_text(*doc, std::cout);
            return ok ? kExitOk : kExitFalse;
        }
        if (command == "get" && a.positional.size() == 2) {
            if (!import_file(*doc, a.positional[0])) return kExitFalse;
            const Document document(doc);
            const std::string& name = a.positional[1];
            // A name with "/" is first a path of group names, then a name.
            std::optional<Variant> v;
            if (name.find('/') != std::string::npos) v = document.find(name, Lookup::Path);
            if (!v) v = document.find(name, a.noRecurse ? Lookup::Here : Lookup::Tree);
            if (!v) {
                if (a.hasDefault) std::cout << a.defaultText << '\n';
                return a.defaultOk ? kExitOk : kExitDefault;
            }
            std::cout << (v->is_error() || v->is_object() ? describe(*v) : v->to_text()) << '\n';
            return kExitOk;
        }
        if (command == "export") return export_command(a);
        if (command == "save" && a.positional.size() == 2) {
            std::string password;
            if (!read_password(a.passwordFile, password)) return kExitUsage;
            if (!import_file(*doc, a.positional[0])) return kExitFalse;
            if (!doc->SAVE(a.positional[1], password)) {
                std::cerr << "tr47ini: SAVE to " << a.positional[1] << " failed\n";
                return kExitFalse;
            }
            return kExitOk;
        }
        if (command == "load" && a.positional.size() == 1) {
            std::string password;
            if (!read_password(a.passwordFile, password)) return kExitUsage;
            if (!doc->LOAD(a.positional[0], password)) {
                std::cerr << "tr47ini: LOAD of " << a.positional[0] << " failed\n";
                return kExitFalse;
            }
            a.json ? print_json(*doc, std::cout) : print_text(*doc, std::cout);
            return kExitOk;
        }
    } catch (const Error& e) {
        std::cerr << "tr47ini: " << e.what() << '\n';
        return kExitFalse;
    }
    std::cerr << kUsage;
    return kExitUsage;
}

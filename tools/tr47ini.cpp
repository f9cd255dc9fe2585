// tr47ini: import, inspect, store and reload INI files from the command line.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
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
    "  tr47ini show FILE.ini [--json]\n"
    "  tr47ini get FILE.ini NAME [--default TEXT] [--no-recurse]\n"
    "  tr47ini save FILE.ini OUT [--password-file PATH]\n"
    "  tr47ini load OUT [--json] [--password-file PATH]\n"
    "  tr47ini register [SERVER.so]      (registry: $TR47_REGISTRY or ~/.local/share/tr47ini/registry)\n"
    "  tr47ini unregister [SERVER.so]\n";

const char* kind_name(std::int32_t kind) {
    switch (kind) {
    case ID_INIValueSort_String: return "String";
    case ID_INIValueSort_Long: return "Long";
    case ID_INIValueSort_Enum: return "Enum";
    case ID_INIValueSort_Double: return "Double";
    case ID_INIValueSort_Date: return "Date";
    case ID_INIValueSort_Boolean: return "Boolean";
    case ID_INIValueSort_Color: return "Color";
    default: return "Unknown";
    }
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
    std::vector<std::string> positional;
    bool json = false;
    bool noRecurse = false;
    bool hasDefault = false;
    std::string defaultText;
    std::string passwordFile;
};

bool parse_args(int argc, char** argv, Args& a) {
    for (int i = 2; i < argc; ++i) {
        std::string s = argv[i];
        if (s == "--json") {
            a.json = true;
        } else if (s == "--no-recurse") {
            a.noRecurse = true;
        } else if (s == "--default" && i + 1 < argc) {
            a.hasDefault = true;
            a.defaultText = argv[++i];
        } else if (s == "--password-file" && i + 1 < argc) {
            a.passwordFile = argv[++i];
        } else if (s.rfind("--", 0) == 0) {
            return false;
        } else {
            a.positional.push_back(s);
        }
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
    ::dlclose(h);
    if (result != 0) {
        std::cerr << "tr47ini: " << (add ? "registration" : "unregistration") << " failed\n";
        return kExitFalse;
    }
    std::cout << (add ? "registered " : "unregistered ") << path << " in "
              << tr47::server::Registry::default_path() << '\n';
    return kExitOk;
}

// Imports with messages on standard error; unicode paths are passed as given.
bool import_file(cls_INI& doc, const std::string& path) { return doc.IMPORT(path, true); }

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc < 2) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    const std::string command = argv[1];
    Args a;
    if (!parse_args(argc, argv, a)) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    if (command == "register" || command == "unregister")
        return a.positional.size() <= 1 ? registration(a.positional, command == "register") : kExitUsage;
    try {
        ref<cls_INI> doc = cls_INI::create();
        if (command == "show" && a.positional.size() == 1) {
            bool ok = import_file(*doc, a.positional[0]);
            a.json ? print_json(*doc, std::cout) : print_text(*doc, std::cout);
            return ok ? kExitOk : kExitFalse;
        }
        if (command == "get" && a.positional.size() == 2) {
            if (!import_file(*doc, a.positional[0])) return kExitFalse;
            const Variant sentinel(ErrorValue{hr::FAIL});
            Variant v = doc->VALUE(a.positional[1], sentinel, !a.noRecurse);
            if (v.same(sentinel)) {
                if (a.hasDefault) std::cout << a.defaultText << '\n';
                return kExitDefault;
            }
            std::cout << (v.is_error() || v.is_object() ? describe(v) : v.to_text()) << '\n';
            return kExitOk;
        }
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

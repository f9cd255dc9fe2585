// The project's registry file: one "key=value" line per entry, the keys
// laid out as the platform's registry (HKCR\CLSID\{...}\InprocServer32).
// Its location is $TR47_REGISTRY, else $XDG_DATA_HOME/tr47ini/registry,
// else ~/.local/share/tr47ini/registry.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace tr47::server {

class Registry {
public:
    static std::string default_path() {
        if (const char* p = std::getenv("TR47_REGISTRY"); p && *p) return p;
        std::string base;
        if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
            base = x;
        else if (const char* h = std::getenv("HOME"); h && *h)
            base = std::string(h) + "/.local/share";
        else
            base = "/tmp";
        return base + "/tr47ini/registry";
    }

    static Registry open_default() { return Registry(default_path()); }

    explicit Registry(std::string path) : path_(std::move(path)) {
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            std::size_t eq = line.find('=');
            if (eq == std::string::npos || line.empty() || line[0] == '#') continue;
            entries_[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }

    std::optional<std::string> get(const std::string& key) const {
        auto it = entries_.find(key);
        if (it == entries_.end()) return std::nullopt;
        return it->second;
    }
    void set(const std::string& key, const std::string& value) { entries_[key] = value; }
    void remove(const std::string& key) { entries_.erase(key); }
    std::size_t size() const { return entries_.size(); }

    // Writes the file through a temporary file renamed over it.
    void save() const {
        std::filesystem::path p(path_);
        if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
        std::string tmp = path_ + ".new";
        {
            std::ofstream out(tmp, std::ios::trunc);
            out << "# TR47_INI component registry\n";
            for (auto& [k, v] : entries_) out << k << '=' << v << '\n';
            out.flush();
            if (!out) throw std::runtime_error("cannot write " + tmp);
        }
        std::filesystem::rename(tmp, path_);
    }

private:
    std::string path_;
    std::map<std::string, std::string> entries_;
};

} // namespace tr47::server

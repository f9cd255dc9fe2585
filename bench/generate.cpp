#include "bench/generate.hpp"

#include <cstdio>
#include <random>

namespace tr47bench {

std::string letters(std::uint64_t index) {
    std::string out;
    do {
        out.insert(out.begin(), static_cast<char>('A' + index % 26));
        index /= 26;
    } while (index);
    return out;
}

namespace {

const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"};

// Pieces of value texts, shared by both generators.
void append_decimal(std::string& out, std::mt19937& rng, unsigned whole, unsigned fraction) {
    out += std::to_string(rng() % whole);
    out += '.';
    out += std::to_string(rng() % fraction);
}

// A yyyy-mm-dd date from 1990 on, within `years` years.
void append_date(std::string& out, std::mt19937& rng, unsigned years) {
    char date[16];
    std::snprintf(date, sizeof date, "%04u-%02u-%02u", unsigned(1990 + rng() % years), unsigned(1 + rng() % 12),
                  unsigned(1 + rng() % 28));
    out += date;
}

void append_colour(std::string& out, std::mt19937& rng) {
    out += std::to_string(rng() % 256) + "," + std::to_string(rng() % 256) + "," + std::to_string(rng() % 256);
}

// Appends one value text of a kind chosen by the generator: long, double,
// boolean word, date, colour, quoted string with a comma, plain string.
void append_value(std::string& out, std::mt19937& rng) {
    switch (rng() % 7) {
    case 0: out += std::to_string(rng() % 100000); break;
    case 1: append_decimal(out, rng, 1000, 100); break;
    case 2: out += (rng() & 1) ? "TRUE" : "nein"; break;
    case 3: append_date(out, rng, 30); break;
    case 4: append_colour(out, rng); break;
    case 5:
        out += '"';
        out += kWords[rng() % 8];
        out += ", ";
        out += kWords[rng() % 8];
        out += '"';
        break;
    default:
        out += kWords[rng() % 8];
        out += ' ';
        out += kWords[rng() % 8];
        out += ' ';
        out += kWords[rng() % 8];
        break;
    }
}

void append_group(Texts& t, const std::string& name, std::uint32_t values, bool shortKeys, std::mt19937& rng) {
    t.structured += "BEGIN " + name + "\n";
    t.flat += "[" + name + "]\n";
    std::string value;
    for (std::uint32_t v = 0; v < values; ++v) {
        const std::string key = shortKeys ? "Key" + letters(v) : "Entry" + letters(v);
        value.clear();
        append_value(value, rng);
        t.structured += "  " + key + "=" + value + "\n";
        t.flat += key + "=" + value + "\n";
    }
    t.structured += "END\n";
}

} // namespace

Texts generate_groups(std::uint32_t groups, std::uint32_t valuesPerGroup, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Texts t;
    t.structured.reserve(std::size_t(groups) * valuesPerGroup * 24);
    t.flat.reserve(std::size_t(groups) * valuesPerGroup * 22);
    t.structured += "// generated benchmark input\n";
    t.flat += "; generated benchmark input\n";
    for (std::uint32_t g = 0; g < groups; ++g) append_group(t, "Group" + letters(g), valuesPerGroup, true, rng);
    return t;
}

Texts generate_one_group(std::uint32_t values, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Texts t;
    append_group(t, "Everything", values, false, rng);
    return t;
}

namespace {

const char* const kTopics[] = {"Printer", "Network", "Display", "Database", "Logging", "Users",  "Paths", "Fonts",
                               "Colours", "Sound",   "Proxy",   "Backup",   "Window",  "Editor", "Cache", "Server"};
const char* const kKeys[] = {"Name",    "Port",     "Host",   "Timeout", "Enabled", "Colour", "Title",   "Path",
                             "Created", "Retries",  "Ratio",  "Comment", "Owner",   "Width",  "Height",  "Mode",
                             "Level",   "Language", "Format", "Limit",   "Address", "Scale",  "Updated", "Label"};
const char* const kText[] = {"Grüße aus Köln",        "naïve café",       "Ελληνικά",
                             "日本語のテキスト",      "plain words here", "C:\\Program Files\\TR47",
                             "/usr/local/share/tr47", "user@example.org"};

// One value text of a kind chosen like a settings file holds them.
void realistic_value(std::string& out, std::mt19937& rng) {
    switch (rng() % 10) {
    case 0: out += std::to_string(rng() % 65536); break;
    case 1: append_decimal(out, rng, 10000, 1000); break;
    case 2: out += (rng() & 1) ? "TRUE" : "FALSE"; break;
    case 3: append_date(out, rng, 35); break;
    case 4: append_colour(out, rng); break;
    case 5:
    case 6: {
        // A long quoted text, sometimes with a comma.
        out += '"';
        const unsigned words = 4 + rng() % 12;
        for (unsigned w = 0; w < words; ++w) {
            if (w) out += (rng() % 5 == 0) ? ", " : " ";
            out += kWords[rng() % 8];
        }
        out += '"';
        break;
    }
    case 7: out += kText[rng() % 8]; break;
    default:
        out += kWords[rng() % 8];
        out += ' ';
        out += kWords[rng() % 8];
        break;
    }
}

struct RealisticWriter {
    Realistic& r;
    std::mt19937& rng;
    std::uint64_t counter = 0;
    void line(std::string& out, const std::string& text) {
        out += text;
        out += "\r\n";
    }
    void group(std::vector<std::string>& path, int depth, std::uint32_t values) {
        const std::string name = std::string(kTopics[rng() % 16]) + letters(counter++);
        path.push_back(name);
        std::string section;
        for (const auto& p : path) section += (section.empty() ? "" : "/") + p;
        std::string& s = r.texts.structured;
        std::string& f = r.texts.flat;
        const std::string indent(2 * (path.size() - 1), ' ');
        if (rng() % 3 == 0) line(s, indent + "// " + kWords[rng() % 8] + " settings of " + name);
        line(s, indent + "BEGIN " + name);
        line(f, "[" + section + "]");
        GroupNames g{section, {}};
        std::string value;
        for (std::uint32_t v = 0; v < values; ++v) {
            std::string key = kKeys[v % 24];
            if (v >= 24) key += letters(v / 24);
            value.clear();
            realistic_value(value, rng);
            if (rng() % 8 == 0) line(s, indent + "  ' " + kWords[rng() % 8] + " " + kWords[rng() % 8]);
            line(s, indent + "  " + key + "=" + value);
            line(f, key + "=" + value);
            g.names.push_back(std::move(key));
        }
        r.groups.push_back(std::move(g));
        if (depth > 1) {
            const unsigned children = rng() % 3;
            for (unsigned c = 0; c < children; ++c) group(path, depth - 1, 3 + rng() % 12);
        }
        line(s, indent + "END");
        path.pop_back();
    }
};

} // namespace

Realistic generate_realistic(std::size_t bytes, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Realistic r;
    r.texts.structured.reserve(bytes + 4096);
    r.texts.flat.reserve(bytes + 4096);
    r.texts.structured += "// Settings, written by hand and by programs\r\n";
    r.texts.flat += "; Settings, written by hand and by programs\r\n";
    RealisticWriter w{r, rng};
    std::vector<std::string> path;
    while (r.texts.structured.size() < bytes) {
        // Mostly small groups nested up to four deep; now and then a wide one.
        const bool wide = rng() % 50 == 0;
        w.group(path, wide ? 1 : 1 + static_cast<int>(rng() % 4), wide ? 500 + rng() % 1500 : 3 + rng() % 12);
    }
    return r;
}

std::string generate_deep(std::uint32_t depth) {
    std::string out;
    for (std::uint32_t d = 0; d < depth; ++d) out += "BEGIN Level" + letters(d) + "\n  Filler=" + letters(d) + "\n";
    out += "Target=42\n";
    for (std::uint32_t d = 0; d < depth; ++d) out += "END\n";
    return out;
}

} // namespace tr47bench

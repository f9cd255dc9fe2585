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

// Appends one value text of a kind chosen by the generator: long, double,
// boolean word, date, colour, quoted string with a comma, plain string.
void append_value(std::string& out, std::mt19937& rng) {
    switch (rng() % 7) {
    case 0: out += std::to_string(rng() % 100000); break;
    case 1:
        out += std::to_string(rng() % 1000);
        out += '.';
        out += std::to_string(rng() % 100);
        break;
    case 2: out += (rng() & 1) ? "TRUE" : "nein"; break;
    case 3: {
        char date[16];
        std::snprintf(date, sizeof date, "%04u-%02u-%02u", unsigned(1990 + rng() % 30), unsigned(1 + rng() % 12),
                      unsigned(1 + rng() % 28));
        out += date;
        break;
    }
    case 4:
        out += std::to_string(rng() % 256) + "," + std::to_string(rng() % 256) + "," + std::to_string(rng() % 256);
        break;
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

std::string generate_deep(std::uint32_t depth) {
    std::string out;
    for (std::uint32_t d = 0; d < depth; ++d) out += "BEGIN Level" + letters(d) + "\n  Filler=" + letters(d) + "\n";
    out += "Target=42\n";
    for (std::uint32_t d = 0; d < depth; ++d) out += "END\n";
    return out;
}

} // namespace tr47bench

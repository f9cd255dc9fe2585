// Deterministic generators of benchmark input: the same seed gives the same
// bytes on every machine (std::mt19937 is fully specified).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tr47bench {

// Letters-only name for an index ("the digit 6 is not a name character", so
// decimal indexes cannot be used in names).
std::string letters(std::uint64_t index);

struct Texts {
    std::string structured; // BEGIN/END groups, typed values
    std::string flat; // the same content as [section] key=value lines
};

// `groups` groups of `valuesPerGroup` values of mixed kinds.
Texts generate_groups(std::uint32_t groups, std::uint32_t valuesPerGroup, std::uint32_t seed = 4711);

// One group holding `values` values.
Texts generate_one_group(std::uint32_t values, std::uint32_t seed = 4711);

// Settings files as users keep them: comments, long quoted texts, numbers,
// dates, booleans, colours, UTF-8 text, CRLF line ends, groups nested one to
// four deep and a few wide ones. The flat form names each section by the
// group's path ("Printer/Fonts"); `groups` lists every group with the names
// of its values, in file order, for the look-up jobs.
struct GroupNames {
    std::string section; // the path of group names, as the flat form's section name
    std::vector<std::string> names; // value names
};
struct Realistic {
    Texts texts;
    std::vector<GroupNames> groups;
};
Realistic generate_realistic(std::size_t bytes, std::uint32_t seed = 4711);

// A chain of `depth` nested groups, the looked-up value in the innermost.
std::string generate_deep(std::uint32_t depth);

} // namespace tr47bench

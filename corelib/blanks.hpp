// Trimming blanks where it runs once per line or value: inline, and with
// the usual case (no blank at either end) decided by two comparisons.
#pragma once

#include <string_view>

namespace tr47::detail {

// The text without the blanks (U+0020 only) at both ends.
inline std::string_view without_blank_ends(std::string_view t) noexcept {
    if (t.empty() || (t.front() != ' ' && t.back() != ' ')) return t;
    std::size_t a = 0, b = t.size();
    while (a < b && t[a] == ' ') ++a;
    while (b > a && t[b - 1] == ' ') --b;
    return {t.data() + a, b - a};
}

} // namespace tr47::detail

#include "corelib/numbers.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include "corelib/blanks.hpp"
#include "corelib/utf.hpp"
#include "tr47ini/corelib.hpp"

namespace tr47 {
namespace detail {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether c is one of the few characters of a set (a plain loop: the sets
// hold at most three characters, and this runs per character of a number).
bool in_set(std::string_view set, char c) {
    for (char k : set)
        if (k == c) return true;
    return false;
}

// Scanner over a text that ignores the characters in skip.
struct Scanner {
    std::string_view text;
    std::string_view skip;
    std::size_t pos = 0;
    void settle() {
        while (pos < text.size() && in_set(skip, text[pos])) ++pos;
    }
    bool done() {
        settle();
        return pos >= text.size();
    }
    char peek() {
        settle();
        return pos < text.size() ? text[pos] : '\0';
    }
    char peek_next() {
        settle();
        std::size_t p = pos + 1;
        while (p < text.size() && in_set(skip, text[p])) ++p;
        return p < text.size() ? text[p] : '\0';
    }
    void next() { ++pos; }
};

// [+-]digits[mark digits] at the start of t with at most 15 digits in all:
// the digits as an integer are exact in a double, and one division by an
// exact power of ten rounds correctly, as the general reader would. Answers
// the length read, 0 when t does not start so (or needs the general reader).
// A text may start with the mark (".5") only if leadingMark.
std::size_t read_plain_decimal(std::string_view t, std::string_view marks, bool leadingMark, double& out) {
    std::size_t i = 0;
    const bool negative = !t.empty() && t[0] == '-';
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) ++i;
    std::uint64_t digits = 0;
    int count = 0, decimals = 0;
    for (; i < t.size() && is_digit(t[i]); ++i, ++count) digits = digits * 10 + static_cast<std::uint64_t>(t[i] - '0');
    if (count == 0 && !leadingMark) return 0;
    if (i < t.size() && in_set(marks, t[i]))
        for (++i; i < t.size() && is_digit(t[i]); ++i, ++count, ++decimals)
            digits = digits * 10 + static_cast<std::uint64_t>(t[i] - '0');
    if (count == 0 || count > 15) return 0;
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const double v = static_cast<double>(digits) / kPow10[decimals];
    out = negative ? -v : v;
    return i;
}

} // namespace

bool read_number_prefix(std::string_view text, std::string_view marks, std::string_view skip, double& out) {
    // A plain decimal that no skipped character, exponent or further mark
    // continues reads without the scanner.
    if (const std::size_t n = read_plain_decimal(text, marks, false, out)) {
        const auto goes_on = [&](char c) {
            return in_set(skip, c) || in_set(marks, c) || is_digit(c) || c == 'E' || c == 'e' || c == 'D' || c == 'd';
        };
        if (n == text.size() || !goes_on(text[n])) return true;
    }
    Scanner s{text, skip};
    out = 0.0;
    if (s.peek() == '&') {
        char kind = s.peek_next();
        int base = (kind == 'H' || kind == 'h') ? 16 : (kind == 'O' || kind == 'o') ? 8 : 0;
        if (base == 0) return false;
        s.next();
        s.next();
        double v = 0;
        bool any = false;
        for (;;) {
            int d = hex_value(s.peek());
            if (d < 0 || d >= base) break;
            v = v * base + d;
            any = true;
            s.next();
        }
        out = v;
        return any;
    }
    std::string buf;
    if (s.peek() == '+' || s.peek() == '-') {
        buf += s.peek();
        s.next();
    }
    bool digits = false;
    while (is_digit(s.peek())) {
        buf += s.peek();
        s.next();
        digits = true;
    }
    if (!s.done() && in_set(marks, s.peek()) && is_digit(s.peek_next())) {
        buf += '.';
        s.next();
        while (is_digit(s.peek())) {
            buf += s.peek();
            s.next();
            digits = true;
        }
    } else if (digits && !s.done() && in_set(marks, s.peek())) {
        s.next(); // "5." reads as 5
    }
    if (!digits) return false;
    char e = s.peek();
    if (e == 'E' || e == 'e' || e == 'D' || e == 'd') {
        std::size_t save = s.pos;
        std::string exp = "e";
        s.next();
        if (s.peek() == '+' || s.peek() == '-') {
            exp += s.peek();
            s.next();
        }
        bool expDigits = false;
        while (is_digit(s.peek())) {
            exp += s.peek();
            s.next();
            expDigits = true;
        }
        if (expDigits)
            buf += exp;
        else
            s.pos = save;
    }
    double v = 0;
    const char* first = buf.data();
    if (*first == '+') ++first;
    auto res = std::from_chars(first, buf.data() + buf.size(), v);
    if (res.ec == std::errc::result_out_of_range) {
        // Beyond the range of a double: the text still names a number.
        v = (buf[0] == '-') ? -HUGE_VAL : HUGE_VAL;
        if (buf.find("e-") != std::string::npos) v = 0.0;
    }
    out = v;
    // Position past the number, for full-text checks.
    s.settle();
    return true;
}

bool parse_full_number(std::string_view text, double& out) {
    std::string_view t = detail::without_blank_ends(text);
    // Only a digit, sign, mark or '&' can start a number.
    if (t.empty() || !(is_digit(t[0]) || t[0] == '-' || t[0] == '+' || t[0] == '.' || t[0] == ',' || t[0] == '&'))
        return false;
    if (read_plain_decimal(t, ".,", true, out) == t.size()) return true;
    // Re-scan to make sure nothing follows the number.
    std::size_t i = 0;
    auto digit_run = [&](int base) {
        std::size_t start = i;
        while (i < t.size() && hex_value(t[i]) >= 0 && hex_value(t[i]) < base) ++i;
        return i > start;
    };
    if (t[0] == '&') {
        if (t.size() < 3) return false;
        char k = t[1];
        int base = (k == 'H' || k == 'h') ? 16 : (k == 'O' || k == 'o') ? 8 : 0;
        if (base == 0) return false;
        i = 2;
        if (!digit_run(base) || i != t.size()) return false;
    } else {
        if (t[i] == '+' || t[i] == '-') ++i;
        bool a = digit_run(10);
        bool b = false;
        if (i < t.size() && (t[i] == '.' || t[i] == ',')) {
            ++i;
            b = digit_run(10);
        }
        if (!a && !b) return false;
        if (i < t.size() && (t[i] == 'E' || t[i] == 'e' || t[i] == 'D' || t[i] == 'd')) {
            ++i;
            if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
            if (!digit_run(10)) return false;
        }
        if (i != t.size()) return false;
    }
    return read_number_prefix(t, ".,", {}, out);
}

} // namespace detail

double leading_number(std::string_view text) {
    double v = 0;
    detail::read_number_prefix(text, ".", " \t\n", v);
    return v;
}

double GlobalObject::parse_number(std::string_view text) const {
    double v = 0;
    detail::read_number_prefix(text, ".,", " \t", v);
    return v;
}

namespace detail {

namespace {

bool is_ascii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Plain ASCII upper-cases letter by letter; a locale's dotted I cannot
// matter, as none of the words compared holds an I.
bool ascii_upper_equals(std::string_view text, std::string_view upperWord) {
    if (text.size() != upperWord.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c != upperWord[i]) return false;
    }
    return true;
}

// The text up to the end of its n-th character as upper() steps through
// it (a code point, or a byte that is no UTF-8), or all of it. upper() maps
// character by character, so the upper case of this part is the start of
// the upper case of the text.
std::string_view first_characters(std::string_view text, std::size_t n) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t i = 0;
    for (; n > 0 && i < text.size(); --n) {
        if (s[i] < 0x80)
            ++i;
        else
            utf8_next(s, i, text.size());
    }
    return text.substr(0, i);
}

} // namespace

bool upper_starts_with(std::string_view text, std::string_view upperPrefix) {
    // Only as many characters as the (ASCII) prefix holds can make it: each
    // other one upper-cases to a character of its own.
    if (!is_ascii(text)) return upper(first_characters(text, upperPrefix.size())).rfind(upperPrefix, 0) == 0;
    return text.size() >= upperPrefix.size() && ascii_upper_equals(text.substr(0, upperPrefix.size()), upperPrefix);
}

bool is_boolean_word(std::string_view text, bool* value) {
    static constexpr std::string_view words[] = {"TRUE", "WAHR", "YES", "JA", "FALSE", "FALSCH", "NO", "NEIN"};
    const bool ascii = is_ascii(text);
    // An ASCII text upper-cases to the same length: only words of its length
    // can match. Other texts are upper-cased once for all eight words, if
    // they are no longer than the longest (upper() maps character by
    // character).
    if (ascii && (text.size() < 2 || text.size() > 6)) return false;
    if (!ascii && first_characters(text, 6).size() < text.size()) return false;
    const std::string u = ascii ? std::string() : upper(text);
    for (int i = 0; i < 8; ++i)
        if (ascii ? ascii_upper_equals(text, words[i]) : u == words[i]) {
            if (value) *value = i < 4;
            return true;
        }
    return false;
}

namespace {
// classify_text on a trimmed text; `ascii` when it is known to hold only
// ASCII characters. `booleanWord` hears of a boolean word: 0 false, 1 true.
std::int32_t classify_trimmed(std::string_view t, double* fullNumber, bool ascii, int* booleanWord) {
    if (t.empty()) return 0;
    double d = 0;
    if (detail::parse_full_number(t, d)) {
        if (fullNumber) *fullNumber = d;
        return 1;
    }
    bool flag = false;
    if (ascii || is_ascii(t)) {
        // ASCII: only TRUE, WAHR, YES, JA, FALSE, FALSCH, NO, NEIN and ENUM(
        // can match, each by its first letter in either case.
        const int first = t[0] & ~0x20;
        const bool wordStart =
            first == 'T' || first == 'W' || first == 'Y' || first == 'J' || first == 'F' || first == 'N';
        if (wordStart && t.size() >= 2 && t.size() <= 6 && is_boolean_word(t, &flag)) {
            if (booleanWord) *booleanWord = flag ? 1 : 0;
            return 1;
        }
        if (first == 'E' && t.size() >= 5 && ascii_upper_equals(t.substr(0, 5), "ENUM(")) return 1;
    } else if (is_boolean_word(t, nullptr)) {
        return 1;
    } else if (const std::size_t paren = t.find('(');
               paren != std::string_view::npos && paren < 5 * 4 && upper_starts_with(t, "ENUM(")) {
        // The bracket comes as itself within the first five characters.
        return 1;
    }
    // Three numeric fields with one separator and a four-digit year at one
    // end. Only the 10-character form is a date candidate; shorter forms
    // stay texts rather than be read as a number.
    auto shape = [](std::string_view s) {
        auto isSep = [](char c) { return c == '.' || c == '/' || c == '-'; };
        std::size_t a = 0;
        while (a < s.size() && !isSep(s[a])) ++a;
        if (a == s.size()) return false;
        const char sep = s[a];
        std::size_t b = a + 1;
        while (b < s.size() && s[b] != sep) ++b;
        if (b == s.size()) return false;
        for (std::size_t i = b + 1; i < s.size(); ++i)
            if (isSep(s[i])) return false;
        std::string_view f[3] = {s.substr(0, a), s.substr(a + 1, b - a - 1), s.substr(b + 1)};
        for (auto& x : f) {
            if (x.empty() || x.size() > 4) return false;
            for (char c : x)
                if (c < '0' || c > '9') return false;
        }
        bool yearFirst = f[0].size() == 4 && f[1].size() <= 2 && f[2].size() <= 2;
        bool yearLast = f[2].size() == 4 && f[0].size() <= 2 && f[1].size() <= 2;
        return yearFirst || yearLast;
    };
    // Three fields of up to four digits and two separators: 14 at most.
    if (t.size() <= 14 && shape(t)) return t.size() == 10 ? 2 : 3;
    return 3;
}
} // namespace

std::int32_t classify_text(std::string_view text, double* fullNumber) {
    return classify_trimmed(detail::without_blank_ends(text), fullNumber, false, nullptr);
}

std::int32_t classify_ascii_text(std::string_view trimmed, double* fullNumber, int* booleanWord) {
    return classify_trimmed(trimmed, fullNumber, true, booleanWord);
}

} // namespace detail

std::int32_t Toolkit::classify(std::string_view text, std::string_view /*decimalMark*/) const {
    return detail::classify_text(text, nullptr);
}

} // namespace tr47

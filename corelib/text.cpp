#include <clocale>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include "corelib/locale.hpp"
#include "tr47ini/corelib.hpp"

namespace tr47 {
namespace detail {

std::string system_locale_name(int category) {
    const char* name = std::setlocale(category, nullptr);
    std::string n = name ? name : "";
    auto unset = [](const std::string& s) { return s.empty() || s == "C" || s == "POSIX"; };
    if (unset(n)) {
        const char* catVar = category == LC_TIME ? "LC_TIME" : "LC_CTYPE";
        for (const char* var : {"LC_ALL", catVar, "LANG"}) {
            const char* v = std::getenv(var);
            if (v && !unset(v)) {
                n = v;
                break;
            }
        }
    }
    if (unset(n) || n.find('=') != std::string::npos) return "en_US";
    n = n.substr(0, n.find_first_of(".@"));
    return n;
}

namespace {
// Turkish and Azeri upper-case the dotted i to İ.
bool dotted_i_locale() {
    static thread_local std::string cached;
    static thread_local bool answer = false;
    const char* now = std::setlocale(LC_CTYPE, nullptr);
    std::string key = now ? now : "";
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(var);
        key += '|';
        key += v ? v : "";
    }
    if (key != cached || cached.empty()) {
        cached = key;
        std::string n = system_locale_name(LC_CTYPE);
        answer = n.rfind("tr", 0) == 0 || n.rfind("az", 0) == 0;
    }
    return answer;
}
} // namespace

} // namespace detail

std::string upper(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool dotted = false;
    bool dottedKnown = false;
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    std::int32_t len = static_cast<std::int32_t>(text.size());
    std::int32_t i = 0;
    while (i < len) {
        std::uint8_t c = s[i];
        if (c < 0x80) {
            if (c >= 'a' && c <= 'z') {
                if (c == 'i') {
                    if (!dottedKnown) {
                        dotted = detail::dotted_i_locale();
                        dottedKnown = true;
                    }
                    if (dotted) {
                        out += "\xC4\xB0";
                        ++i;
                        continue;
                    }
                }
                out += static_cast<char>(c - 32);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        std::int32_t start = i;
        UChar32 cp;
        U8_NEXT(s, i, len, cp);
        if (cp < 0) {
            // Not UTF-8: keep the bytes as they are.
            out.append(text.data() + start, static_cast<std::size_t>(i - start));
            continue;
        }
        // Simple (one-to-one) mapping: ß and other letters whose upper case
        // is several letters stay unchanged.
        UChar32 up = u_toupper(cp);
        char buf[4];
        std::int32_t n = 0;
        UBool err = false;
        U8_APPEND(buf, n, 4, up, err);
        if (err)
            out.append(text.data() + start, static_cast<std::size_t>(i - start));
        else
            out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string_view trim_blanks(std::string_view t) noexcept {
    std::size_t a = 0, b = t.size();
    while (a < b && t[a] == ' ') ++a;
    while (b > a && t[b - 1] == ' ') --b;
    return t.substr(a, b - a);
}

std::string normalise_key(std::string_view text) { return upper(trim_blanks(text)); }

bool keys_equal(std::string_view a, std::string_view b) {
    a = trim_blanks(a);
    b = trim_blanks(b);
    // Fast path: equal bytes are equal keys.
    if (a == b) return true;
    return upper(a) == upper(b);
}

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    std::int32_t len = static_cast<std::int32_t>(text.size());
    std::int32_t i = 0;
    while (i < len) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        UChar32 cp;
        U8_NEXT(s, i, len, cp);
        if (cp < 0) return false;
    }
    return true;
}

std::string windows1252_to_utf8(std::string_view text) {
    icu::UnicodeString u(text.data(), static_cast<std::int32_t>(text.size()), "windows-1252");
    std::string out;
    u.toUTF8String(out);
    return out;
}

} // namespace tr47

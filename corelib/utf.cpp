#include "corelib/utf.hpp"

namespace tr47::detail {

std::int32_t utf8_next(const std::uint8_t* s, std::size_t& i, std::size_t len) noexcept {
    const std::uint8_t c = s[i++];
    if (c < 0x80) return c;
    int more;
    std::int32_t cp;
    std::uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        more = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        more = 2;
        cp = c & 0x0F;
        if (c == 0xE0)
            lo = 0xA0; // overlong
        else if (c == 0xED)
            hi = 0x9F; // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        more = 3;
        cp = c & 0x07;
        if (c == 0xF0)
            lo = 0x90; // overlong
        else if (c == 0xF4)
            hi = 0x8F; // past U+10FFFF
    } else {
        return -1;
    }
    for (int k = 0; k < more; ++k) {
        if (i >= len) return -1;
        const std::uint8_t b = s[i];
        if (b < (k == 0 ? lo : 0x80) || b > (k == 0 ? hi : 0xBF)) return -1;
        cp = (cp << 6) | (b & 0x3F);
        ++i;
    }
    return cp;
}

void utf8_append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::size_t utf8_last_start(std::string_view s) noexcept {
    const auto* b = reinterpret_cast<const std::uint8_t*>(s.data());
    const std::size_t n = s.size();
    if (n == 0) return 0;
    // A code point is at most four bytes: its lead byte is among the last four.
    for (std::size_t k = n; k-- > 0 && n - k <= 4;) {
        if ((b[k] & 0xC0) == 0x80) continue;
        std::size_t i = k;
        return utf8_next(b, i, n) >= 0 && i == n ? k : n - 1;
    }
    return n - 1;
}

std::string utf16_to_utf8(const char16_t* s, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        char32_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            u = 0xFFFD;
        }
        utf8_append(out, u);
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        std::int32_t cp = utf8_next(s, i, text.size());
        if (cp < 0) cp = 0xFFFD;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

#ifdef _WIN32
std::wstring utf8_to_wide(std::string_view text) {
    const std::u16string u = utf8_to_utf16(text);
    return std::wstring(u.begin(), u.end());
}

std::string wide_to_utf8(std::wstring_view text) {
    return utf16_to_utf8(reinterpret_cast<const char16_t*>(text.data()), text.size());
}
#endif

} // namespace tr47::detail

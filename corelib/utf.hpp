// UTF-8 and UTF-16 conversions the library needs on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tr47::detail {

// Decodes the code point at s[i], advancing i past it. Ill-formed input
// (overlong forms, surrogates, values past U+10FFFF, cut sequences) answers
// -1 and advances past the longest ill-formed prefix, at least one byte.
std::int32_t utf8_next(const std::uint8_t* s, std::size_t& i, std::size_t len) noexcept;
void utf8_append(std::string& out, char32_t cp);
// Where the last character of s starts: the start of its last code point,
// or, when s ends in ill-formed bytes, its last byte. s.size() for "".
std::size_t utf8_last_start(std::string_view s) noexcept;

// Lone surrogates and ill-formed bytes become U+FFFD.
std::string utf16_to_utf8(const char16_t* s, std::size_t length);
std::u16string utf8_to_utf16(std::string_view text);

#ifdef _WIN32
// The platform's wide strings are UTF-16.
std::wstring utf8_to_wide(std::string_view text);
std::string wide_to_utf8(std::wstring_view text);
#endif

} // namespace tr47::detail

#include <cstring>

#include "corelib/ascii_words.hpp"
#include "corelib/blanks.hpp"
#include "corelib/key_hash.hpp"
#include "corelib/platform.hpp"
#include "corelib/utf.hpp"
#include "tr47ini/corelib.hpp"

namespace tr47 {

namespace {
// Turkish and Azeri upper-case the dotted i to İ.
bool dotted_i_locale() { return detail::platform::upper_cases_i_dotted(); }

constexpr char ascii_upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Whether a text is ASCII, and whether it holds an i (the one ASCII letter
// whose upper case depends on the locale).
bool ascii_text(std::string_view text, bool& hasI) noexcept {
    hasI = false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
        hasI = hasI || c == 'i';
    }
    return true;
}

using detail::ascii_upper_word;
using detail::kHighBits;
using detail::word_at;

// Whether a word of ASCII bytes holds an i.
constexpr bool holds_i(std::uint64_t w) noexcept { return detail::holds_byte(w, 'i'); }

// The general comparison: the key (trimmed) upper-cases to `normalised`.
bool upper_matches(std::string_view key, std::string_view normalised) { return upper(key) == normalised; }

// Appends the simple upper case of a text: an ASCII i becomes what
// iUpper() says; with foldDotted, a capital İ becomes I.
template <class IUpper>
void append_upper(std::string& out, std::string_view text, IUpper&& iUpper, bool foldDotted) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t len = text.size();
    std::size_t i = 0;
    while (i < len) {
        std::uint8_t c = s[i];
        if (c < 0x80) {
            if (c == 'i')
                out += iUpper();
            else
                out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
            ++i;
            continue;
        }
        const std::size_t start = i;
        const std::int32_t cp = detail::utf8_next(s, i, len);
        if (cp < 0) {
            // Not UTF-8: keep the bytes as they are.
            out.append(text.data() + start, i - start);
            continue;
        }
        // Simple (one-to-one) mapping: ß and other letters whose upper case
        // is several letters stay unchanged.
        const char32_t up = detail::platform::simple_upper(static_cast<char32_t>(cp));
        if (up > 0x10FFFF || (up >= 0xD800 && up <= 0xDFFF))
            out.append(text.data() + start, i - start);
        else if (foldDotted && up == 0x130)
            out += 'I';
        else
            detail::utf8_append(out, up);
    }
}
} // namespace

std::string upper(std::string_view text) {
    bool hasI = false;
    if (ascii_text(text, hasI) && !(hasI && dotted_i_locale())) {
        std::string out(text);
        for (char& c : out) c = ascii_upper(c);
        return out;
    }
    std::string out;
    out.reserve(text.size());
    int dotted = -1; // asked at the first i
    append_upper(
        out, text,
        [&] {
            if (dotted < 0) dotted = dotted_i_locale() ? 1 : 0;
            return dotted ? "\xC4\xB0" : "I";
        },
        false);
    return out;
}

std::string_view trim_blanks(std::string_view t) noexcept { return detail::without_blank_ends(t); }

std::string normalise_key(std::string_view text) { return upper(trim_blanks(text)); }

bool keys_equal(std::string_view a, std::string_view b) {
    a = trim_blanks(a);
    b = trim_blanks(b);
    // Fast path: equal bytes are equal keys.
    if (a == b) return true;
    bool aI = false, bI = false;
    if (ascii_text(a, aI) && ascii_text(b, bI) && !((aI || bI) && dotted_i_locale())) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
        return true;
    }
    return upper(a) == upper(b);
}

bool key_matches(std::string_view key, std::string_view normalised) {
    return detail::key_matches(key, normalised, detail::CaseRules());
}

namespace detail {

bool CaseRules::dots_i() const {
    if (dotted_ < 0) dotted_ = platform::upper_cases_i_dotted() ? 1 : 0;
    return dotted_ != 0;
}

bool key_matches(std::string_view key, std::string_view normalised, const CaseRules& rules) {
    if (first_letters_differ(key, normalised)) return false;
    key = without_blank_ends(key);
    const char* k = key.data();
    const std::size_t n = key.size();
    bool hasI = false;
    if (n != normalised.size()) {
        // An ASCII key upper-cases to as many bytes as it has, unless an i
        // becomes İ.
        for (std::size_t i = 0; i < n; i += 8) {
            const std::uint64_t w = word_at(k + i, n - i);
            if ((w & kHighBits) || (holds_i(w) && rules.dots_i())) return upper_matches(key, normalised);
        }
        return false;
    }
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t w = word_at(k + i, n - i);
        if (w & kHighBits) return upper_matches(key, normalised);
        hasI = hasI || holds_i(w);
        if (ascii_upper_word(w) != word_at(normalised.data() + i, n - i)) {
            // Letters before the first i upper-case in place under any
            // rules; from a dotted İ on, the bytes shift.
            return hasI && rules.dots_i() && upper_matches(key, normalised);
        }
    }
    // The locale matters only for an i, and is asked only then.
    return !hasI || !rules.dots_i();
}

std::uint32_t hash_bytes(std::string_view bytes) noexcept {
    // Eight bytes per step, or two loads for up to 16 bytes: names are
    // short, and multiplies mix enough for a table that takes its slot from
    // any of the bits.
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    if (n <= 16) {
        // Most names: two words, overlapping when shorter.
        const std::uint64_t a = word_at(p, n), b = n > 8 ? word_at(p + n - 8, 8) : 0;
        std::uint64_t h = ((a ^ 0x9E3779B97F4A7C15ull) * 0xFF51AFD7ED558CCDull) ^ (b + n);
        h *= 0xC4CEB9FE1A85EC53ull;
        h ^= h >> 29;
        h *= 0xFF51AFD7ED558CCDull;
        return static_cast<std::uint32_t>(h ^ (h >> 32));
    }
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    if (n > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    }
    h ^= h >> 29;
    h *= 0xC4CEB9FE1A85EC53ull;
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

namespace {
// The mix of a folded key's words (the same for the fast and the general
// path, so that a key beyond ASCII that folds to ASCII hashes as that).
struct FoldMix {
    std::uint64_t h;
    explicit FoldMix(std::size_t n) : h(n) {}
    void add(std::uint64_t upperWord) {
        h = (h ^ upperWord) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    std::uint32_t result() const {
        const std::uint64_t x = h * 0xC4CEB9FE1A85EC53ull;
        return static_cast<std::uint32_t>(x ^ (x >> 32));
    }
};
} // namespace

std::uint32_t folded_key_hash(std::string_view key) {
    // Two keys that match under some locale's rules have the same upper case
    // under those rules; it differs from the upper case without a dotted
    // capital only where an i became İ. Folding İ to I makes both one.
    key = without_blank_ends(key);
    const std::size_t n = key.size();
    FoldMix mix(n);
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t w = word_at(key.data() + i, n - i);
        if (w & kHighBits) {
            std::string folded;
            folded.reserve(n);
            append_upper(
                folded, key, [] { return "I"; }, true);
            FoldMix general(folded.size());
            for (std::size_t k = 0; k < folded.size(); k += 8)
                general.add(word_at(folded.data() + k, folded.size() - k));
            return general.result();
        }
        mix.add(ascii_upper_word(w));
    }
    return mix.result();
}

std::uint8_t key_tag(std::string_view key) { return tag_of_folded(folded_key_hash(key)); }

NormalisedKey::NormalisedKey(std::string_view key) {
    key = without_blank_ends(key);
    written_ = key;
    const std::size_t n = key.size();
    if (n <= kShort) {
        // Whole words are written: kShort is a multiple of eight.
        static_assert(kShort % 8 == 0);
        bool ascii = true, hasI = false;
        for (std::size_t i = 0; ascii && i < n; i += 8) {
            const std::uint64_t w = word_at(key.data() + i, n - i);
            ascii = (w & kHighBits) == 0;
            hasI = hasI || holds_i(w);
            const std::uint64_t up = ascii_upper_word(w);
            std::memcpy(short_ + i, &up, 8);
        }
        if (ascii && !(hasI && rules_.dots_i())) {
            text_ = {short_, n};
            return;
        }
    }
    long_ = upper(key);
    text_ = long_;
}

} // namespace detail

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t len = text.size();
    std::size_t i = 0;
    while (i < len) {
        // Runs of ASCII, eight bytes at a time.
        while (i + 8 <= len) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & kHighBits) break;
            i += 8;
        }
        if (i >= len) break;
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        if (detail::utf8_next(s, i, len) < 0) return false;
    }
    return true;
}

std::string windows1252_to_utf8(std::string_view text) {
    // 0x80-0x9F differ from Latin-1; the five unassigned bytes keep their
    // control-character meaning, as the platform's own conversion does.
    static constexpr char16_t k80[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                         0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char ch : text) {
        const auto c = static_cast<std::uint8_t>(ch);
        detail::utf8_append(out, c >= 0x80 && c < 0xA0 ? k80[c - 0x80] : c);
    }
    return out;
}

} // namespace tr47

// Text services: lists cut at separators, unquoting, numbers and dates read
// from text, upper case and keys beyond ASCII, UTF-8 and UTF-16, and the
// locale where it matters.
#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>
#include <string>

#include "corelib/key_hash.hpp"
#include "corelib/platform.hpp"
#include "corelib/utf.hpp"
#include "tests/support/helpers.hpp"
#include "tests/support/locale_scope.hpp"

using namespace tr47;
using tr47::test::Items;
using tr47::test::LocaleScope;

namespace {
std::vector<std::string> split(std::string_view text, std::string_view sep = ",") {
    return GlobalObject::instance().toolkit().split(text, sep, "(", ")", "\"")->items();
}

} // namespace

TEST(ListSplitter, CutsOutsideBracketsAndQuotes) {
    EXPECT_EQ(split("a,b,c"), (Items{"a", "b", "c"}));
    EXPECT_EQ(split("(1,5),2"), (Items{"(1,5)", "2"}));
    EXPECT_EQ(split("\"a,b\",c"), (Items{"\"a,b\"", "c"}));
    EXPECT_EQ(split("f(g(1,2),3),4"), (Items{"f(g(1,2),3)", "4"}));
    EXPECT_EQ(split("\"(\",x"), (Items{"\"(\"", "x"})); // a bracket inside quotes does not nest
    EXPECT_EQ(split(" a , b "), (Items{"a", "b"}));
    EXPECT_EQ(split("a,"), (Items{"a", ""}));
    EXPECT_EQ(split(""), (Items{""}));
    EXPECT_EQ(split("a)b,c"), (Items{"a)b", "c"})); // a stray closing bracket is text
    // With a blank as separator a run of blanks is one cut.
    EXPECT_EQ(split("Fonts  Printer", " "), (Items{"Fonts", "Printer"}));
    EXPECT_EQ(split("\"a b\" (c d)", " "), (Items{"\"a b\"", "(c d)"}));
    auto list = GlobalObject::instance().toolkit().split("x", ",", "(", ")", "\"");
    EXPECT_EQ(list->Item(2), ""); // past the end reads as empty
    EXPECT_THROW(list->Item(2, "y"), Error);

    // A bounded split: the last item is the rest of the text, uncut.
    const Toolkit& tk = GlobalObject::instance().toolkit();
    EXPECT_EQ(tk.split("a, (b,c) ,\"d,e\", f, g", ",", "(", ")", "\"", 4)->items(),
              (Items{"a", "(b,c)", "\"d,e\"", "f, g"}));
    EXPECT_EQ(tk.split("a,b,c", ",", "(", ")", "\"", 4)->items(), (Items{"a", "b", "c"}));
    EXPECT_EQ(tk.split("a   b  c d", " ", "(", ")", "\"", 2)->items(), (Items{"a", "b  c d"}));
    // No list holds more than 4,194,304 items: a line of commas cannot
    // cost 32 bytes per comma.
    const std::string commas(std::size_t{1} << 22, ',');
    try {
        tk.split(commas, ",", "(", ")", "\"");
        ADD_FAILURE() << "no limit error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), hr::LIMIT_EXCEEDED);
    }
    EXPECT_EQ(tk.split(commas, ",", "(", ")", "\"", 4)->COUNT(), 4);
}

TEST(Unquoter, RemovesOuterQuotesOnly) {
    const Toolkit& tk = GlobalObject::instance().toolkit();
    EXPECT_EQ(tk.unquote("\"abc\""), "abc");
    EXPECT_EQ(tk.unquote("abc"), "abc");
    EXPECT_EQ(tk.unquote("\"a\"\"b\""), "a\"b");
    EXPECT_EQ(tk.unquote("\"\""), "");
    EXPECT_EQ(tk.unquote("\""), "\"");
    EXPECT_EQ(tk.unquote("\"abc"), "\"abc");
}

TEST(NumberReading, ParserLeadingNumberAndClassifier) {
    const GlobalObject& g = GlobalObject::instance();
    EXPECT_DOUBLE_EQ(g.parse_number("1,5"), 1.5);
    EXPECT_DOUBLE_EQ(g.parse_number("1.5"), 1.5);
    EXPECT_DOUBLE_EQ(g.parse_number("-2,25e1"), -22.5);
    EXPECT_DOUBLE_EQ(g.parse_number("&HFF"), 255);
    EXPECT_DOUBLE_EQ(g.parse_number("abc"), 0);
    EXPECT_DOUBLE_EQ(g.parse_number(""), 0);

    EXPECT_DOUBLE_EQ(leading_number("1,5"), 1);
    EXPECT_DOUBLE_EQ(leading_number("0,5"), 0);
    EXPECT_DOUBLE_EQ(leading_number(" 1 2.5x"), 12.5); // blanks anywhere are skipped
    EXPECT_DOUBLE_EQ(leading_number("1.5D2"), 150);
    EXPECT_DOUBLE_EQ(leading_number("2e"), 2);
    EXPECT_DOUBLE_EQ(leading_number("&H1F"), 31);
    EXPECT_DOUBLE_EQ(leading_number("&o17"), 15);
    EXPECT_DOUBLE_EQ(leading_number("&X1"), 0);
    EXPECT_DOUBLE_EQ(leading_number("12pt"), 12);
    EXPECT_DOUBLE_EQ(leading_number(".5"), 0.5);
    EXPECT_TRUE(std::isinf(leading_number("1e999")));
    // Where a plain decimal goes on: skipped blanks, exponents, a second mark.
    EXPECT_EQ(leading_number("5. 3"), 5.3);
    EXPECT_EQ(leading_number("12 34"), 1234);
    EXPECT_EQ(leading_number("1.2.3"), 1.2);
    EXPECT_EQ(leading_number("5.x"), 5);
    EXPECT_EQ(leading_number("1.5e3"), 1500);
    EXPECT_EQ(g.parse_number("2,5\t1"), 2.51);
    // Exact and correctly rounded on either side of 15 digits.
    EXPECT_EQ(leading_number("0.3"), 0.3);
    EXPECT_EQ(leading_number("-123456.789012345"), -123456.789012345);
    EXPECT_EQ(leading_number("9007199254740993"), 9007199254740992.0);
    EXPECT_EQ(leading_number("1234567890123456.7"), 1234567890123456.7);
    EXPECT_TRUE(std::signbit(leading_number("-0")));
    EXPECT_TRUE(std::signbit(g.parse_number("-0,0")));

    const Toolkit& tk = GlobalObject::instance().toolkit();
    for (const char* text : {"Arial", "12pt", "1.5.2026", "12:30", "C:\\x", "0x10", "1,000.5"})
        EXPECT_EQ(tk.classify(text, "."), 3) << text;
    for (const char* text : {"06.12.2026", "2026-12-06", "12/06/2026"}) EXPECT_EQ(tk.classify(text, "."), 2) << text;
    for (const char* text : {"5", "-1.5", "1,5", "0,0", "&HFF", "1E5", "ja", "FALSCH", "ENUM(Modes)", "enum(x"})
        EXPECT_EQ(tk.classify(text, "."), 1) << text;
    EXPECT_EQ(tk.classify("", "."), 0);
    // Beyond ASCII the words are matched on their upper case, character by
    // character: a long s is an S, a dotless i an I. Seven bytes can be six
    // characters; seven characters are too many.
    EXPECT_EQ(tk.classify("fal\xC5\xBF\x63h", "."), 1);
    EXPECT_EQ(tk.classify("ne\xC4\xB1n", "."), 1);
    EXPECT_EQ(tk.classify("ye\xC5\xBF", "."), 1);
    EXPECT_EQ(tk.classify("fal\xC5\xBF\x63hx", "."), 3);
    EXPECT_EQ(tk.classify("f\xC3\xA4lsch", "."), 3);
    EXPECT_EQ(tk.classify("enum(\xC3\xA4", "."), 1);
    EXPECT_EQ(tk.classify("\xC3\xA4num(x)", "."), 3);
    EXPECT_EQ(tk.classify("ENU\xC3\x9C(x)", "."), 3);
}

TEST(Text, TrimBlanksCutsBlanksOnlyAtEitherEnd) {
    // Every mix of up to 20 blanks around a word (other bytes at the edges
    // of the eight-byte steps included): only the blanks at the ends go.
    for (std::size_t before = 0; before <= 20; ++before)
        for (std::size_t after = 0; after <= 20; after += 3)
            for (const std::string word : {"", "x", "a b", "\t", "\xC3\xA4  z", "12345678 9"}) {
                const std::string text = std::string(before, ' ') + word + std::string(after, ' ');
                const std::string expected = word.empty() ? "" : word;
                EXPECT_EQ(trim_blanks(text), expected) << before << "/" << after << "/" << word;
            }
    EXPECT_EQ(trim_blanks(std::string(17, ' ')), "");
}

TEST(Text, UpperCaseAndKeysBeyondAscii) {
    EXPECT_EQ(upper("straße"), "STRAßE"); // ß stays ß
    EXPECT_EQ(upper("äöü"), "ÄÖÜ");
    EXPECT_EQ(upper("ǆ"), "Ǆ");
    EXPECT_EQ(upper("abc\xFF"), "ABC\xFF"); // bytes that are no UTF-8 stay
    EXPECT_TRUE(keys_equal("  Äpfel ", "äPFEL"));
    EXPECT_FALSE(keys_equal("\tKey", "KEY")); // only U+0020 is trimmed
    EXPECT_FALSE(keys_equal("a b", "ab"));
    EXPECT_EQ(normalise_key("  Beta "), "BETA");
    EXPECT_TRUE(is_valid_utf8("Grüße"));
    EXPECT_FALSE(
        is_valid_utf8("Gr\xFC\xDF"
                      "e"));
    EXPECT_EQ(windows1252_to_utf8("Gr\xFC\xDF"
                                  "e \x80"),
              "Grüße €");
}

TEST(Text, Utf8DecodingRejectsIllFormedSequencesAndUtf16RoundTrips) {
    auto decode = [](std::string_view t) {
        std::vector<std::int32_t> cps;
        std::size_t i = 0;
        while (i < t.size())
            cps.push_back(detail::utf8_next(reinterpret_cast<const std::uint8_t*>(t.data()), i, t.size()));
        return cps;
    };
    using V = std::vector<std::int32_t>;
    EXPECT_EQ(decode("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"), (V{'a', 0xE4, 0x20AC, 0x1F600}));
    EXPECT_EQ(decode("\xC0\xAF"), (V{-1, -1})); // overlong lead, then a stray continuation
    EXPECT_EQ(decode("\xE0\x80\xAF"), (V{-1, -1, -1})); // overlong three-byte form
    EXPECT_EQ(decode("\xED\xA0\x80"), (V{-1, -1, -1})); // UTF-8 encoded surrogate
    EXPECT_EQ(decode("\xF4\x90\x80\x80"), (V{-1, -1, -1, -1})); // past U+10FFFF
    EXPECT_EQ(decode("\xE2\x82x"), (V{-1, 'x'})); // cut sequence keeps the next character
    EXPECT_EQ(decode("\xF0\x9F\x98"), (V{-1})); // cut at the end of the text

    const std::string text = "Grüße € \xF0\x9F\x98\x80";
    const std::u16string wide = detail::utf8_to_utf16(text);
    EXPECT_EQ(wide, u"Grüße € \U0001F600");
    EXPECT_EQ(detail::utf16_to_utf8(wide.data(), wide.size()), text);
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_EQ(detail::utf16_to_utf8(lone, 4),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(detail::utf8_to_utf16("x\xFFy"), u"x\uFFFDy");
    EXPECT_EQ(windows1252_to_utf8("\x81\x9F\xA0\xFF"), "\xC2\x81\xC5\xB8\xC2\xA0\xC3\xBF");
}

TEST(Text, Utf8LastCharacterStartsAtItsLeadByte) {
    using detail::utf8_last_start;
    EXPECT_EQ(utf8_last_start(""), 0u);
    EXPECT_EQ(utf8_last_start("a"), 0u);
    EXPECT_EQ(utf8_last_start("ab"), 1u);
    EXPECT_EQ(utf8_last_start("a\xC3\xA4"), 1u); // two bytes
    EXPECT_EQ(utf8_last_start("a\xE2\x82\xAC"), 1u); // three
    EXPECT_EQ(utf8_last_start("a\xF0\x9F\x98\x80"), 1u); // four
    EXPECT_EQ(utf8_last_start("\xC3\xA4\xC3\xA4"), 2u);
    // Ill-formed ends are one byte each, as the decoder reads them.
    EXPECT_EQ(utf8_last_start("a\xC3"), 1u); // cut sequence
    EXPECT_EQ(utf8_last_start("a\xF0\x9F\x98"), 3u); // cut four-byte form
    EXPECT_EQ(utf8_last_start("a\x80"), 1u); // stray continuation
    EXPECT_EQ(utf8_last_start("\x80\x80\x80\x80\x80"), 4u);
    EXPECT_EQ(utf8_last_start("a\xED\xA0\x80"), 3u); // encoded surrogate
}

TEST(Text, TurkishLocaleUpperCasesDottedI) {
    LocaleScope tr("tr_TR.UTF-8");
    EXPECT_EQ(upper("i"), "\xC4\xB0");
    // "title" and "TİTLE" are one key here, "title" and "TITLE" not; the key
    // indexes' hash is one for all three, so that an index built under
    // other rules still finds the key.
    EXPECT_EQ(detail::folded_key_hash("title"), detail::folded_key_hash(" T\xC4\xB0TLE"));
    EXPECT_EQ(detail::folded_key_hash("title"), detail::folded_key_hash("TITLE"));
    EXPECT_EQ(detail::folded_key_hash("\xC4\xB1nfo"), detail::folded_key_hash("INFO")); // dotless i
    EXPECT_EQ(detail::folded_key_hash("\xC5\xBFtop"), detail::folded_key_hash("STOP")); // long s
    EXPECT_TRUE(key_matches(" title ", "T\xC4\xB0TLE"));
    EXPECT_FALSE(key_matches("title", "TITLE"));
    EXPECT_FALSE(key_matches("title", "T\xC4\xB0TLES"));
    EXPECT_TRUE(key_matches("NAME", "NAME"));
    EXPECT_FALSE(key_matches("name", "NAMES"));
    {
        // The same keys under a locale without the dotted capital.
        LocaleScope en("en_US.UTF-8");
        EXPECT_TRUE(key_matches(" title ", "TITLE"));
        EXPECT_FALSE(key_matches("title", "T\xC4\xB0TLE"));
        EXPECT_FALSE(key_matches("titlf", "TITLE"));
    }
    EXPECT_TRUE(key_matches("title", "T\xC4\xB0TLE")); // back under Turkish rules

    // Every pair of keys, under both rules: a key matches exactly the
    // normalised keys it normalises to (first characters that are blanks,
    // an i, ASCII or not, and empty keys included).
    const std::vector<std::string> keys = {"",
                                           " ",
                                           "i",
                                           "I",
                                           " iz",
                                           "Iz",
                                           "\xC4\xB0z",
                                           "\xC4\xB1z",
                                           "name",
                                           "Name ",
                                           "NAMES",
                                           "\xC3\xA4rger",
                                           "\xC3\x84RGER",
                                           "stra\xC3\x9F"
                                           "e",
                                           "STRASSE",
                                           "xname",
                                           "\tname",
                                           "_x"};
    for (const char* locale : {"tr_TR.UTF-8", "en_US.UTF-8"}) {
        LocaleScope scope(locale);
        for (const std::string& a : keys)
            for (const std::string& b : keys)
                EXPECT_EQ(key_matches(a, normalise_key(b)), normalise_key(a) == normalise_key(b))
                    << locale << " [" << a << "] [" << b << "]";
    }
}

TEST(Text, KeyComparisonWordByWordAgreesWithUpperCasing) {
    // Keys of every length around the eight-byte steps, from characters at
    // the edges of the letter ranges, i and its relatives, and letters of
    // more than one byte; compared with copies that differ in case, in one
    // character or in length.
    const std::vector<std::string> pieces = {
        "a",        "z",        "A",        "Z",        "i", "I", "`",
        "{",        "@",        "[",        "_",        " ", "0", "\x7F",
        "\xC4\xB1", "\xC4\xB0", "\xC3\xA4", "\xC5\xBF", "m", "x", std::string(1, '\0'),
        "\x80",     "\xFF"};
    std::mt19937 random(47);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const auto make = [&] {
        std::string key;
        const std::size_t length = pick(72); // past the 64 bytes normalised in place
        // Mostly ASCII letters, as real keys are.
        while (key.size() < length)
            key += pick(4) ? std::string(1, static_cast<char>('a' + pick(26))) : pieces[pick(pieces.size())];
        return key;
    };
    const auto flip_cases = [&](std::string key) {
        for (char& c : key)
            if (std::isalpha(static_cast<unsigned char>(c)) && pick(2)) c = static_cast<char>(c ^ 0x20);
        return key;
    };
    for (const char* locale : {"tr_TR.UTF-8", "en_US.UTF-8"}) {
        LocaleScope scope(locale);
        for (int round = 0; round < 4000; ++round) {
            const std::string a = make();
            std::string b = flip_cases(a);
            switch (pick(4)) {
            case 0:
                if (!b.empty()) b[pick(b.size())] = static_cast<char>('a' + pick(26));
                break;
            case 1: b += pieces[pick(pieces.size())]; break;
            case 2: b = make(); break;
            default: break;
            }
            const std::string normalised = normalise_key(b);
            ASSERT_EQ(key_matches(a, normalised), normalise_key(a) == normalised)
                << locale << " [" << a << "] [" << b << "]";
            ASSERT_EQ(detail::NormalisedKey(a).text(), normalise_key(a)) << locale << " [" << a << "]";
            // Keys that match share their folded hash (and so their tag).
            if (normalise_key(a) == normalised) {
                ASSERT_EQ(detail::folded_key_hash(a), detail::folded_key_hash(b)) << "[" << a << "] [" << b << "]";
            }
        }
    }
}

TEST(Text, KeyTagsAreSpread) {
    std::set<int> tags;
    for (int i = 0; i < 1000; ++i) {
        const std::uint8_t t = detail::key_tag("Key" + std::to_string(i * 7919));
        EXPECT_NE(t, 0);
        tags.insert(t);
    }
    EXPECT_GT(tags.size(), 200u); // a look-up reads about one value in 255
    EXPECT_EQ(detail::key_tag(" name "), detail::key_tag("NAME"));
    EXPECT_EQ(detail::key_tag("\xC3\xA4rger"), detail::key_tag("\xC3\x84RGER"));
}

TEST(Text, FoldedKeyHashesAreOneForKeysThatMatch) {
    const std::string longKey(100, 'k');
    for (const std::string& key :
         std::vector<std::string>{"Name", "  name  ", "NAME", "stra\303\237e", "\xC3\xA4rger", "", "   ", "a b",
                                  longKey, longKey + "\xC3\xA9", std::string("x\xFFy")}) {
        EXPECT_EQ(detail::folded_key_hash(key), detail::folded_key_hash(normalise_key(key))) << key;
    }
    EXPECT_EQ(detail::folded_key_hash("\xC3\xA4rger"), detail::folded_key_hash("\xC3\x84RGER "));
    EXPECT_EQ(detail::folded_key_hash(longKey), detail::folded_key_hash(std::string(100, 'K')));
    // Different keys of one length differ in their hash (a fixed hash would
    // turn every index into a scan).
    EXPECT_NE(detail::folded_key_hash("Width"), detail::folded_key_hash("Title"));
    EXPECT_NE(detail::folded_key_hash("abcdefgh1"), detail::folded_key_hash("abcdefgh2"));
    EXPECT_NE(detail::folded_key_hash("\xC3\xA4rger"), detail::folded_key_hash("ARGER"));
}

TEST(Dates, TenCharacterTextsFollowTheLocale) {
    Date d;
    ASSERT_TRUE(parse_date_text("2026-12-06", d));
    EXPECT_DOUBLE_EQ(d.days, 46362);
    EXPECT_EQ(format_date(d), "2026-12-06");
    ASSERT_TRUE(parse_date_text("1899-12-30", d));
    EXPECT_DOUBLE_EQ(d.days, 0);
    EXPECT_FALSE(parse_date_text("2026-02-29", d));
    EXPECT_TRUE(parse_date_text("2024-02-29", d));
    EXPECT_FALSE(parse_date_text("2026-13-01", d));
    EXPECT_FALSE(parse_date_text("2026-12-6", d));
    EXPECT_FALSE(parse_date_text("2026-12/06", d));
    {
        LocaleScope de("de_DE.UTF-8");
        ASSERT_TRUE(parse_date_text("06.12.2026", d));
        EXPECT_EQ(format_date(d), "2026-12-06");
        EXPECT_FALSE(parse_date_text("12.31.2026", d));
    }
    {
        LocaleScope us("en_US.UTF-8");
        ASSERT_TRUE(parse_date_text("12/06/2026", d));
        EXPECT_EQ(format_date(d), "2026-12-06");
        ASSERT_TRUE(parse_date_text("2026-12-06", d)); // year first always
    }
}

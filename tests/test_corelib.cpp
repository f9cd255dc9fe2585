#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

using namespace std::string_literals;

#include "corelib/encoding.hpp"
#include "corelib/key_derivation.hpp"
#include "corelib/platform.hpp"
#include "corelib/utf.hpp"
#include "tests/support/helpers.hpp"

using namespace tr47;
using tr47::test::TempDir;

namespace {
std::vector<std::string> split(std::string_view text, std::string_view sep = ",") {
    return GlobalObject::instance().toolkit().split(text, sep, "(", ")", "\"")->items();
}
using Items = std::vector<std::string>;

// Sets LC_ALL for one test and restores the previous locale.
class LocaleScope {
public:
    explicit LocaleScope(const char* name) {
        const char* old = std::setlocale(LC_ALL, nullptr);
        saved_ = old ? old : "C";
        ok_ = std::setlocale(LC_ALL, name) != nullptr;
        const char* env = std::getenv("LC_ALL");
        savedEnv_ = env ? env : "";
        hadEnv_ = env != nullptr;
        ::setenv("LC_ALL", name, 1);
        tr47::detail::platform::forget_locale_environment();
    }
    ~LocaleScope() {
        std::setlocale(LC_ALL, saved_.c_str());
        if (hadEnv_)
            ::setenv("LC_ALL", savedEnv_.c_str(), 1);
        else
            ::unsetenv("LC_ALL");
        tr47::detail::platform::forget_locale_environment();
    }
    bool process_locale_set() const { return ok_; }

private:
    std::string saved_, savedEnv_;
    bool hadEnv_ = false, ok_ = false;
};
} // namespace

namespace {
std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}
} // namespace

// Published PBKDF2-HMAC-SHA256 vectors, then the SHA-extension path against
// the platform's implementation across the padding and key-length borders
// (message tails of 55/56/64 bytes, passwords longer than a block, outputs
// that are not a whole number of blocks).
TEST(KeyDerivation, MatchesPublishedVectorsAndThePlatform) {
    struct Vector {
        const char *password, *salt;
        std::uint32_t iterations;
        std::size_t length;
        const char* expected;
    };
    const Vector vectors[] = {
        {"password", "salt", 1, 32, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {"password", "salt", 2, 32, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
        {"password", "salt", 4096, 32, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
        {"passwd", "salt", 1, 64,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc49ca9cccf179b645991664b39d77ef317c71b845b1e30"
         "b"
         "d509112041d3a19783"},
        {"Password", "NaCl", 80000, 64,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56a1d425a1225833549adb841b51c9b3176a272bdebba1d"
         "0"
         "78478f62b397f33c8d"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.password + std::to_string(v.iterations));
        EXPECT_EQ(hex(detail::pbkdf2_sha256(v.password, v.salt, v.iterations, v.length)), v.expected);
        EXPECT_EQ(hex(detail::platform::derive_key(v.password, v.salt, v.iterations, v.length)), v.expected);
    }
    if (!detail::key_derivation_uses_sha_extensions()) GTEST_SKIP() << "no SHA extensions on this processor";
    std::string password, salt;
    for (std::size_t n = 0; n <= 140; ++n) {
        password += static_cast<char>(n * 37 + 1);
        salt += static_cast<char>(255 - n);
        const std::uint32_t iterations = 1 + static_cast<std::uint32_t>(n % 4) * 7;
        const std::size_t length = n % 3 == 0 ? 32 : n % 3 == 1 ? 1 + n % 70 : 65;
        SCOPED_TRACE(n);
        ASSERT_EQ(hex(detail::pbkdf2_sha256_extensions(password, salt.substr(0, n % 70), iterations, length)),
                  hex(detail::platform::derive_key(password, salt.substr(0, n % 70), iterations, length)));
        ASSERT_EQ(hex(detail::pbkdf2_sha256_extensions(password.substr(0, n % 9), salt, iterations, length)),
                  hex(detail::platform::derive_key(password.substr(0, n % 9), salt, iterations, length)));
    }
}

// The key of a protected file is derived on a second thread while the file
// is read: the work must run exactly once, its error must come back from
// join(), and a task given up without join() must still be waited for.
TEST(Background, RunsOnceRethrowsAndIsWaitedFor) {
    int runs = 0;
    {
        detail::platform::Background task([&] { ++runs; });
        task.join();
        EXPECT_EQ(runs, 1);
        task.join(); // a second join neither runs nor throws
    }
    EXPECT_EQ(runs, 1);
    detail::platform::Background failing([] { raise(hr::BAD_FILE_FORMAT, "Bad file format: test"); });
    try {
        failing.join();
        ADD_FAILURE() << "join() did not rethrow";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), hr::BAD_FILE_FORMAT);
    }
    std::string result;
    {
        detail::platform::Background slow([&] { result = detail::pbkdf2_sha256("p", "salt", 20000); });
    }
    EXPECT_EQ(result, detail::pbkdf2_sha256("p", "salt", 20000));
}

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

TEST(Packer, RoundTripsEveryValueTypeAndAwkwardTexts) {
    Packer p;
    const std::string awkward = std::string("quote\" comma, colon: semi; \n newline \0 nul ", 40) + "ü€ S5:xyz";
    std::vector<Variant> values = {Variant(),
                                   Variant(awkward),
                                   Variant(""),
                                   Variant(-0.0),
                                   Variant(1.0 / 3.0),
                                   Variant(std::numeric_limits<double>::infinity()),
                                   Variant(std::int32_t{INT32_MIN}),
                                   Variant(Date{46362.75}),
                                   Variant::boolean(true),
                                   Variant::boolean(false),
                                   Variant::omitted(),
                                   Variant(std::string(p.pack_values({Variant("nested")})))};
    std::vector<PackElement> elements(values.begin(), values.end());
    std::string package = p.pack_values(elements);
    std::vector<Variant> back(values.size());
    std::vector<Target> targets;
    for (Variant& b : back) targets.emplace_back(&b);
    p.unpack_values(package, targets);
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_TRUE(back[i].same(values[i])) << i << describe(back[i]);
    EXPECT_TRUE(std::signbit(back[3].dbl()));

    // Targets convert: a number into a text, a text into a long.
    std::string text;
    std::int32_t number = 0;
    p.unpack_values(p.pack_values({Variant(5.0), Variant("12")}), {Target(&text), Target(&number)});
    EXPECT_EQ(text, "5");
    EXPECT_EQ(number, 12);

    // A persistable object in a variant travels as its class and package.
    ref<cls_INIValue> v = cls_INIValue::create();
    v->NAME("inner");
    Variant obj;
    p.unpack_values(p.pack_values({Variant(v)}), {Target(&obj)});
    ASSERT_TRUE(obj.is_object());
    auto copy = query<cls_INIValue>(obj.object());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->NAME(), "inner");
    EXPECT_NE(copy.get(), v.get());
}

TEST(Packer, RejectsMalformedPackagesWithoutChangingTargets) {
    Packer p;
    std::string good = p.pack_values({Variant("abc"), Variant(std::int32_t{7})});
    std::string a = "keep";
    std::int32_t b = 1;
    std::vector<std::string> bad = {"",
                                    "TP1",
                                    "XX1;S3:abc",
                                    good + "E0:",
                                    good.substr(0, good.size() - 1),
                                    "TP1;S99999999999999999:x",
                                    "TP1;S3:abcL1:x",
                                    "TP1;Q1:aL1:1",
                                    "TP1;S-1:aL1:1",
                                    "TP1;S3:abcL11:99999999999"};
    for (const std::string& pkg : bad) {
        EXPECT_THROW(p.unpack_values(pkg, {Target(&a), Target(&b)}), Error) << pkg;
        EXPECT_EQ(a, "keep");
        EXPECT_EQ(b, 1);
    }
    // Every truncation of a good package is refused.
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_THROW(p.unpack_values(good.substr(0, n), {Target(&a), Target(&b)}), Error) << n;
}

TEST(Reader, LineEndingsEncodingsAndEnd) {
    TempDir dir;
    auto lines_of = [&](const std::string& bytes) {
        ref<ReaderObject> r = ReaderObject::create();
        EXPECT_TRUE(r->open(dir.write("f.txt", bytes), 1, "", false, true));
        std::vector<std::string> out;
        while (!r->eof()) out.push_back(r->read_line());
        EXPECT_EQ(r->read_line(), ""); // past the end
        return out;
    };
    EXPECT_EQ(lines_of("a\r\nb\nc\rd"), (Items{"a", "b", "c", "d"}));
    EXPECT_EQ(lines_of("a\n\nb\n"), (Items{"a", "", "b"}));
    EXPECT_EQ(lines_of(""), Items{});
    EXPECT_EQ(lines_of("\r\n"), Items{""});
    EXPECT_EQ(lines_of("\xEF\xBB\xBFK=\xC3\xA4\n"), Items{"K=ä"});
    EXPECT_EQ(lines_of("\xFF\xFEK\0=\0\xE4\0\r\0\n\0x\0"s), (Items{"K=ä", "x"}));
    EXPECT_EQ(lines_of("\xFE\xFF\0K\0=\0\xE4\0\n"s), Items{"K=ä"});
    // A line that is no UTF-8 is read as Windows-1252.
    EXPECT_EQ(lines_of("ok=\xC3\xBC\nold=\xFC\x80\n"), (Items{"ok=ü", "old=ü€"}));
    EXPECT_EQ(lines_of("a\0b\n"s), Items{"a\0b"s});
    {
        // A Windows-1252 byte at every place in lines of every length up to
        // 40, so it falls everywhere in the reader's 16-byte steps, next to
        // ASCII lines; and a file that ends without a line break.
        std::string file;
        Items expected;
        for (std::size_t len = 1; len <= 40; ++len)
            for (std::size_t at = 0; at < len; ++at) {
                std::string line(len, 'k');
                line[at] = '\xFC';
                file += line + (len % 3 == 0 ? "\r\n" : "\n") + "plain\n";
                expected.push_back(line.substr(0, at) + "ü" + line.substr(at + 1));
                expected.push_back("plain");
            }
        file += "end\xFC";
        expected.push_back("endü");
        EXPECT_EQ(lines_of(file), expected);
    }

    // CR LF split across the reader's block boundary is one line break.
    std::string big(1 << 20, 'x');
    big[(1 << 20) - 1] = '\r';
    auto lines = lines_of(big + "\nnext");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), (1u << 20) - 1);
    EXPECT_EQ(lines[1], "next");

    ref<ReaderObject> r = ReaderObject::create();
    EXPECT_FALSE(r->open(dir.file("missing.txt"), 1, "", false, true));
    EXPECT_FALSE(r->open(dir.path().string(), 1, "", false, true));
}

TEST(Reader, StoredValuesComeBackInOrderAndType) {
    TempDir dir;
    const std::string path = dir.file("values.bin");
    ref<ReaderObject> w = ReaderObject::create();
    ASSERT_TRUE(w->open(path, 2, "", true, true));
    std::vector<Variant> values = {Variant("1.0"),      Variant(),
                                   Variant(2.5),        Variant(std::int32_t{-3}),
                                   Variant(Date{1.25}), Variant::boolean(true),
                                   Variant::omitted(),  Variant(std::string("a\0b", 3))};
    for (const Variant& v : values) w->write_values({PackElement(v)});
    EXPECT_FALSE(std::filesystem::exists(path)); // nothing is written before close
    w->close();
    ref<ReaderObject> r = ReaderObject::create();
    ASSERT_TRUE(r->open(path, 1, "", true, true));
    for (const Variant& v : values) EXPECT_TRUE(r->read_value().same(v));
    EXPECT_TRUE(r->eof());
    EXPECT_THROW(r->read_value(), Error);
}

namespace {
// A collection stand-in that records the events it receives.
struct FakeCollection : DatabaseEvents {
    std::vector<std::string> keys;
    std::vector<std::string> log;
    void DatabaseClear() override { keys.clear(); }
    void DatabaseCount(std::int32_t& ret) override { ret = static_cast<std::int32_t>(keys.size()); }
    void DatabaseImport(const ref<tmp_Data>&, const Variant& ID) override {
        keys.push_back(ID.is_error() ? "" : ID.to_text());
    }
    void DatabaseItem(ref<tmp_Data>&, std::int32_t) override {}
    void DatabaseItemObj(ref<Object>& rRet, std::int32_t pIndex) override {
        log.push_back("item " + std::to_string(pIndex));
        rRet = cls_INIValue::create();
    }
    void DatabaseRemove(std::int32_t ID) override {
        log.push_back("remove " + std::to_string(ID));
        keys.erase(keys.begin() + (ID - 1));
    }
    void DatabaseSearch(std::int32_t& ret, const Variant& ID) override {
        log.push_back("search " + ID.to_text());
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys_equal(keys[i], ID.to_text())) {
                ret = static_cast<std::int32_t>(i + 1);
                return;
            }
    }
};
} // namespace

TEST(DatabaseObject, RoutesPositionsAndKeysThroughTheEvents) {
    FakeCollection fake;
    ref<DatabaseObject> db = DatabaseObject::create();
    EXPECT_EQ(db->count(), 0); // preset 0 with no collection bound
    db->bind(&fake);
    db->add(nullptr, Variant("A"));
    db->add(nullptr, Variant("B"));
    db->add(nullptr, Variant::omitted());
    EXPECT_EQ(db->count(), 3);
    EXPECT_TRUE(db->exists(Variant(" b ")));
    EXPECT_FALSE(db->exists(Variant("C")));
    EXPECT_TRUE(db->exists(Variant(std::int32_t{3})));
    EXPECT_FALSE(db->exists(Variant(std::int32_t{4})));
    fake.log.clear();
    // A long integer is a position under either flag; a text is a key.
    db->item(Variant(std::int32_t{2}), false);
    db->item(Variant(std::int32_t{2}), true);
    db->item(Variant(2.0), true);
    db->item(Variant("a"), true);
    EXPECT_EQ(fake.log, (Items{"item 2", "item 2", "item 2", "search a", "item 1"}));
    EXPECT_FALSE(db->item(Variant("zzz"), false));
    EXPECT_FALSE(db->remove(Variant("zzz"), false));
    EXPECT_TRUE(db->remove(Variant("A"), false));
    EXPECT_EQ(fake.keys, (Items{"B", ""}));
    db->clear();
    EXPECT_EQ(db->count(), 0);
    db->unbind(&fake);
}

namespace {
struct RecordingSink : DataEvents {
    std::string name;
    std::vector<std::string>* log;
    RecordingSink(std::string n, std::vector<std::string>* l) : name(std::move(n)), log(l) {}
    void DataCopy(const ref<tmp_Data>&, bool&) override {}
    void DataPACK(std::string& p) override {
        log->push_back(name);
        p += name;
    }
    void DataUnpack(std::string&) override {}
    void DataStore(FileObject&) override {}
    void DataRead(FileObject&) override {}
    void DataSpawn(ref<tmp_Data>&) override {}
};
} // namespace

TEST(DataObject, EverySinkGetsTheEventsInBindingOrder) {
    std::vector<std::string> log;
    RecordingSink a("a", &log), b("b", &log), c("c", &log);
    ref<DataObject> d = DataObject::create();
    EXPECT_FALSE(d->bound());
    EXPECT_EQ(d->pack(), "");
    d->bind(&a);
    d->bind(&b);
    d->bind(&c);
    EXPECT_EQ(d->pack(), "abc");
    d->unbind(&a); // the first holder goes: the next one takes its place
    EXPECT_EQ(d->pack(), "bc");
    d->bind(&a);
    d->unbind(&c);
    EXPECT_EQ(d->pack(), "ba");
    d->unbind(&b);
    d->unbind(&b); // not bound any more: nothing happens
    EXPECT_EQ(d->pack(), "a");
    d->unbind(&a);
    EXPECT_FALSE(d->bound());
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c", "b", "c", "b", "a", "a"}));
}

TEST(MemberList, AddsMembersAndRoundTrips) {
    ref<MemberList> m = MemberList::create();
    m->add_member("Off", {Variant("0")});
    m->add_member("On", {Variant(std::int32_t{1})});
    m->add_member("Off", {Variant("again")});
    EXPECT_EQ(m->COUNT(), 3);
    EXPECT_EQ(m->value_of(" on "), "1");
    EXPECT_EQ(m->value_of("OFF"), "0"); // the first of a repeated name
    EXPECT_THROW(m->NAME(4), Error);
    m->DATA()->identifier(Variant(std::int32_t{9}));
    std::string pkg = m->DATA()->pack();
    ref<MemberList> back = MemberList::create();
    back->DATA()->unpack(pkg);
    EXPECT_EQ(back->members(), m->members());
    EXPECT_TRUE(back->DATA()->identifier().same(Variant("9")));
}

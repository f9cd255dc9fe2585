#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/helpers.hpp"
#include "tests/support/tree_equal.hpp"

using namespace tr47;
using tr47::test::import_text;
using tr47::test::Imported;
using tr47::test::read_file;
using tr47::test::TempDir;
using tr47::test::tree_difference;

namespace {

std::string export_text(cls_INI& doc, export_result* result = nullptr, const export_options& options = {}) {
    std::ostringstream out;
    export_result r = export_ini(doc, out, options);
    if (result) *result = r;
    return out.str();
}

std::string diagnostics_text(const std::vector<export_diagnostic>& ds) {
    std::string s;
    for (const auto& d : ds) s += d.path + " | " + d.what + " | " + d.why + "\n";
    return s;
}

// Exports, re-imports and compares; the second export must give the same text.
void expect_round_trip(cls_INI& doc, const std::string& label) {
    export_result r;
    const std::string text = export_text(doc, &r);
    ASSERT_TRUE(r.written) << label;
    ASSERT_TRUE(r.diagnostics.empty()) << label << "\n" << diagnostics_text(r.diagnostics);
    Imported back = import_text(text);
    ASSERT_TRUE(back.result) << label << "\n" << text;
    EXPECT_EQ(tree_difference(doc, *back.doc), "") << label << "\n" << text;
    EXPECT_EQ(export_text(*back.doc), text) << label;
}

bool diagnosed(const export_result& r, const std::string& path, const std::string& what, const std::string& why) {
    for (const auto& d : r.diagnostics)
        if (d.path == path && d.what == what && d.why == why) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Random models built through the API.

class ModelMaker {
public:
    explicit ModelMaker(std::uint64_t seed) : rng_(seed) {}

    int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }
    bool chance(int percent) { return pick(100) < percent; }

    // Texts that the reader would change without quotes, and random mixes
    // of the characters that matter to it.
    std::string text() {
        static const std::string awkward[] = {"",
                                              " ",
                                              "a",
                                              "a b",
                                              " lead",
                                              "trail ",
                                              "a,b",
                                              "a,",
                                              ",",
                                              "+",
                                              "a+",
                                              "(x)",
                                              "(",
                                              ")",
                                              "a)b",
                                              "(a,b",
                                              "\"",
                                              "\"q\"",
                                              "\"\"",
                                              "a\"b",
                                              "x\"\"y",
                                              "#c",
                                              "'c",
                                              "//c",
                                              "=x",
                                              ":x",
                                              "12",
                                              "-3",
                                              "1.5",
                                              "(1,5)",
                                              "0",
                                              "0.0",
                                              "0,0",
                                              "&H1F",
                                              "1E5",
                                              "TRUE",
                                              "nein",
                                              "Ja",
                                              "2024-02-29",
                                              "29.02.2024",
                                              "0000-00-00",
                                              "ENUM(",
                                              "ENUM(Modes),On",
                                              "ENUM(x",
                                              "COMMENT",
                                              "REM x",
                                              "BEGIN",
                                              "END",
                                              "\xC3\xA4\xC3\xB6\xC3\xBC \xC3\x9F \xE2\x82\xAC",
                                              "\xE6\x97\xA5\xE6\x9C\xAC",
                                              "\xF0\x9F\x98\x80",
                                              "a\x01"
                                              "b",
                                              "\x7F",
                                              std::string("a\0b", 3),
                                              "Port=&H1F90",
                                              "a=b",
                                              "x 6 y",
                                              "\xEF\xBB\xBF"
                                              "bom"};
        if (chance(40)) return awkward[pick(static_cast<int>(std::size(awkward)))];
        static const char* const pieces[] = {"a",    "Z", " ", ",", "\"", "(", ")", "+",        "=",
                                             ":",    "#", "'", "/", "6",  ".", "1", "\xC3\xA4", "\xE2\x82\xAC",
                                             "\x01", "E", "N", "U", "M"};
        std::string s;
        const int n = pick(12);
        for (int i = 0; i < n; ++i) s += pieces[pick(static_cast<int>(std::size(pieces)))];
        return s;
    }

    std::string value_name() {
        static const char* const chars[] = {"A", "z", "Q",        "0",        "1",        "5", "7",
                                            "9", "_", "\xC3\xA4", "\xC3\x96", "\xC3\x9F", "k", "X"};
        for (;;) {
            std::string s;
            const int n = pick(7);
            for (int i = 0; i < n; ++i) s += chars[pick(static_cast<int>(std::size(chars)))];
            const std::string u = upper(s);
            if (u != "BEGIN" && u != "END" && u != "ENUM" && u != "COMMENT" && u != "REM") return s;
        }
    }

    double number() {
        switch (pick(9)) {
        case 0: return pick(2000) - 1000;
        case 1: return static_cast<double>(rng_() >> 11) * (chance(50) ? 1 : -1);
        case 2: return (pick(200000) - 100000) / 1000.0;
        case 3: return 1.0 / (1 + pick(1000));
        case 4: {
            // Any finite double other than NaN and negative zero.
            for (;;) {
                const std::uint64_t bits = rng_();
                double d;
                std::memcpy(&d, &bits, sizeof d);
                if (std::isfinite(d) && !(d == 0 && std::signbit(d))) return d;
            }
        }
        case 5: return chance(50) ? 1e300 : 5e-324;
        case 6: return chance(50) ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
        case 7: return 0.0;
        default: return 123456789012345678.0;
        }
    }

    // A document with enumerations, values of every kind and nested groups.
    ref<cls_INI> document(int groups, int maxDepth) {
        ref<cls_INI> doc = cls_INI::create();
        declare_enums(*doc);
        fill(*doc->ROOT(), *doc);
        grow(*doc->ROOT(), *doc, groups, maxDepth);
        return doc;
    }

    void declare_enums(cls_INI& doc) {
        std::vector<std::string> keys;
        const int n = pick(5);
        for (int i = 0; i < n; ++i) {
            std::string name = text();
            const std::string key = normalise_key(name);
            if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue; // references find the first
            keys.push_back(key);
            ref<cls_INIEnum> e = doc.ENUMS()->CREATE(name);
            const int members = 1 + pick(4);
            for (int k = 0; k < members; ++k) e->VALUES()->add_member(text(), {Variant(text())});
        }
    }

    void fill(cls_INIGroup& g, cls_INI& doc) {
        const int n = pick(8);
        for (int i = 0; i < n; ++i) add_value(g, doc);
    }

    void add_value(cls_INIGroup& g, cls_INI& doc) {
        ref<cls_INIValues> values = g.VALUES();
        const std::string name = value_name();
        switch (pick(10)) {
        case 0: values->CREATE(name, Variant(text()), ID_INIValueSort_String); break;
        case 1: values->CREATE(name, Variant(number()), ID_INIValueSort_Long); break;
        case 2: values->CREATE(name, Variant(number()), ID_INIValueSort_Double); break;
        case 3:
            values->CREATE(name, Variant(Date{static_cast<double>(pick(3'500'000) - 600'000)}), ID_INIValueSort_Date);
            break;
        case 4: values->CREATE(name, Variant::boolean(chance(50)), ID_INIValueSort_Boolean); break;
        case 5: values->CREATE(name, Variant(std::int32_t(pick(0x1000000))), ID_INIValueSort_Color); break;
        case 6:
            // What the reader makes of colours and dates it cannot compute.
            values->CREATE(name, Variant(""), chance(50) ? ID_INIValueSort_Color : ID_INIValueSort_Date);
            break;
        default: {
            const std::int32_t n = doc.ENUMS()->COUNT();
            if (n == 0) {
                values->CREATE(name, Variant(text()), ID_INIValueSort_String);
                break;
            }
            Variant content;
            if (chance(50)) {
                const double d = number();
                content = Variant(d);
            } else {
                std::string t = text();
                while (GlobalObject::instance().parse_number(t) != 0.0 || t == "0") t = text();
                content = Variant(t);
            }
            ref<cls_INIValue> v = values->CREATE(name, content, ID_INIValueSort_Enum);
            v->ENUMREF(doc.ENUMS()->Item(Variant(1 + pick(n)), true));
        }
        }
    }

    void grow(cls_INIGroup& g, cls_INI& doc, int groups, int depth) {
        if (depth <= 0) return;
        for (int i = 0; i < groups; ++i) {
            std::string sort = chance(50) ? text() : std::string();
            std::string name = text();
            if (name.empty()) sort.clear(); // a sort needs a name
            ref<cls_INIGroup> child = g.CHILDREN()->CREATE(name, sort);
            fill(*child, doc);
            grow(*child, doc, pick(groups + 1), depth - 1);
        }
    }

private:
    std::mt19937_64 rng_;
};

} // namespace

// ---------------------------------------------------------------------------

TEST(ExportRoundTrip, RandomModelsOfEveryKindReadBackFieldByField) {
    for (std::uint64_t seed = 1; seed <= 150; ++seed) {
        ModelMaker maker(seed);
        ref<cls_INI> doc = maker.document(1 + maker.pick(4), 1 + maker.pick(5));
        expect_round_trip(*doc, "seed " + std::to_string(seed));
        if (HasFatalFailure()) return;
    }
}

TEST(ExportRoundTrip, DeepNestingIsWrittenWithoutRecursionAndBoundedIndentation) {
    ModelMaker maker(7);
    ref<cls_INI> doc = cls_INI::create();
    maker.declare_enums(*doc);
    ref<cls_INIGroup> g = doc->ROOT();
    const int depth = 20'000;
    for (int i = 0; i < depth; ++i) {
        g = g->CHILDREN()->CREATE("L" + std::to_string(i), i % 3 ? "" : "s");
        if (i % 1000 == 0) maker.fill(*g, *doc);
    }
    g->VALUES()->CREATE("Leaf", Variant(1.0), ID_INIValueSort_Long);
    const std::string text = export_text(*doc);
    // Indentation stops growing: the text stays linear in the depth.
    EXPECT_LT(text.size(), static_cast<std::size_t>(depth) * 100);
    expect_round_trip(*doc, "deep");
}

TEST(ExportRoundTrip, GroupsCollectionsInTheFileLevelForm) {
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        ModelMaker maker(seed);
        ref<cls_INI> doc = maker.document(0, 0);
        ref<cls_INIGroups> groups = cls_INIGroups::create();
        const int n = 1 + maker.pick(4);
        for (int i = 0; i < n; ++i) {
            // Top-level names and sorts are words: cut at blanks, kept as written.
            ref<cls_INIGroup> g =
                groups->CREATE(maker.value_name() + "x", maker.chance(50) ? "S" + maker.value_name() : "");
            maker.fill(*g, *doc);
            maker.grow(*g, *doc, maker.pick(3), 3);
        }
        std::ostringstream out;
        const export_result r = export_ini(*groups, out, {}, doc.get());
        ASSERT_TRUE(r.diagnostics.empty()) << diagnostics_text(r.diagnostics);
        TempDir dir;
        const std::string path = dir.write("groups.ini", out.str());
        ref<cls_INI> doc2 = cls_INI::create();
        ref<cls_INIGroups> groups2 = cls_INIGroups::create();
        ASSERT_TRUE(groups2->IMPORT(path, false, doc2)) << out.str();
        EXPECT_EQ(tree_difference(*groups, doc.get(), *groups2, doc2.get()), "") << "seed " << seed << "\n"
                                                                                 << out.str();
        std::ostringstream again;
        export_ini(*groups2, again, {}, doc2.get());
        EXPECT_EQ(again.str(), out.str());
    }
}

TEST(ExportRoundTrip, TheExampleAndTheSuitesInputFiles) {
    std::vector<std::filesystem::path> files{std::filesystem::path(TR47_TEST_DATA) / "../../examples/settings.ini"};
    for (const char* dir : {"/../../fuzz/corpus/ini_import", "/fuzz/ini_import"})
        for (const auto& e : std::filesystem::directory_iterator(std::string(TR47_TEST_DATA) + dir))
            if (e.is_regular_file()) files.push_back(e.path());
    int exact = 0;
    for (const auto& f : files) {
        ref<cls_INI> doc = cls_INI::create();
        doc->IMPORT(f.string(), false); // a file with errors still gives a tree up to them
        export_result r;
        const std::string text = export_text(*doc, &r);
        EXPECT_TRUE(r.diagnostics.empty()) << f << "\n" << diagnostics_text(r.diagnostics);
        Imported back = import_text(text);
        EXPECT_TRUE(back.result) << f;
        EXPECT_EQ(tree_difference(*doc, *back.doc), "") << f << "\n" << text;
        EXPECT_EQ(export_text(*back.doc), text) << f;
        ++exact;
    }
    EXPECT_GE(exact, 7);
}

// ---------------------------------------------------------------------------

TEST(ExportText, ExactOutputOfASmallModel) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIEnum> modes = doc->ENUMS()->CREATE("Modes");
    modes->IMPORT("Off,0,On,1");
    ref<cls_INIEnum> sizes = doc->ENUMS()->CREATE("Sizes");
    sizes->VALUES()->add_member("Small, tiny", {Variant("S")});
    ref<cls_INIValues> v = doc->ROOT()->VALUES();
    v->CREATE("Title", Variant("Report, final"), ID_INIValueSort_String);
    v->CREATE("Plain", Variant("C:\\Reports"), ID_INIValueSort_String);
    v->CREATE("Number", Variant("12"), ID_INIValueSort_String);
    v->CREATE("Quote", Variant("say \"hi\""), ID_INIValueSort_String);
    v->CREATE("Count", Variant(5.0), ID_INIValueSort_Long);
    v->CREATE("Third", Variant(1.5), ID_INIValueSort_Long);
    v->CREATE("Ratio", Variant(1.5), ID_INIValueSort_Double);
    v->CREATE("Whole", Variant(100.0), ID_INIValueSort_Double);
    v->CREATE("Tiny", Variant(1e-7), ID_INIValueSort_Double);
    v->CREATE("Flag", Variant::boolean(true), ID_INIValueSort_Boolean);
    v->CREATE("Day", Variant(Date{46362}), ID_INIValueSort_Date);
    v->CREATE("Colour", Variant(std::int32_t{33023}), ID_INIValueSort_Color);
    v->CREATE("Mode", Variant("On"), ID_INIValueSort_Enum)->ENUMREF(modes);
    v->CREATE("Level", Variant(2.0), ID_INIValueSort_Enum)->ENUMREF(modes);
    ref<cls_INIGroup> fonts = doc->ROOT()->CHILDREN()->CREATE("Fonts", "Printer");
    fonts->VALUES()->CREATE("Face", Variant("Arial"), ID_INIValueSort_String);
    fonts->CHILDREN()->CREATE("Fall, back")->VALUES()->CREATE("Size", Variant(12.0), ID_INIValueSort_Long);
    doc->ROOT()->CHILDREN()->CREATE("Network");
    export_result r;
    const std::string text = export_text(*doc, &r);
    EXPECT_TRUE(r.diagnostics.empty()) << diagnostics_text(r.diagnostics);
    EXPECT_EQ(text,
              "ENUM Modes,(Off,0,On,1)\n"
              "ENUM Sizes,(\"Small, tiny\",S)\n"
              "\n"
              "Title=\"Report, final\"\n"
              "Plain=C:\\Reports\n"
              "Number=\"12\"\n"
              "Quote=\"say \"\"hi\"\"\"\n"
              "Count=5\n"
              "Third=15E-1\n"
              "Ratio=1.5\n"
              "Whole=100.0\n"
              "Tiny=1.0E-7\n"
              "Flag=TRUE\n"
              "Day=2026-12-06\n"
              "Colour=255,128,0\n"
              "Mode=ENUM(Modes),On\n"
              "Level=ENUM(Modes),2\n"
              "\n"
              "BEGIN Printer, Fonts\n"
              "  Face=Arial\n"
              "  BEGIN \"Fall, back\"\n"
              "    Size=12\n"
              "  END\n"
              "END\n"
              "\n"
              "BEGIN Network\n"
              "END\n");
    expect_round_trip(*doc, "small");
}

TEST(ExportText, ByteOrderMarkAndCrLfLineEnds) {
    ModelMaker maker(3);
    ref<cls_INI> doc = maker.document(2, 2);
    export_options o;
    o.bom = true;
    o.crlf = true;
    const std::string text = export_text(*doc, nullptr, o);
    ASSERT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u);
    std::size_t lf = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n') {
            ++lf;
            EXPECT_EQ(text[i - 1], '\r') << "line end at " << i;
        }
    EXPECT_GT(lf, 0u);
    Imported back = import_text(text);
    ASSERT_TRUE(back.result);
    EXPECT_EQ(tree_difference(*doc, *back.doc), "");
    // The same content as without the options.
    std::string plain = text.substr(3);
    for (std::size_t p; (p = plain.find("\r\n")) != std::string::npos;) plain.erase(p, 1);
    EXPECT_EQ(plain, export_text(*doc));
}

// ---------------------------------------------------------------------------
// Every loss, with its diagnostic.

TEST(ExportLosses, DescriptionsAndDocumentTextsAreReportedAndTheRestIsWritten) {
    ref<cls_INI> doc = cls_INI::create();
    doc->VERSION("2");
    doc->CONTENT("notes");
    doc->ROOT()->NAME("Top");
    doc->ROOT()->SORT("s");
    doc->ROOT()->DESCRIPTION("root text");
    doc->ENUMS()->CREATE("E")->DESCRIPTION("about E");
    doc->ENUMS()->Item(Variant(1), true)->VALUES()->add_member("a", {Variant("1")});
    doc->ROOT()->VALUES()->CREATE("A", Variant("x"))->DESCRIPTION("about A");
    doc->ROOT()->CHILDREN()->CREATE("G")->DESCRIPTION("about G");
    export_result r;
    const std::string text = export_text(*doc, &r);
    const std::string none = "the INI text has no form for a DESCRIPTION; it is not written";
    EXPECT_TRUE(diagnosed(r, "document", "VERSION", "the INI text has no form for the document's VERSION"));
    EXPECT_TRUE(diagnosed(r, "document", "CONTENT", "the INI text has no form for the document's CONTENT"));
    EXPECT_TRUE(diagnosed(r, "ROOT", "NAME", "the root group is the file itself and has no name in the text"));
    EXPECT_TRUE(diagnosed(r, "ROOT", "SORT", "the root group is the file itself and has no sort in the text"));
    EXPECT_TRUE(diagnosed(r, "ROOT", "DESCRIPTION", none));
    EXPECT_TRUE(diagnosed(r, "ENUMS(1):E", "DESCRIPTION", none));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(1):A", "DESCRIPTION", none));
    EXPECT_TRUE(diagnosed(r, "ROOT/CHILDREN(1):G", "DESCRIPTION", none));
    EXPECT_EQ(r.diagnostics.size(), 8u) << diagnostics_text(r.diagnostics);
    EXPECT_TRUE(r.written);
    EXPECT_EQ(text, "ENUM E,(a,1)\n\nA=x\n\nBEGIN G\nEND\n");
}

TEST(ExportLosses, ValueNamesTheTextCannotCarryLeaveTheValueOut) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIValues> v = doc->ROOT()->VALUES();
    v->CREATE("Font6", Variant("Arial"));
    v->CREATE("a b", Variant("x"));
    v->CREATE("Begin", Variant("x"));
    v->CREATE("Rem", Variant("x"));
    v->CREATE(std::string("N\xFF"), Variant("x"));
    v->CREATE("Kept", Variant("x"));
    export_result r;
    const std::string text = export_text(*doc, &r);
    const std::string chars =
        "the name holds characters that are not name characters (letters, the digits other "
        "than 6, _); the value is not written";
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(1):Font6", "NAME", chars));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(2):a b", "NAME", chars));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(3):Begin", "NAME",
                          "the name is a keyword of the INI text; the value is not written"));
    EXPECT_TRUE(
        diagnosed(r, "ROOT/VALUES(4):Rem", "NAME", "the name is a keyword of the INI text; the value is not written"));
    EXPECT_TRUE(diagnosed(r, std::string("ROOT/VALUES(5):N\xFF"), "NAME",
                          "the name is not valid UTF-8; the value is not written"));
    EXPECT_EQ(r.diagnostics.size(), 5u) << diagnostics_text(r.diagnostics);
    EXPECT_EQ(text, "Kept=x\n");
}

TEST(ExportLosses, KindsThatDisagreeWithTheirContent) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIValues> v = doc->ROOT()->VALUES();
    v->CREATE("L", Variant("x"), ID_INIValueSort_Long);
    v->CREATE("S", Variant(1.0), ID_INIValueSort_String);
    v->CREATE("B", Variant(""), ID_INIValueSort_Boolean);
    v->CREATE("C", Variant(255.0), ID_INIValueSort_Color);
    v->CREATE("D", Variant(std::int32_t{3}), ID_INIValueSort_Double);
    v->CREATE("T", Variant("2024-01-01"), ID_INIValueSort_Date);
    v->CREATE("K", Variant("x"), 5);
    v->CREATE("E", Variant(), ID_INIValueSort_String);
    export_result r;
    const std::string text = export_text(*doc, &r);
    auto why = [](const char* kind, const char* type) {
        return std::string("a ") + kind + " value holding " + type +
               " content reads back as something else; the "
               "value is not written";
    };
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(1):L", "CONTENT", why("Long", "String")));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(2):S", "CONTENT", why("String", "Double")));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(3):B", "CONTENT", why("Boolean", "String")));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(4):C", "CONTENT", why("Color", "Double")));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(5):D", "CONTENT", why("Double", "Long")));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(6):T", "CONTENT", why("Date", "String")));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(7):K", "SORT", "kind 5 has no written form; the value is not written"));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(8):E", "CONTENT", why("String", "Empty")));
    EXPECT_EQ(r.diagnostics.size(), 8u) << diagnostics_text(r.diagnostics);
    EXPECT_EQ(text, "");
}

TEST(ExportLosses, TextsNoQuotingCarriesThroughTheReader) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIValues> v = doc->ROOT()->VALUES();
    v->CREATE("Lines", Variant("a\nb"));
    v->CREATE("Tab", Variant("a\tb"));
    v->CREATE("Bytes", Variant(std::string("\xC3(")));
    v->CREATE("Fine", Variant("a\x01"
                              "b"));
    doc->ROOT()->CHILDREN()->CREATE("G\r");
    ref<cls_INIEnum> e = doc->ENUMS()->CREATE("E");
    e->VALUES()->add_member("m", {Variant("1\b")});
    export_result r;
    const std::string text = export_text(*doc, &r);
    EXPECT_TRUE(diagnosed(
        r, "ROOT/VALUES(1):Lines", "CONTENT",
        "the text holds line breaks, tabs or backspaces, which the reader deletes; the value is not written"));
    EXPECT_TRUE(diagnosed(
        r, "ROOT/VALUES(2):Tab", "CONTENT",
        "the text holds line breaks, tabs or backspaces, which the reader deletes; the value is not written"));
    EXPECT_TRUE(diagnosed(
        r, "ROOT/VALUES(3):Bytes", "CONTENT",
        "the text is not valid UTF-8 (the reader would take its bytes as Windows-1252); the value is not written"));
    EXPECT_TRUE(
        diagnosed(r, "ROOT/CHILDREN(1):G\r", "NAME",
                  "the name holds line breaks, tabs or backspaces, which the reader deletes; the group and what "
                  "it holds are not written"));
    EXPECT_TRUE(diagnosed(r, "ENUMS(1):E", "VALUES",
                          "a member's name or value holds line breaks, tabs or backspaces, or is not valid UTF-8; the "
                          "enumeration is not written"));
    EXPECT_EQ(r.diagnostics.size(), 5u) << diagnostics_text(r.diagnostics);
    EXPECT_EQ(text,
              "Fine=\"a\x01"
              "b\"\n");
}

TEST(ExportLosses, DatesWithATimeOfDayOrOutsideTheYearsTheTextCanName) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIValues> v = doc->ROOT()->VALUES();
    v->CREATE("Noon", Variant(Date{46362.5}), ID_INIValueSort_Date);
    v->CREATE("Before", Variant(Date{-1.25}), ID_INIValueSort_Date); // 1899-12-29 06:00
    v->CREATE("Far", Variant(Date{3'000'000}), ID_INIValueSort_Date);
    v->CREATE("Early", Variant(Date{-700'000}), ID_INIValueSort_Date);
    v->CREATE("Bad", Variant(Date{std::nan("")}), ID_INIValueSort_Date);
    export_result r;
    const std::string text = export_text(*doc, &r);
    const std::string time = "the time of day has no written form; only the day is written";
    const std::string range = "the date lies outside the years 100 to 9999; the value is not written";
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(1):Noon", "CONTENT", time));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(2):Before", "CONTENT", time));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(3):Far", "CONTENT", range));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(4):Early", "CONTENT", range));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(5):Bad", "CONTENT", range));
    EXPECT_EQ(r.diagnostics.size(), 5u) << diagnostics_text(r.diagnostics);
    EXPECT_EQ(text, "Noon=2026-12-06\nBefore=1899-12-29\n");
    Imported back = import_text(text);
    EXPECT_TRUE(back.doc->VALUE("Before").same(Variant(Date{-1})));
}

TEST(ExportLosses, NumbersAndColoursWithoutAWrittenForm) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIValues> v = doc->ROOT()->VALUES();
    v->CREATE("N", Variant(std::nan("")), ID_INIValueSort_Double);
    v->CREATE("Z", Variant(-0.0), ID_INIValueSort_Long);
    v->CREATE("C", Variant(std::int32_t{0x1000000}), ID_INIValueSort_Color);
    v->CREATE("M", Variant(std::int32_t{-1}), ID_INIValueSort_Color);
    export_result r;
    const std::string text = export_text(*doc, &r);
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(1):N", "CONTENT", "NaN has no written form; the value is not written"));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(2):Z", "CONTENT", "negative zero reads back as zero; 0 is written"));
    const std::string colour = "a colour outside 0 to 16777215 has no three components; the value is not written";
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(3):C", "CONTENT", colour));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(4):M", "CONTENT", colour));
    EXPECT_EQ(r.diagnostics.size(), 4u) << diagnostics_text(r.diagnostics);
    EXPECT_EQ(text, "Z=0\n");
}

TEST(ExportLosses, EnumerationReferencesThatTheTextCannotResolve) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIEnum> first = doc->ENUMS()->CREATE("Modes");
    first->IMPORT("Off,0");
    ref<cls_INIEnum> second = doc->ENUMS()->CREATE(" MODES ");
    second->IMPORT("On,1");
    ref<cls_INIEnum> outside = cls_INIEnum::create();
    outside->NAME("Elsewhere");
    ref<cls_INIValues> v = doc->ROOT()->VALUES();
    v->CREATE("A", Variant("Off"), ID_INIValueSort_Enum)->ENUMREF(outside);
    v->CREATE("B", Variant("Off"), ID_INIValueSort_Enum);
    v->CREATE("C", Variant("On"), ID_INIValueSort_Enum)->ENUMREF(second);
    v->CREATE("D", Variant("12"), ID_INIValueSort_Enum)->ENUMREF(first);
    v->CREATE("E", Variant::boolean(true), ID_INIValueSort_Enum)->ENUMREF(first);
    v->CREATE("F", Variant("x"), ID_INIValueSort_String)->ENUMREF(first); // kept by no text: see below
    v->CREATE("G", Variant(0.0), ID_INIValueSort_Enum)->ENUMREF(first);
    doc->ENUMS()->ADD(first, Variant("Modes")); // held twice: found at its first place
    export_result r;
    const std::string text = export_text(*doc, &r);
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(1):A", "ENUMREF",
                          "the enumeration is not declared in the text (it is not in ENUMS, or cannot be written); the "
                          "value is not written"));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(2):B", "ENUMREF",
                          "an Enum value without ENUMREF has no written form; the value is not written"));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(3):C", "ENUMREF",
                          "an enumeration before it in ENUMS has the same name, and a reference finds the first; the "
                          "value is not written"));
    EXPECT_TRUE(diagnosed(r, "ROOT/VALUES(4):D", "CONTENT",
                          "the member text reads back as a number; the value is not written"));
    EXPECT_TRUE(
        diagnosed(r, "ROOT/VALUES(5):E", "CONTENT",
                  "an Enum value holding Boolean content reads back as something else; the value is not written"));
    EXPECT_TRUE(
        diagnosed(r, "ROOT/VALUES(6):F", "ENUMREF",
                  "a value of another kind than Enum reads back without ENUMREF; the reference is not written"));
    EXPECT_EQ(r.diagnostics.size(), 6u) << diagnostics_text(r.diagnostics);
    EXPECT_EQ(text, "ENUM Modes,(Off,0)\nENUM \" MODES \",(On,1)\nENUM Modes,(Off,0)\n\nF=x\nG=ENUM(Modes),0\n");
    Imported back = import_text(text);
    EXPECT_EQ(back.doc->ROOT()->VALUES()->Item(Variant("G"), false)->ENUMREF(),
              back.doc->ENUMS()->Item(Variant(1), true));
}

TEST(ExportLosses, GroupsWhoseKeySortOrPlaceTheTextCannotCarry) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIGroups> children = doc->ROOT()->CHILDREN();
    ref<cls_INIGroup> keyed = cls_INIGroup::create();
    keyed->NAME("Named");
    children->ADD(keyed, Variant("Other"));
    children->CREATE("", "SortOnly");
    ref<cls_INIGroup> loop = children->CREATE("Loop");
    loop->CHILDREN()->ADD(loop, Variant("Loop"));
    export_result r;
    const std::string text = export_text(*doc, &r);
    EXPECT_TRUE(diagnosed(r, "ROOT/CHILDREN(1):Named", "key",
                          "its collection finds it by a key other than its NAME; read back, it is found by its NAME"));
    EXPECT_TRUE(diagnosed(r, "ROOT/CHILDREN(2):", "SORT",
                          "a group with an empty NAME cannot keep its SORT: BEGIN would take the sort as the name; the "
                          "sort is not written"));
    EXPECT_TRUE(diagnosed(r, "ROOT/CHILDREN(3):Loop/CHILDREN(1):Loop", "CHILDREN",
                          "the group is its own ancestor; this occurrence is not written"));
    EXPECT_EQ(r.diagnostics.size(), 3u) << diagnostics_text(r.diagnostics);
    EXPECT_EQ(text, "BEGIN Named\nEND\n\nBEGIN\nEND\n\nBEGIN Loop\nEND\n");
    loop->CHILDREN()->REMOVE(Variant(1), true); // break the cycle, or the groups keep each other alive
}

TEST(ExportLosses, EnumerationsWithoutMembersOrWithoutAPlaceInAGroupsFile) {
    ref<cls_INI> doc = cls_INI::create();
    doc->ENUMS()->CREATE("Empty");
    export_result r;
    const std::string text = export_text(*doc, &r);
    EXPECT_TRUE(diagnosed(r, "ENUMS(1):Empty", "VALUES",
                          "an enumeration without members reads back with one member whose name and value are empty"));
    EXPECT_EQ(text, "ENUM Empty,(\"\",\"\")\n\n");

    ref<cls_INIGroups> none = cls_INIGroups::create();
    std::ostringstream out;
    r = export_ini(*none, out, {}, doc.get());
    EXPECT_TRUE(diagnosed(r, "enums_of/ENUMS(1):Empty", "NAME",
                          "the enumeration is not written: a groups file declares enumerations inside a group, and "
                          "there is none"));
    EXPECT_EQ(out.str(), "");

    // Without the document no Enum value of the groups can be written.
    ref<cls_INIGroups> groups = cls_INIGroups::create();
    ref<cls_INIEnum> e = doc->ENUMS()->Item(Variant(1), true);
    groups->CREATE("G")->VALUES()->CREATE("V", Variant("a"), ID_INIValueSort_Enum)->ENUMREF(e);
    std::ostringstream out2;
    r = export_ini(*groups, out2);
    EXPECT_TRUE(diagnosed(r, "CHILDREN(1):G/VALUES(1):V", "ENUMREF",
                          "the enumeration is not declared in the text (it is not in ENUMS, or cannot be written); the "
                          "value is not written"));
    EXPECT_EQ(out2.str(), "BEGIN G\nEND\n");
}

TEST(ExportLosses, TopLevelGroupsOfAGroupsFileAreWordsKeptAsWritten) {
    ref<cls_INIGroups> groups = cls_INIGroups::create();
    groups->CREATE("Two words");
    groups->CREATE("\"Quoted\"", "Sort");
    groups->CREATE("Ok", "Printer");
    groups->CREATE("", "Lonely");
    std::ostringstream out;
    const export_result r = export_ini(*groups, out);
    const std::string why =
        "a top-level group of a groups file is named by words cut at blanks and kept as written "
        "(no quoting); this name and sort do not read back, and the group is not written";
    EXPECT_TRUE(diagnosed(r, "CHILDREN(1):Two words", "NAME", why));
    EXPECT_TRUE(diagnosed(r, "CHILDREN(4):", "SORT",
                          "a group with an empty NAME cannot keep its SORT: BEGIN would take the sort as the name; the "
                          "sort is not written"));
    EXPECT_EQ(r.diagnostics.size(), 2u) << diagnostics_text(r.diagnostics);
    // A quoted name is a word like any other: its quotes stay.
    EXPECT_EQ(out.str(), "BEGIN \"Quoted\" Sort\nEND\n\nBEGIN Ok Printer\nEND\n\nBEGIN\nEND\n");
}

// ---------------------------------------------------------------------------

TEST(ExportStrict, LossesStopTheExportAndLeaveTheFileAsItWas) {
    ref<cls_INI> doc = cls_INI::create();
    doc->ROOT()->VALUES()->CREATE("A", Variant("x"))->DESCRIPTION("d");
    export_options strict;
    strict.strict = true;
    std::ostringstream out;
    export_result r = export_ini(*doc, out, strict);
    EXPECT_FALSE(r.written);
    EXPECT_EQ(r.diagnostics.size(), 1u);
    EXPECT_EQ(out.str(), "");

    TempDir dir;
    const std::string path = dir.write("keep.ini", "Old=1\n");
    r = export_ini_file(*doc, path, strict);
    EXPECT_FALSE(r.written);
    EXPECT_EQ(read_file(path), "Old=1\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    doc->ROOT()->VALUES()->Item(Variant(1), true)->DESCRIPTION("");
    r = export_ini_file(*doc, path, strict);
    EXPECT_TRUE(r.written);
    EXPECT_EQ(read_file(path), "A=x\n");
}

TEST(ExportFile, ReplacesTheTargetLikeSaveAndNeverWritesThroughALink) {
    ModelMaker maker(11);
    ref<cls_INI> doc = maker.document(2, 2);
    TempDir dir;
    const std::string target = dir.write("target.ini", "Old=1\n");
    ::chmod(target.c_str(), 0640);
    const std::string link = dir.file("link.ini");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    export_result r = export_ini_file(*doc, link);
    EXPECT_TRUE(r.written);
    // The link was replaced by the new file; its target is untouched.
    EXPECT_EQ(read_file(target), "Old=1\n");
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(link), export_text(*doc));
    // A file of this user keeps its permissions.
    r = export_ini_file(*doc, target);
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ref<cls_INI> back = cls_INI::create();
    ASSERT_TRUE(back->IMPORT(target, false));
    EXPECT_EQ(tree_difference(*doc, *back), "");
    // New files follow the umask.
    const mode_t saved = ::umask(077);
    export_ini_file(*doc, dir.file("private.ini"));
    ::umask(saved);
    ASSERT_EQ(::stat(dir.file("private.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // A folder that does not exist: an error, and nothing is left behind.
    EXPECT_THROW(export_ini_file(*doc, dir.file("missing/x.ini")), Error);
    std::ostringstream bad;
    bad.setstate(std::ios::badbit);
    EXPECT_THROW(export_ini(*doc, bad), Error);
}

TEST(ExportCommand, WritesTheExampleAndRefusesLossesUnderStrict) {
    TempDir dir;
    const std::string cli = TR47_CLI;
    const std::string example = std::string(TR47_TEST_DATA) + "/../../examples/settings.ini";
    const std::string out = dir.file("out.ini");
    ASSERT_EQ(std::system((cli + " export " + example + " " + out + " --strict 2>/dev/null").c_str()), 0);
    ref<cls_INI> a = cls_INI::create(), b = cls_INI::create();
    ASSERT_TRUE(a->IMPORT(example, false));
    ASSERT_TRUE(b->IMPORT(out, false));
    EXPECT_EQ(tree_difference(*a, *b), "");

    // A stored file under a password. Its Enum values come back from LOAD
    // without ENUMREF (the stored form keeps none): export reports them.
    ref<cls_INI> d = cls_INI::create();
    ASSERT_TRUE(d->IMPORT(
        dir.write("in.ini", "ENUM M,(On,1)\nTitle=\"a, b\"\nBEGIN P, F\nX=1.5\nEND\nMode=ENUM(M),On\n"), false));
    d->ROOT()->VALUES()->Item(Variant(1), true)->DESCRIPTION("lost in text");
    const std::string stored = dir.file("in.tr47");
    ASSERT_TRUE(d->SAVE(stored, "pw"));
    const std::string pw = dir.write("pw.txt", "pw\n");
    const std::string out2 = dir.file("out2.ini");
    const std::string base = cli + " export " + stored + " " + out2 + " --password-file " + pw;
    EXPECT_NE(std::system((base + " --strict 2>/dev/null").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(out2));
    EXPECT_EQ(std::system((base + " 2>" + dir.file("err.txt")).c_str()), 0);
    const std::string err = read_file(dir.file("err.txt"));
    EXPECT_NE(err.find("ROOT/VALUES(1):Title: DESCRIPTION"), std::string::npos) << err;
    EXPECT_NE(err.find("ROOT/VALUES(2):Mode: ENUMREF"), std::string::npos) << err;
    ref<cls_INI> c = cls_INI::create();
    ASSERT_TRUE(c->IMPORT(out2, false));
    d->ROOT()->VALUES()->Item(Variant(1), true)->DESCRIPTION("");
    d->ROOT()->VALUES()->REMOVE(Variant(2), true);
    EXPECT_EQ(tree_difference(*d, *c), "");
    // A stored file under a password needs it; it is never read as INI text.
    EXPECT_EQ(std::system((cli + " export " + stored + " " + out2 + " 2>" + dir.file("err2.txt")).c_str()) >> 8, 1);
    EXPECT_NE(read_file(dir.file("err2.txt")).find("is a stored file"), std::string::npos);
    EXPECT_EQ(std::system((cli + " export " + example + " 2>/dev/null").c_str()) >> 8, 2);
}

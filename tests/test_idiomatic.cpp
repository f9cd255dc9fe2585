// The C++ layer (tr47ini/ini.hpp): conversions, look-ups by name, tree and
// path, ranges, and calls through empty references.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/helpers.hpp"

using namespace tr47;
using namespace std::chrono;
using tr47::test::import_text;
using tr47::test::TempDir;

namespace {

const char* const kSettings =
    "ENUM Modes,(Off,0,On,1,Auto,2)\n"
    "Title=\"Report, final\"\n"
    "Count=5\n"
    "Ratio=1.5\n"
    "Flag=ja\n"
    "Created=2026-12-06\n"
    "Colour=255,128,0\n"
    "Mode=ENUM(Modes),On\n"
    "Big=9007199254740993\n"
    "BEGIN Printer, Fonts\n"
    "  Face=Arial\n"
    "  BEGIN Fallback\n"
    "    Face=Helvetica\n"
    "  END\n"
    "END\n"
    "BEGIN Network\n"
    "  Port=&H1F90\n"
    "  Timeout=\"30\"\n"
    "END\n";

Document settings() {
    auto r = import_text(kSettings);
    EXPECT_TRUE(r.result);
    return Document(r.doc);
}

Variant date_of(double days) { return Variant(Date{days}); }

} // namespace

// --- Conversions of a content ----------------------------------------------

TEST(ValueAs, WholeNumbersFromLongsDoublesAndTexts) {
    EXPECT_EQ(value_as<int>(Variant(std::int32_t{-7})), -7);
    EXPECT_EQ(value_as<int>(Variant(8080.0)), 8080);
    EXPECT_EQ(value_as<int>(Variant(" 42 ")), 42);
    EXPECT_EQ(value_as<int>(Variant("&H1F90")), 8080);
    EXPECT_EQ(value_as<long>(Variant("1E3")), 1000);
    // No rounding, no texts with units, no booleans or dates.
    EXPECT_FALSE(value_as<int>(Variant(1.5)));
    EXPECT_FALSE(value_as<int>(Variant("12pt")));
    EXPECT_FALSE(value_as<int>(Variant::boolean(true)));
    EXPECT_FALSE(value_as<int>(date_of(46000)));
    EXPECT_FALSE(value_as<int>(Variant()));
    EXPECT_FALSE(value_as<int>(Variant(Null{})));
    EXPECT_FALSE(value_as<int>(Variant::omitted()));
}

TEST(ValueAs, IntegersOnlyWhereTheNumberFits) {
    EXPECT_FALSE(value_as<int>(Variant(3e9)));
    EXPECT_EQ(value_as<std::int64_t>(Variant(3e9)), 3000000000LL);
    EXPECT_FALSE(value_as<unsigned>(Variant(std::int32_t{-1})));
    EXPECT_FALSE(value_as<std::uint8_t>(Variant(300.0)));
    EXPECT_EQ(value_as<std::uint8_t>(Variant(255.0)), 255);
    // A text of a 64-bit number is read exactly, past a double's precision.
    EXPECT_EQ(value_as<std::int64_t>(Variant("9007199254740993")), 9007199254740993LL);
    EXPECT_EQ(value_as<std::int64_t>(Variant("-9223372036854775808")), std::numeric_limits<std::int64_t>::min());
    EXPECT_FALSE(value_as<std::int64_t>(Variant("9223372036854775808")));
    EXPECT_FALSE(value_as<std::int64_t>(Variant(9223372036854775808.0)));
    EXPECT_EQ(value_as<std::int64_t>(Variant(-9223372036854775808.0)), std::numeric_limits<std::int64_t>::min());
}

TEST(ValueAs, BooleansFromBooleansNumbersAndWords) {
    EXPECT_EQ(value_as<bool>(Variant::boolean(false)), false);
    EXPECT_EQ(value_as<bool>(Variant(std::int32_t{0})), false);
    EXPECT_EQ(value_as<bool>(Variant(2.0)), true);
    EXPECT_EQ(value_as<bool>(Variant("Ja")), true);
    EXPECT_EQ(value_as<bool>(Variant(" NEIN ")), false);
    EXPECT_EQ(value_as<bool>(Variant("yes")), true);
    EXPECT_EQ(value_as<bool>(Variant("0")), false);
    EXPECT_FALSE(value_as<bool>(Variant("maybe")));
    EXPECT_FALSE(value_as<bool>(date_of(1)));
}

TEST(ValueAs, FloatingPointAndText) {
    EXPECT_EQ(value_as<double>(Variant(std::int32_t{3})), 3.0);
    EXPECT_EQ(value_as<double>(Variant("1,5")), 1.5);
    EXPECT_EQ(value_as<float>(Variant(0.25)), 0.25f);
    EXPECT_FALSE(value_as<double>(Variant("1.5 m")));
    EXPECT_FALSE(value_as<double>(Variant::boolean(true)));
    EXPECT_EQ(value_as<std::string>(Variant("x")), "x");
    EXPECT_EQ(value_as<std::string>(Variant(std::int32_t{12})), "12");
    EXPECT_EQ(value_as<std::string>(Variant::boolean(true)), "True");
    EXPECT_EQ(value_as<std::string>(Variant()), "");
    EXPECT_FALSE(value_as<std::string>(Variant(ErrorValue{hr::FAIL})));
    EXPECT_FALSE(value_as<std::string>(Variant(Null{})));
    EXPECT_TRUE(value_as<Variant>(Variant(ErrorValue{hr::FAIL}))->same(Variant(ErrorValue{hr::FAIL})));
}

TEST(ValueAs, DatesAsChronoTypes) {
    // 46362 days after 1899-12-30 is 2026-12-06; .75 of a day is 18:00.
    const Variant d = date_of(46362.75);
    EXPECT_EQ(value_as<year_month_day>(d), 2026y / December / 6);
    EXPECT_EQ(value_as<sys_days>(d), sys_days(2026y / December / 6));
    EXPECT_EQ(value_as<sys_seconds>(d), sys_days(2026y / December / 6) + 18h);
    EXPECT_EQ(value_as<std::string>(d), "2026-12-06 18:00:00");
    EXPECT_EQ(value_as<std::string>(date_of(46362)), "2026-12-06");
    // Before the epoch the fraction is still the time of that day.
    EXPECT_EQ(value_as<sys_seconds>(date_of(-1.25)), sys_days(1899y / December / 29) + 6h);
    EXPECT_EQ(value_as<year_month_day>(Variant("2026-12-06")), 2026y / December / 6);
    EXPECT_FALSE(value_as<sys_days>(Variant("not a date")));
    EXPECT_FALSE(value_as<sys_days>(Variant(46362.0)));
    EXPECT_FALSE(value_as<sys_days>(date_of(1e12)));
}

// --- Look-ups ----------------------------------------------------------------

TEST(Lookups, TypedWithDefaultsOverTheWholeTree) {
    Document doc = settings();
    EXPECT_EQ(doc.get<int>("Port", 80), 8080);
    EXPECT_EQ(doc.get<int>("Missing", 80), 80);
    EXPECT_EQ(doc.get<int>("Title", 7), 7); // a text that is no number
    EXPECT_EQ(doc.get<std::string>("Face"), "Arial"); // depth first: the outer group first
    EXPECT_EQ(doc.get("Face", "none"), "Arial");
    EXPECT_EQ(doc.get("Nothing", "none"), "none");
    EXPECT_EQ(doc.get<bool>("Flag", false), true);
    EXPECT_EQ(doc.get<double>("Ratio", 0.0), 1.5);
    EXPECT_EQ(doc.get<year_month_day>("Created"), 2026y / December / 6);
    EXPECT_EQ(doc.get<std::int64_t>("Big"), 9007199254740992LL); // stored as a double by the import
    EXPECT_EQ(doc.get<int>("Timeout"), 30); // a quoted number is a text
    EXPECT_EQ(doc.get<int>("Colour"), 255 + 128 * 256);
    EXPECT_EQ(doc.get<std::string>("Mode"), "On");
    EXPECT_TRUE(doc.contains("Port"));
    EXPECT_FALSE(doc.contains("Port", Lookup::Here));
    EXPECT_TRUE(doc.find("Count")->same(Variant(5.0)));
    EXPECT_FALSE(doc.find("Sever"));
}

TEST(Lookups, PathsOfGroupNames) {
    Document doc = settings();
    EXPECT_EQ(doc.get<int>("Network/Port", Lookup::Path), 8080);
    EXPECT_EQ(doc.get<std::string>("Fonts/Face", Lookup::Path), "Arial");
    EXPECT_EQ(doc.get<std::string>("Printer, Fonts/Fallback/Face", Lookup::Path), "Helvetica");
    EXPECT_EQ(doc.get<std::string>(" fonts /FALLBACK/ face", Lookup::Path), "Helvetica"); // case and blanks
    EXPECT_FALSE(doc.get<std::string>("Printer/Face", Lookup::Path)); // the sort alone names no group
    EXPECT_FALSE(doc.get<std::string>("Other, Fonts/Face", Lookup::Path)); // the sort must match too
    EXPECT_FALSE(doc.get<std::string>("Fonts//Face", Lookup::Path));
    EXPECT_FALSE(doc.get<int>("Network/Port/Extra", Lookup::Path));
    // A path looks only in its last group, not below it.
    EXPECT_FALSE(doc.get<std::string>("Fonts/Title", Lookup::Path));
    EXPECT_FALSE(doc.get<std::string>("Fonts/Missing", Lookup::Path));
    EXPECT_EQ(doc.get<int>("Count", Lookup::Path), 5); // no "/": the root's own values
    // Without Lookup::Path a "/" is part of the name, as in the model.
    EXPECT_FALSE(doc.contains("Network/Port"));
    ASSERT_TRUE(doc.group("Fonts/Fallback"));
    EXPECT_EQ(doc.group("Fonts/Fallback")->get<std::string>("Face"), "Helvetica");
    EXPECT_FALSE(doc.group("Sever"));
}

TEST(Lookups, GroupSearchesItsOwnValuesUnlessAsked) {
    Document doc = settings();
    Group printer = *doc.group("Fonts");
    EXPECT_EQ(printer.sort(), "Printer");
    EXPECT_EQ(printer.get<std::string>("Face"), "Arial");
    EXPECT_FALSE(printer.get<std::string>("Title"));
    Group fallback = *printer.group("Fallback");
    EXPECT_EQ(fallback.get("Face", "none"), "Helvetica");
    // A group without the value; the tree below the network group has none either.
    EXPECT_FALSE(doc.group("Network")->contains("Face", Lookup::Tree));
}

TEST(Lookups, NameViewsNeedNoTerminator) {
    Document doc = settings();
    const std::string text = "PortXYZ";
    EXPECT_EQ(doc.get<int>(std::string_view(text).substr(0, 4)), 8080);
}

// --- Ranges ------------------------------------------------------------------

TEST(Ranges, GroupsValuesEnumerationsAndMembers) {
    Document doc = settings();
    std::vector<std::string> names;
    for (Group g : doc.root().groups()) names.push_back(g.name());
    EXPECT_EQ(names, (std::vector<std::string>{"Fonts", "Network"}));

    std::vector<std::string> values;
    for (Value v : doc.group("Network")->values())
        values.push_back(v.name() + "=" + v.get<std::string>().value_or("?") + ":" + std::to_string(v.kind()));
    EXPECT_EQ(values, (std::vector<std::string>{"Port=8080:1", "Timeout=30:0"}));

    // A walk of the whole tree by recursion over the ranges.
    std::vector<std::string> walked;
    auto walk = [&](auto& self, const Group& g, const std::string& prefix) -> void {
        for (Value v : g.values()) walked.push_back(prefix + v.name());
        for (Group child : g.groups()) self(self, child, prefix + child.name() + "/");
    };
    walk(walk, doc.root(), "");
    EXPECT_EQ(walked.size(), 12u);
    EXPECT_EQ(walked[9], "Fonts/Fallback/Face");

    ASSERT_EQ(doc.enumerations().size(), 1u);
    for (Enumeration e : doc.enumerations()) {
        EXPECT_EQ(e.name(), "Modes");
        std::string members;
        for (const auto& m : e.members()) members += m.name + "=" + m.value + ";";
        EXPECT_EQ(members, "Off=0;On=1;Auto=2;");
        EXPECT_EQ(e.value_of(" on "), "1");
        EXPECT_FALSE(e.value_of("Never"));
    }
    EXPECT_FALSE(doc.enumeration("Sizes"));
    Value mode = *doc.root().value(" mode ");
    ASSERT_TRUE(mode.enumeration());
    EXPECT_EQ(mode.enumeration()->name(), "Modes");
    EXPECT_EQ(mode.kind(), ID_INIValueSort_Enum);
    EXPECT_FALSE(doc.root().value("Face")); // own values only
    EXPECT_EQ(doc.group("Network")->value("Port")->get<int>(), 8080);
    EXPECT_FALSE(doc.group("Fonts/Fallback")->value("Missing"));
}

TEST(Ranges, ReadingCreatesNoCollections) {
    Document doc = settings();
    Group fallback = *doc.group("Fonts/Fallback");
    EXPECT_TRUE(fallback.groups().empty());
    EXPECT_EQ(fallback.groups().begin(), fallback.groups().end());
    EXPECT_EQ(fallback.model()->children_if_any(), nullptr);
    Document empty;
    EXPECT_TRUE(empty.root().values().empty());
    EXPECT_EQ(empty.get<int>("Anything", 3), 3);
    EXPECT_EQ(empty.root().model()->values_if_any(), nullptr);
}

// --- Empty references, save and load ---------------------------------------

TEST(EmptyReferences, AChainedLookUpOfAMissingGroupRaises) {
    Document doc = settings();
    ref<cls_INIGroups> children = doc.root().model()->CHILDREN();
    try {
        children->Item(Variant("Sever"), false)->VALUE("Port");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), hr::OBJECT_NOT_SET);
    }
    ref<cls_INIGroup> none;
    EXPECT_THROW((void)*none, Error);
    EXPECT_EQ(none.get(), nullptr); // get() stays a plain read
    // The model's own answer is unchanged: Item finds nothing.
    EXPECT_FALSE(children->Item(Variant("Sever"), false));
}

TEST(DocumentFiles, SaveAndLoadUnderAPassword) {
    TempDir dir;
    Document doc = settings();
    const std::string file = dir.file("settings.tr47");
    ASSERT_TRUE(doc.save(file, "secret"));
    Document back;
    EXPECT_FALSE(back.load(file, "wrong"));
    EXPECT_FALSE(back.contains("Port"));
    ASSERT_TRUE(back.load(file, std::string_view("secret!").substr(0, 6)));
    EXPECT_EQ(back.get<int>("Network/Port", Lookup::Path), 8080);
    EXPECT_EQ(back.get<std::string>("Fonts/Fallback/Face", Lookup::Path), "Helvetica");
}

TEST(DocumentFiles, ImportFailureListsDiagnostics) {
    TempDir dir;
    Document doc;
    EXPECT_FALSE(doc.import(dir.write("bad.ini", "bad line\n"), false));
    ASSERT_FALSE(doc.diagnostics().empty());
    EXPECT_EQ(doc.diagnostics().front().line, 1);
}

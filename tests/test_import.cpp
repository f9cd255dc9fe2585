#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "corelib/text_lines.hpp"
#include "tests/support/helpers.hpp"

using namespace tr47;
using tr47::test::child_at;
using tr47::test::import_text;
using tr47::test::Imported;
using tr47::test::MessageCapture;
using tr47::test::S;
using tr47::test::TempDir;
using tr47::test::value_at;

namespace {
struct Kind {
    std::int32_t sort;
    Variant content;
};

// Kind and content of the one value that a line creates in the root group.
Kind kind_of(const std::string& line) {
    Imported r = import_text(line + "\n");
    EXPECT_TRUE(r.result) << line;
    ref<cls_INIValues> values = r.doc->ROOT()->VALUES();
    EXPECT_EQ(values->COUNT(), 1) << line;
    if (values->COUNT() != 1) return {-1, Variant()};
    ref<cls_INIValue> v = values->Item(Variant(1));
    return {v->SORT(), v->CONTENT()};
}

void expect_kind(const std::string& line, std::int32_t sort, const Variant& content) {
    Kind k = kind_of(line);
    EXPECT_EQ(k.sort, sort) << line;
    EXPECT_TRUE(k.content.same(content)) << line << " gave " << describe(k.content);
}

const std::string kUnrecognised1 = "Die Anweisung '";
std::string unrecognised(const std::string& line) {
    return "Die Anweisung '" + line + "' konnte nicht verstanden werden.";
}
} // namespace

TEST(IniKinds, WrittenFormsAndWhatTheyBecome) {
    expect_kind("Colour=255,128,0", ID_INIValueSort_Color, Variant(std::int32_t{33023}));
    expect_kind("Colour=300,0,0", ID_INIValueSort_Color, Variant(std::int32_t{255}));
    expect_kind("Colour=0,0,255", ID_INIValueSort_Color, Variant(std::int32_t{16711680}));
    expect_kind("Colour=0.5,1.5,2.5", ID_INIValueSort_Color, Variant(std::int32_t{0 + 256 * 2 + 65536 * 2}));
    expect_kind("Colour=-1,0,0", ID_INIValueSort_Color, Variant("")); // not computable
    expect_kind("Colour=40000,0,0", ID_INIValueSort_Color, Variant(""));
    expect_kind("Colour=0,32767,0", ID_INIValueSort_Color, Variant(std::int32_t{255 * 256}));
    expect_kind("Colour=0,0,32768", ID_INIValueSort_Color, Variant(""));
    expect_kind("Colour=007,1 2,255 ", ID_INIValueSort_Color, Variant(std::int32_t{7 + 256 * 12 + 65536 * 255}));
    expect_kind("Colour=99999,0,0", ID_INIValueSort_Color, Variant(""));
    expect_kind("Text=\"12\"", ID_INIValueSort_String, Variant("12"));
    expect_kind("Text=\"1\",2,3", ID_INIValueSort_String, Variant("1")); // quoted item 1 wins over colour
    expect_kind("Text=\"a,b\"", ID_INIValueSort_String, Variant("a,b"));
    expect_kind("Flag=ja", ID_INIValueSort_Boolean, Variant::boolean(true));
    expect_kind("Flag=Nein", ID_INIValueSort_Boolean, Variant::boolean(false));
    expect_kind("Flag=WAHR", ID_INIValueSort_Boolean, Variant::boolean(true));
    expect_kind("Flag=no", ID_INIValueSort_Boolean, Variant::boolean(false));
    expect_kind("Count=5", ID_INIValueSort_Long, Variant(5.0));
    expect_kind("Count=-7", ID_INIValueSort_Long, Variant(-7.0));
    expect_kind("Count=&H1F", ID_INIValueSort_Long, Variant(31.0));
    expect_kind("Ratio=1.5", ID_INIValueSort_Double, Variant(1.5));
    expect_kind("Ratio=(1,5)", ID_INIValueSort_Double, Variant(1.5));
    expect_kind("Ratio=1,5", ID_INIValueSort_Long, Variant(1.0));
    expect_kind("Zero=0", ID_INIValueSort_Long, Variant(0.0));
    expect_kind("Zero=(0,0)", ID_INIValueSort_Double, Variant(0.0));
    expect_kind("Zero=0.0", ID_INIValueSort_Double, Variant(0.0));
    expect_kind("Half=(0,5)", ID_INIValueSort_String, Variant("0,5"));
    expect_kind("Half=0.5", ID_INIValueSort_Double, Variant(0.5));
    expect_kind("Size= 5", ID_INIValueSort_Long, Variant(5.0));
    expect_kind("Font7=Arial", ID_INIValueSort_String, Variant("Arial"));
    expect_kind("Size=12pt", ID_INIValueSort_String, Variant("12pt"));
    expect_kind("Empty=", ID_INIValueSort_String, Variant(""));
    expect_kind("=nameless", ID_INIValueSort_String, Variant("nameless"));
    expect_kind("Day=2026-12-06", ID_INIValueSort_Date, Variant(Date{46362}));
    expect_kind("Day=2026-02-30", ID_INIValueSort_Date, Variant(""));
    expect_kind("Day=6.12.2026", ID_INIValueSort_String, Variant("6.12.2026"));
    expect_kind("Größe=1", ID_INIValueSort_Long, Variant(1.0));
    // A value of kind Long holds a double, never a 32-bit integer.
    Imported r = import_text("Count=5\n");
    EXPECT_TRUE(r.doc->VALUE("count").is_double());
}

TEST(IniAnatomy, NamesSeparatorsAndKeywords) {
    // 6 is no name character: the name ends before it.
    Imported r = import_text("Font6=Arial\n");
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.messages, std::vector<std::string>{unrecognised("Font6=Arial")});
    r = import_text("Size =5\n");
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.messages, std::vector<std::string>{unrecognised("Size =5")});
    r = import_text("Size:5\n");
    EXPECT_FALSE(r.result);
    r = import_text("JustAName\n");
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.messages, std::vector<std::string>{unrecognised("JustAName")});

    // Keywords are recognised by the name whatever follows; case is free.
    // A dotless i upper-cases to I, so "begın" is BEGIN too.
    for (const char* begin : {"BEGIN Fonts", "begin:Fonts", "Begin=Fonts", "beg\xC4\xB1n Fonts"}) {
        r = import_text(std::string(begin) + "\nA=1\nEND=1\nB=2\n");
        ASSERT_TRUE(r.result) << begin;
        ref<cls_INIGroup> g = child_at(r.doc->ROOT(), 1);
        EXPECT_EQ(g->NAME(), "Fonts");
        EXPECT_EQ(g->SORT(), "");
        EXPECT_TRUE(g->EXISTS("A"));
        EXPECT_TRUE(r.doc->ROOT()->EXISTS("B"));
    }
    r = import_text("BEGIN Printer,Fonts\nEND\nBEGIN \"Quoted, name\"\nEND\nBEGIN a,\"\"\nEND\n");
    ASSERT_EQ(r.doc->ROOT()->CHILDREN()->COUNT(), 3);
    EXPECT_EQ(child_at(r.doc->ROOT(), 1)->NAME(), "Fonts");
    EXPECT_EQ(child_at(r.doc->ROOT(), 1)->SORT(), "Printer");
    EXPECT_EQ(child_at(r.doc->ROOT(), 2)->NAME(), "Quoted, name");
    EXPECT_EQ(child_at(r.doc->ROOT(), 3)->NAME(), "a"); // an empty item 2: the one-item form

    // Comments of every form and blank lines create nothing.
    r = import_text("# a\n' b\n// c\nREM d=1\ncomment e\n\n   \n\t\n");
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.doc->ROOT()->VALUES()->COUNT(), 0);
    // Names keep their case; repeated names make second values.
    r = import_text("MixedCase=1\nmixedcase=2\n");
    EXPECT_EQ(value_at(r.doc->ROOT(), 1)->NAME(), "MixedCase");
    EXPECT_EQ(r.doc->ROOT()->VALUES()->COUNT(), 2);
    EXPECT_TRUE(r.doc->VALUE("MIXEDCASE").same(Variant(1.0)));
}

TEST(IniContinuation, CommaAndPlusLines) {
    Imported r = import_text("Text=a,\nb\n");
    EXPECT_TRUE(r.doc->VALUE("Text").same(S("a")));
    EXPECT_EQ(r.doc->ROOT()->VALUES()->COUNT(), 1);
    r = import_text("Colour=1,\n2,\n3\n");
    EXPECT_TRUE(r.doc->VALUE("Colour").same(Variant(std::int32_t{1 + 2 * 256 + 3 * 65536})));
    // Continued lines are never tested for comments on their own.
    r = import_text("List=a,\n# not a comment\n");
    EXPECT_EQ(r.doc->ROOT()->VALUES()->COUNT(), 1);
    r = import_text("Text=ab+\ncd\n");
    EXPECT_TRUE(r.doc->VALUE("Text").same(S("abcd")));
    // A plus prefix survives blank and comment lines and chains.
    r = import_text("Text=a+\n\n# c\nb+\nc\n");
    EXPECT_TRUE(r.doc->VALUE("Text").same(S("abc")));
    // The prefix joins an END line too, which then is no END.
    r = import_text("BEGIN G\nX=1+\nEND\nY=2\nEND\n");
    EXPECT_TRUE(r.doc->ROOT()->CHILDREN()->Item(S("G"), false)->EXISTS("X"));
    EXPECT_TRUE(r.doc->VALUE("X").same(S("1END")));
    // Tabs, backspaces and CR are deleted everywhere, also inside quotes.
    r = import_text("Text=\"a\tb\bc\"\r\n");
    EXPECT_TRUE(r.doc->VALUE("Text").same(S("abc")));
    // ... wherever they fall in a line, and with blanks then left at an end.
    for (std::size_t len = 1; len <= 24; ++len)
        for (std::size_t at = 0; at <= len; ++at) {
            std::string text(len, 'v');
            text.insert(at, at % 2 ? "\t" : "\b");
            r = import_text("  Name=" + text + (at == len ? " " : "") + "\n");
            ASSERT_TRUE(r.doc->VALUE("Name").same(Variant(std::string(len, 'v')))) << len << " " << at;
        }
    r = import_text("Name=x \t\n");
    EXPECT_TRUE(r.doc->VALUE("Name").same(S("x")));
    // A file ending inside a continuation ends the logical line there.
    r = import_text("Text=a,");
    EXPECT_TRUE(r.result);
    EXPECT_TRUE(r.doc->VALUE("Text").same(S("a")));
    r = import_text("Text=a+");
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.doc->ROOT()->VALUES()->COUNT(), 0);
}

namespace {
// CPU time of this thread: other work on the machine does not count.
double thread_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The shortest of three runs of f, in seconds of CPU time.
template <class F>
double best_of_three(F&& f) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        const double start = thread_seconds();
        f();
        best = std::min(best, thread_seconds() - start);
    }
    return best;
}

// n physical lines joined by plus continuation into Text=abab...ab.
std::string plus_chain(std::size_t n) {
    std::string text = "Text=ab+\n";
    text.reserve(n * 4 + 16);
    for (std::size_t i = 1; i < n; ++i) text += "ab+\n";
    return text + "end\n";
}
} // namespace

TEST(IniContinuation, PlusChainsCostTheirLengthNotItsSquare) {
    // Eight times the lines may cost eight times the work, not sixty-four;
    // the bound leaves room for noise either way.
    constexpr std::size_t kSmall = 25000, kLarge = 8 * kSmall;
    TempDir dir;
    const std::string small = dir.write("small.ini", plus_chain(kSmall));
    const std::string large = dir.write("large.ini", plus_chain(kLarge));
    ref<cls_INI> doc;
    auto import_doc = [&](const std::string& path) {
        doc = cls_INI::create();
        ASSERT_TRUE(doc->IMPORT(path, false));
    };
    const double tSmall = best_of_three([&] { import_doc(small); });
    const double tLarge = best_of_three([&] { import_doc(large); });
    EXPECT_EQ(doc->VALUE("Text").string().size(), 2 * kLarge + 3);
    EXPECT_LT(tLarge, 24 * tSmall + 0.01)
        << tSmall << " s for " << kSmall << " lines, " << tLarge << " s for " << kLarge;

    // The file level of a groups collection joins its plus lines the same way.
    const std::string tail = "BEGIN G\nV=1\nEND\n";
    const std::string groupsSmall = dir.write("gsmall.ini", plus_chain(kSmall) + tail);
    const std::string groupsLarge = dir.write("glarge.ini", plus_chain(kLarge) + tail);
    ref<cls_INIGroups> groups;
    auto import_groups = [&](const std::string& path) {
        groups = cls_INIGroups::create();
        ASSERT_TRUE(groups->IMPORT(path, false));
    };
    const double gSmall = best_of_three([&] { import_groups(groupsSmall); });
    const double gLarge = best_of_three([&] { import_groups(groupsLarge); });
    ASSERT_EQ(groups->COUNT(), 1);
    EXPECT_TRUE(groups->Item(1)->EXISTS("V"));
    EXPECT_LT(gLarge, 24 * gSmall + 0.01)
        << gSmall << " s for " << kSmall << " lines, " << gLarge << " s for " << kLarge;
}

TEST(IniNesting, BlocksAndTheirEnds) {
    Imported r = import_text("A=1\nBEGIN Sub\nB=2\nEND\nC=3\nEND\nD=4\n");
    EXPECT_TRUE(r.result);
    ref<cls_INIGroup> root = r.doc->ROOT();
    EXPECT_EQ(root->VALUES()->COUNT(), 2); // D is after the top-level END
    EXPECT_TRUE(root->EXISTS("C"));
    EXPECT_FALSE(root->EXISTS("D", true));
    EXPECT_TRUE(child_at(root, 1)->EXISTS("B"));
    // Missing ENDs are no error; a second BEGIN of a name makes a second group.
    r = import_text("BEGIN X\nBEGIN Y\nv=1\n");
    EXPECT_TRUE(r.result);
    EXPECT_TRUE(r.doc->VALUE("v").same(Variant(1.0)));
    r = import_text("BEGIN X\nEND\nBEGIN X\nEND\n");
    EXPECT_EQ(r.doc->ROOT()->CHILDREN()->COUNT(), 2);
}

TEST(IniErrorModes, PropagatingUntilTheFirstValueThenIgnoring) {
    // A nested unrecognised line: the child reports, both return false, what
    // was read before stays.
    Imported r = import_text("A=1\nBEGIN Sub\nB=2\nbad line\nC=3\nEND\nD=4\n");
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.messages, std::vector<std::string>{unrecognised("bad line")});
    EXPECT_TRUE(r.doc->VALUE("B").same(Variant(2.0)));
    EXPECT_FALSE(r.doc->ROOT()->EXISTS("C", true));
    EXPECT_FALSE(r.doc->ROOT()->EXISTS("D", true));
    r = import_text("A=1\nBEGIN Sub\nbad line\nEND\n", false);
    EXPECT_FALSE(r.result);
    EXPECT_TRUE(r.messages.empty());
    ASSERT_EQ(r.doc->diagnostics().size(), 1u);
    EXPECT_EQ(r.doc->diagnostics()[0].line, 3);
    EXPECT_EQ(r.doc->diagnostics()[0].statement, "bad line");
    EXPECT_EQ(r.doc->diagnostics()[0].message, unrecognised("bad line"));

    // ENUM without a document: fails while propagating, passed over after a
    // value assignment.
    ref<cls_INIGroup> g = cls_INIGroup::create();
    TempDir dir;
    std::string path = dir.write("e.ini", "ENUM E,(a,1)\nX=1\n");
    ref<ReaderObject> reader = ReaderObject::create();
    ASSERT_TRUE(reader->open(path, 1, "", false, true));
    try {
        g->IMPORT(reader, true, nullptr);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), hr::OBJECT_NOT_SET);
    }
    path = dir.write("f.ini", "X=1\nENUM E,(a,1)\nY=2\n");
    reader = ReaderObject::create();
    ASSERT_TRUE(reader->open(path, 1, "", false, true));
    EXPECT_TRUE(g->IMPORT(reader, true, nullptr));
    EXPECT_TRUE(g->EXISTS("Y"));
    // The failure of a child in propagating mode is passed over by a parent
    // that already read a value; the child's block then ends the parent.
    path = dir.write("g.ini", "X=1\nBEGIN C\nENUM E,(a,1)\nZ=3\nEND\nW=4\n");
    reader = ReaderObject::create();
    ASSERT_TRUE(reader->open(path, 1, "", false, true));
    ref<cls_INIGroup> h = cls_INIGroup::create();
    EXPECT_TRUE(h->IMPORT(reader, true, nullptr));
    EXPECT_TRUE(h->EXISTS("Z")); // read by the parent after the child failed
    EXPECT_FALSE(h->EXISTS("W")); // the child's END closed the parent
    EXPECT_EQ(h->CHILDREN()->COUNT(), 1);
    // A reader already at the end: true, nothing created.
    EXPECT_TRUE(h->IMPORT(reader, true, nullptr));
    EXPECT_THROW(h->IMPORT(nullptr), Error);
}

TEST(IniEnumerations, DeclarationsReferencesAndMembers) {
    Imported r = import_text(
        "ENUM Modes,(Off,0,On,1)\nMode=ENUM(Modes),2\nMode2=ENUM(modes),On\nMode3=ENUM(\"Modes\"),0\n"
        "ENUM Text,\"a,\"\"x,y\"\",b,(c)\"\n");
    ASSERT_TRUE(r.result) << (r.messages.empty() ? "" : r.messages[0]);
    ref<cls_INIEnums> enums = r.doc->ENUMS();
    ASSERT_EQ(enums->COUNT(), 2);
    ref<cls_INIEnum> modes = enums->Item(S("Modes"));
    ASSERT_EQ(modes->VALUES()->COUNT(), 2);
    EXPECT_EQ(modes->VALUES()->NAME(1), "Off");
    EXPECT_EQ(modes->VALUES()->VALUE(1), "0");
    EXPECT_EQ(modes->VALUES()->VALUE(2), "1");
    ref<cls_INIValue> m = value_at(r.doc->ROOT(), 1);
    EXPECT_EQ(m->SORT(), ID_INIValueSort_Enum);
    EXPECT_TRUE(m->CONTENT().same(Variant(2.0)));
    EXPECT_EQ(m->ENUMREF().get(), modes.get());
    EXPECT_TRUE(value_at(r.doc->ROOT(), 2)->CONTENT().same(S("On")));
    EXPECT_TRUE(value_at(r.doc->ROOT(), 3)->CONTENT().same(Variant(0.0)));
    ref<cls_INIEnum> text = enums->Item(S("Text"));
    EXPECT_EQ(text->VALUES()->VALUE(1), "x,y"); // quoted member value keeps its comma
    EXPECT_EQ(text->VALUES()->VALUE(2), "c"); // brackets removed

    // A reference before the declaration is undeclared.
    r = import_text("Mode=ENUM(Modes),1\nENUM Modes,(Off,0)\n");
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.messages, std::vector<std::string>{"Die Aufz\xC3\xA4hlung 'Modes' wurde nicht deklariert!"});
    // A second declaration of a name: references find the first.
    r = import_text("ENUM E,(a,1)\nENUM E,(b,2)\nV=ENUM(E),a\n");
    EXPECT_EQ(r.doc->ENUMS()->COUNT(), 2);
    EXPECT_EQ(value_at(r.doc->ROOT(), 1)->ENUMREF().get(), r.doc->ENUMS()->Item(std::int32_t{1}).get());

    // Enumeration IMPORT on its own: pairs, odd counts, repeated calls.
    ref<cls_INIEnum> e = cls_INIEnum::create();
    EXPECT_TRUE(e->IMPORT("Off,0,On,1"));
    EXPECT_TRUE(e->IMPORT("Last"));
    ASSERT_EQ(e->VALUES()->COUNT(), 3);
    EXPECT_EQ(e->VALUES()->NAME(3), "Last");
    EXPECT_EQ(e->VALUES()->VALUE(3), "");
}

TEST(IniEnumerations, ReferenceDropsItsLastCharacterNotItsLastByte) {
    // The name is the text after "ENUM(" without its last character, here
    // a two-byte and a four-byte one instead of the bracket.
    Imported r = import_text("ENUM Modes,(Off,0,On,1)\nX=ENUM(Modes\xC3\xA4\nY=ENUM(Modes\xF0\x9F\x98\x80\n");
    ASSERT_TRUE(r.result) << (r.messages.empty() ? "" : r.messages[0]);
    ref<cls_INIEnum> modes = r.doc->ENUMS()->Item(S("Modes"));
    EXPECT_EQ(value_at(r.doc->ROOT(), 1)->SORT(), ID_INIValueSort_Enum);
    EXPECT_EQ(value_at(r.doc->ROOT(), 1)->ENUMREF().get(), modes.get());
    EXPECT_EQ(value_at(r.doc->ROOT(), 2)->ENUMREF().get(), modes.get());
    // Names of more than one byte per letter lose exactly the last one.
    r = import_text(
        "ENUM Gr\xC3\xB6\xC3\x9F"
        "e,(S,1)\nX=ENUM(Gr\xC3\xB6\xC3\x9F"
        "e\xC3\xA9\n");
    ASSERT_TRUE(r.result) << (r.messages.empty() ? "" : r.messages[0]);
    EXPECT_EQ(value_at(r.doc->ROOT(), 1)->ENUMREF()->NAME(),
              "Gr\xC3\xB6\xC3\x9F"
              "e");
    // An undeclared name in the message is whole characters.
    r = import_text("X=ENUM(Modi\xC3\xA4\n");
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.messages, std::vector<std::string>{"Die Aufz\xC3\xA4hlung 'Modi' wurde nicht deklariert!"});
}

TEST(IniFileLevel, GroupsCollectionImport) {
    TempDir dir;
    MessageCapture capture;
    std::string path = dir.write("groups.ini",
                                 "Top=1\nENUM E,(a,1)\nEND\nBEGIN Fonts Printer\nFace=Arial\nEND\n"
                                 "\tBEGIN Tabbed\nBEGIN (a b) \"c d\"\nX=1\nEND\n");
    ref<cls_INIGroups> groups = cls_INIGroups::create();
    EXPECT_TRUE(groups->IMPORT(path));
    ASSERT_EQ(groups->COUNT(), 2);
    EXPECT_EQ(groups->Item(1)->NAME(), "Fonts");
    EXPECT_EQ(groups->Item(1)->SORT(), "Printer");
    EXPECT_TRUE(groups->Item(1)->EXISTS("Face"));
    EXPECT_EQ(groups->Item(2)->NAME(), "(a b)"); // items stay as written
    EXPECT_EQ(groups->Item(2)->SORT(), "\"c d\"");
    EXPECT_TRUE(capture.messages.empty());

    EXPECT_FALSE(groups->IMPORT(dir.file("missing.ini")));
    EXPECT_EQ(capture.messages.back(), "Die INI-Datei '" + dir.file("missing.ini") + "' konnte nicht gefunden werden!");
    path = dir.write("bad.ini", "BEGIN A\nEND\nBEGIN B\noops\nEND\nBEGIN C\nEND\n");
    ref<cls_INIGroups> more = cls_INIGroups::create();
    EXPECT_FALSE(more->IMPORT(path, false));
    EXPECT_EQ(more->COUNT(), 2);
    if (::geteuid() != 0) {
        std::string locked = dir.write("locked.ini", "BEGIN A\nEND\n");
        ::chmod(locked.c_str(), 0);
        EXPECT_FALSE(more->IMPORT(locked));
        EXPECT_EQ(capture.messages.back(), "Die INI-Datei '" + locked +
                                               "' konnte nicht ge\xC3\xB6"
                                               "ffnet werden! M\xC3\xB6glicherweise haben Sie nicht die n\xC3\xB6tigen "
                                               "Berechtigungen um auf die Datei zuzugreifen!");
    }
}

TEST(IniDocument, ImportEntryAndItsFailures) {
    TempDir dir;
    MessageCapture capture;
    ref<cls_INI> doc = cls_INI::create();
    const std::string missing = dir.file("nope.ini");
    EXPECT_FALSE(doc->IMPORT(missing, false));
    EXPECT_TRUE(capture.messages.empty());
    EXPECT_FALSE(doc->IMPORT(missing));
    EXPECT_EQ(capture.messages,
              std::vector<std::string>{"Die INI-Datei '" + missing + "' konnte nicht gefunden werden!"});
    EXPECT_FALSE(doc->IMPORT(dir.path().string(), false)); // a directory is no file
    if (::geteuid() != 0) {
        std::string locked = dir.write("locked.ini", "A=1\n");
        ::chmod(locked.c_str(), 0);
        EXPECT_FALSE(doc->IMPORT(locked));
        EXPECT_EQ(capture.messages.back(), "Die INI-Datei '" + locked +
                                               "' konnte nicht ge\xC3\xB6"
                                               "ffnet werden! M\xC3\xB6glicherweise haben Sie keine ausreichenden "
                                               "Rechte, um auf die Datei zuzugreifen.");
    }
    doc->VERSION("v");
    doc->CONTENT("c");
    EXPECT_TRUE(doc->IMPORT(dir.write("a.ini", "A=1\nENUM E,(x,1)\n")));
    EXPECT_TRUE(doc->IMPORT(dir.write("b.ini", "B=2\nENUM F,(y,2)\n")));
    EXPECT_TRUE(doc->VALUE("A").same(Variant(1.0)));
    EXPECT_TRUE(doc->VALUE("B").same(Variant(2.0)));
    EXPECT_EQ(doc->ENUMS()->COUNT(), 2);
    EXPECT_EQ(doc->VERSION(), "v");
    EXPECT_EQ(doc->CONTENT(), "c");
}

TEST(IniRobustness, HostileFilesImportOrFailClearly) {
    // Invalid UTF-8, NUL bytes and a value right at the end of the file.
    Imported r =
        import_text(std::string("Name=Gr\xFC\xDF"
                                "e\nNul=a\0b\nLast=1",
                                25));
    EXPECT_TRUE(r.result);
    EXPECT_TRUE(r.doc->VALUE("Name").same(S("Grüße")));
    EXPECT_TRUE(r.doc->VALUE("Nul").same(Variant(std::string("a\0b", 3))));
    EXPECT_TRUE(r.doc->VALUE("Last").same(Variant(1.0)));
    // Unbalanced brackets and quotes.
    r = import_text("A=(((\nB=\"\"\"\nC=)\n\"=x\n");
    EXPECT_TRUE(r.doc->VALUE("A").same(S("(((")));
    EXPECT_TRUE(r.doc->VALUE("B").same(S("\""))); // the text inside the outer quotes
    EXPECT_FALSE(r.result); // the line "=x with a quote for a name
    EXPECT_EQ(r.messages, std::vector<std::string>{unrecognised("\"=x")});
    // A very long single line.
    std::string big = "Big=" + std::string(20 << 20, 'x') + "\n";
    r = import_text(big);
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.doc->VALUE("Big").string().size(), 20u << 20);
}

TEST(IniRobustness, AMessageSinkThatClosesTheReaderEndsTheImport) {
    // The sink runs between lines; the import must not go on reading lines
    // the reader no longer has, whether it reads them itself or a thread
    // reads them ahead.
    const detail::TextLineSettings saved = detail::text_line_settings();
    for (bool ahead : {false, true}) {
        detail::TextLineSettings settings = saved;
        settings.readAheadFrom = ahead ? 0 : UINT64_MAX;
        settings.batchBytes = 8;
        settings.evenOnOneCore = true;
        detail::set_text_line_settings(settings);
        test::TempDir dir;
        // The inner block fails; the outer one, ignoring failures by then,
        // goes on reading.
        std::string text = "A=1\nBEGIN Inner\nB=2\n\"=x\nEND\n";
        for (int i = 0; i < 2000; ++i) text += "More=" + std::to_string(i) + "\n";
        ref<ReaderObject> reader = ReaderObject::create();
        ASSERT_TRUE(reader->open(dir.write("sink.ini", text), 1, "", false, true));
        int messages = 0;
        const MessageSink previous = GlobalObject::instance().set_message_sink(
            [&](const std::string&, const std::string&) { ++messages, reader->close(); });
        ref<cls_INIGroup> group = cls_INIGroup::create();
        group->IMPORT(reader, true);
        GlobalObject::instance().set_message_sink(previous);
        EXPECT_EQ(messages, 1) << ahead;
        EXPECT_TRUE(group->EXISTS("A"));
        EXPECT_FALSE(group->EXISTS("More")) << ahead;
    }
    detail::set_text_line_settings(saved);
}

TEST(IniRobustness, MillionNestedBeginsImport) {
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
    const int depth = 200000; // sanitizers multiply memory and time
#else
    const int depth = 1000000;
#endif
    std::string text;
    text.reserve(static_cast<std::size_t>(depth) * 8 + 16);
    for (int i = 0; i < depth; ++i) text += "BEGIN g\n";
    text += "Deep=1\n";
    Imported r = import_text(text);
    EXPECT_TRUE(r.result);
    EXPECT_TRUE(r.doc->VALUE("deep").same(Variant(1.0)));
    ref<cls_INIGroup> g = r.doc->ROOT();
    int levels = 0;
    while (g->children_if_any() && g->children_if_any()->COUNT() == 1) {
        g = child_at(g, 1);
        ++levels;
    }
    EXPECT_EQ(levels, depth);
    // Too deep to store: SAVE says so with false instead of crashing.
    TempDir dir;
    EXPECT_FALSE(r.doc->SAVE(dir.file("deep.tr47")));
}

namespace {
// Runs f in a child process and gives its exit status, or -1 when it did
// not end within the time (the child is then killed): an import that waits
// or reads forever fails the test instead of hanging it.
template <class F>
int exit_status_within(int seconds, F&& f) {
    const pid_t pid = ::fork();
    if (pid == 0) _exit(f());
    for (int waited = 0; waited < seconds * 100; ++waited) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}
} // namespace

TEST(IniRobustness, EndlessInputsAreRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string notOpened =
        "' konnte nicht ge\xC3\xB6"
        "ffnet werden! M\xC3\xB6glicherweise haben Sie keine "
        "ausreichenden Rechte, um auf die Datei zuzugreifen.";
    // Only regular files are read: a device that never ends and a FIFO
    // without a writer fail like a file that cannot be opened (exit 2 from
    // the child), with the message, instead of reading or waiting forever.
    for (const std::string& path : {std::string("/dev/zero"), fifo}) {
        const int status = exit_status_within(5, [&] {
            MessageCapture capture;
            ref<cls_INI> doc = cls_INI::create();
            if (doc->IMPORT(path)) return 1;
            if (capture.messages != std::vector<std::string>{"Die INI-Datei '" + path + notOpened}) return 3;
            ref<cls_INIGroups> groups = cls_INIGroups::create();
            return groups->IMPORT(path, false) ? 1 : 2;
        });
        EXPECT_EQ(status, 2) << path << (status < 0 ? ": no result within 5 s" : "");
    }
    // A link to a device is no regular file either.
    const std::string link = dir.file("zero.ini");
    ASSERT_EQ(::symlink("/dev/zero", link.c_str()), 0);
    EXPECT_EQ(exit_status_within(5, [&] { return cls_INI::create()->IMPORT(link, false) ? 1 : 2; }), 2);
    // A link to a regular file still is one.
    const std::string target = dir.write("target.ini", "A=1\n");
    const std::string good = dir.file("good.ini");
    ASSERT_EQ(::symlink(target.c_str(), good.c_str()), 0);
    ref<cls_INI> doc = cls_INI::create();
    EXPECT_TRUE(doc->IMPORT(good));
    EXPECT_TRUE(doc->VALUE("A").same(Variant(1.0)));
}

// Imported and loaded entries wait in packed form until first reached; these
// tests hold that form to the behaviour of real objects.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "import/name_interner.hpp"
#include "model/collection_core.hpp"
#include "tests/support/helpers.hpp"
#include "tests/support/locale_scope.hpp"

using namespace tr47;
using tr47::test::child_at;
using tr47::test::import_text;
using tr47::test::Imported;
using tr47::test::LocaleScope;
using tr47::test::TempDir;
using tr47::test::value_at;

namespace {

// Value lines whose reading has corner cases: numbers that stay texts,
// signs, marks, exponents, hexadecimal, dates valid and not, boolean words
// in any case, quoted texts, colours in and out of range, empty contents, a
// lower-case i in names, keywords with "=", texts beyond ASCII.
const char* const kLines[] = {
    "A=5",
    "B=0",
    "C=0.0",
    "D=0.00",
    "E=-0",
    "F=5.",
    "G=.5",
    "H=1.5",
    "I1=007",
    "J=1e5",
    "K=&H1F",
    "L=2020-02-29",
    "M=2020-13-45",
    "N=29.02.2020",
    "O=ja",
    "P=Nein",
    "Q=TRUE ",
    "R=wahr",
    "S=\"a, b\"",
    "T=\"\"",
    "U=1, 2, 3",
    "V=300,0,0",
    "W=-1,0,0",
    "X=",
    "Y=plain words",
    "Zi=1,5",
    "ii=12345678901234567",
    "Ab=1.23456789012345",
    "Ac=-12.5e-3",
    "Ad=\"x\"\"y\"",
    "Ae=(1,2)",
    "Af=1,2",
    "Ag=1,2,3,4",
    "Ah=yes please",
    "Ai=9999999999999999",
    // Texts with other letters than ASCII ones: a boolean word through a
    // dotless i, full-width letters, a combining accent, a non-breaking
    // space, a Windows-1252 byte, with a comma and in brackets.
    "Aj=Gr\xC3\xBC\xC3\x9F\x65 aus K\xC3\xB6ln",
    "Ak=ne\xC4\xB1n",
    "Al=\xEF\xBD\x8A\xEF\xBD\x81",
    "Am=ja\xCC\x81",
    "An=wahr\xC2\xA0",
    "Ao=caf\xE9",
    "Ap=\xC3\xA4, b",
    "Aq=(\xC3\xA4)",
    "Ar=  \xE6\x97\xA5\xE6\x9C\xAC  ",
    "As=2020-02-2\xC3\xA9",
    // Commas, brackets, quotes and other letters on either side of sixteen
    // bytes, after names long enough to read the end of a short text with
    // the line before it.
    "LongerNameOne=1,2,3",
    "LongerNameTwo=(1,2)",
    "LongerNameThree=a, b",
    "LongerNameFour=12345678901234,5,7",
    "LongerNameFive=1,2345678901234567,8",
    "LongerNameSeven=abcdefghijklmnopq\"",
    "LongerNameEight=  1, 2 ,3  ",
    "LongerNameNine=\303\244bcdefghijklmnopqr", // ä, then letters that are hexadecimal digits
    "LongerNameTen=abcdefghijklmnop\xC3\xA4",
    "LongerNameEleven=abcdefghijklmnopqr,\xC3\xA4,x",
    "LongerNameTwelve=abcdefghijklmnopqrstuvwxyz,1,2",
    "LongerNameThirteen=abc)",
    "LongerNameFourteen=,1,2,3",
    "LongerNameFifteen=1234567890123457,1,2,3",
};

std::string corpus() {
    std::string text;
    for (const char* line : kLines) text += std::string(line) + "\n";
    return text;
}

} // namespace

TEST(Packed, FastReadingMatchesTheGeneralReading) {
    // The same lines once into a plain group (packed records) and once into
    // a group whose values share their database object, which every value
    // must pass through (the general path, one real object per value).
    TempDir dir;
    const std::string path = dir.write("values.ini", corpus());

    ref<cls_INI> packedDoc = cls_INI::create();
    ASSERT_TRUE(packedDoc->IMPORT(path, false));
    ref<cls_INIValues> packed = packedDoc->ROOT()->VALUES();

    ref<cls_INI> realDoc = cls_INI::create();
    ref<cls_INIValues> shadow = cls_INIValues::create();
    ref<cls_INIValues> real = realDoc->ROOT()->VALUES();
    real->DATABASE(shadow->DATABASE());
    ASSERT_FALSE(detail::CollectionCore::of(*real).accepts_packed());
    ASSERT_TRUE(detail::CollectionCore::of(*packed).accepts_packed());
    ASSERT_TRUE(realDoc->IMPORT(path, false));

    ASSERT_EQ(packed->COUNT(), real->COUNT());
    ASSERT_EQ(packed->COUNT(), static_cast<std::int32_t>(std::size(kLines)));
    for (std::int32_t i = 1; i <= packed->COUNT(); ++i) {
        ref<cls_INIValue> p = packed->Item(Variant(i));
        ref<cls_INIValue> r = real->Item(Variant(i));
        SCOPED_TRACE(kLines[i - 1]);
        EXPECT_EQ(p->NAME(), r->NAME());
        EXPECT_EQ(p->SORT(), r->SORT());
        EXPECT_TRUE(p->CONTENT().same(r->CONTENT())) << describe(p->CONTENT()) << " vs " << describe(r->CONTENT());
        EXPECT_TRUE(p->DATA()->identifier().same(r->DATA()->identifier()));
        EXPECT_EQ(p->DESCRIPTION(), r->DESCRIPTION());
    }
}

TEST(Packed, NameCharactersAreReadAlikeOnBothPaths) {
    // Every printable ASCII character (and a letter beyond ASCII) inside a
    // name, in the first sixteen bytes of the line and after them: the
    // fast reading takes a line as a value exactly when the general one
    // does, with the same name.
    TempDir dir;
    int compared = 0;
    const auto compare = [&](const std::string& name) {
        const std::string path = dir.write("name.ini", name + "=12\n");
        ref<cls_INI> packedDoc = cls_INI::create();
        const bool packedResult = packedDoc->IMPORT(path, false);
        ref<cls_INI> realDoc = cls_INI::create();
        ref<cls_INIValues> shadow = cls_INIValues::create();
        realDoc->ROOT()->VALUES()->DATABASE(shadow->DATABASE());
        const bool realResult = realDoc->IMPORT(path, false);
        SCOPED_TRACE(name);
        ASSERT_EQ(packedResult, realResult);
        ref<cls_INIValues> packed = packedDoc->ROOT()->VALUES();
        ref<cls_INIValues> real = realDoc->ROOT()->VALUES();
        ASSERT_EQ(packed->COUNT(), real->COUNT());
        for (std::int32_t i = 1; i <= packed->COUNT(); ++i) {
            EXPECT_EQ(packed->Item(Variant(i))->NAME(), real->Item(Variant(i))->NAME());
            EXPECT_TRUE(packed->Item(Variant(i))->CONTENT().same(real->Item(Variant(i))->CONTENT()));
            ++compared;
        }
    };
    const auto with_at = [](std::size_t at, std::string_view c) {
        std::string name = "NameWothSomeLetters"; // no i: its rule depends on the locale
        return name.replace(at, 1, c);
    };
    for (int c = 0x21; c <= 0x7E; ++c)
        for (std::size_t at : {0, 5, 17}) compare(with_at(at, std::string(1, static_cast<char>(c))));
    for (std::size_t at : {0, 5, 17}) compare(with_at(at, "\xC3\xA4"));
    EXPECT_GT(compared, 100); // most of them are names
    // Under rules that upper-case i to İ, i is no name character.
    LocaleScope turkish("tr_TR.UTF-8");
    for (std::size_t at : {0, 5, 17}) {
        compare(with_at(at, "i"));
        compare(with_at(at, "I"));
    }
}

// Key names without the digit 6, which no name may hold.
std::string key(int i) { return std::string("Key") + char('A' + i / 26) + char('A' + i % 26); }

TEST(Packed, EntriesKeepIdentityKeysAndSwapWithLast) {
    std::string text = "BEGIN Big\n";
    for (int i = 0; i < 100; ++i) text += "  " + key(i) + "=" + std::to_string(i) + "\n";
    text += "  keyaf=duplicate\nEND\nBEGIN Other\n  KeyAF=other\nEND\n";
    Imported r = import_text(text);
    ASSERT_TRUE(r.result);
    ref<cls_INIGroup> big = r.doc->ROOT()->CHILDREN()->Item(Variant("big"));
    ASSERT_TRUE(big);
    EXPECT_EQ(big.get(), r.doc->ROOT()->CHILDREN()->Item(Variant(1)).get());
    ref<cls_INIValues> values = big->VALUES();
    ASSERT_EQ(values->COUNT(), 101);

    // The same object every time; the first match in position order wins.
    ref<cls_INIValue> five = values->Item(Variant("KEYAF"));
    EXPECT_EQ(five.get(), values->Item(Variant(6)).get());
    EXPECT_EQ(five->CONTENT().to_double(), 5.0);

    // A renamed entry is found by its new name only; the duplicate moves up.
    five->NAME("Renamed");
    EXPECT_EQ(values->Item(Variant("renamed")).get(), five.get());
    ref<cls_INIValue> dup = values->Item(Variant(key(5)));
    ASSERT_TRUE(dup);
    EXPECT_EQ(dup->CONTENT().to_text(), "duplicate");

    // Removing a packed entry moves the (packed) last one into its place.
    ASSERT_TRUE(values->REMOVE(Variant(key(10))));
    EXPECT_EQ(values->COUNT(), 100);
    EXPECT_EQ(values->Item(Variant(11))->NAME(), "keyaf");
    EXPECT_FALSE(values->EXISTS(Variant(key(10))));
    EXPECT_EQ(big->VALUE(key(99)).to_double(), 99.0);
    EXPECT_EQ(r.doc->VALUE(key(5)).to_text(), "duplicate");

    // Values added by clients sit after the packed ones.
    values->CREATE("Added", Variant("x"));
    EXPECT_EQ(values->Item(Variant(101))->NAME(), "Added");
    EXPECT_EQ(values->Item(Variant("added"))->CONTENT().to_text(), "x");
}

TEST(Packed, StoredFormIsTheSamePackedOrReal) {
    // Nested deeper than packed groups go (every so many levels a real one),
    // with an enumeration value, which is always real.
    std::string text = "ENUM Colours,(Red,1,Blue,2)\n";
    const int depth = 80;
    for (int d = 0; d < depth; ++d)
        text += "BEGIN Kind" + std::to_string(d) + ",Level" + std::to_string(d) + "\n  V=" + std::to_string(d) + "\n";
    text += "  Pick=ENUM(Colours), 2\n  Deepest=\"yes\"\n";
    for (int d = 0; d < depth; ++d) text += "END\n";
    TempDir dir;
    const std::string ini = dir.write("deep.ini", text);

    ref<cls_INI> doc = cls_INI::create();
    ASSERT_TRUE(doc->IMPORT(ini, false));
    ASSERT_TRUE(doc->SAVE(dir.file("packed.tr47")));
    EXPECT_EQ(doc->VALUE("Deepest").to_text(), "yes"); // reaches (and makes real) the whole chain
    ASSERT_TRUE(doc->SAVE(dir.file("real.tr47")));
    EXPECT_EQ(test::read_file(dir.file("packed.tr47")), test::read_file(dir.file("real.tr47")));

    ref<cls_INI> loaded = cls_INI::create();
    ASSERT_TRUE(loaded->LOAD(dir.file("packed.tr47")));
    ref<cls_INIGroup> g = loaded->ROOT();
    for (int d = 0; d < depth; ++d) {
        g = child_at(g, 1);
        ASSERT_TRUE(g);
        EXPECT_EQ(g->NAME(), "Level" + std::to_string(d));
        EXPECT_EQ(g->SORT(), "Kind" + std::to_string(d));
        EXPECT_EQ(value_at(g, 1)->CONTENT().to_double(), d);
    }
    ref<cls_INIValue> pick = g->VALUES()->Item(Variant("Pick"));
    ASSERT_TRUE(pick);
    EXPECT_EQ(pick->SORT(), ID_INIValueSort_Enum);
    EXPECT_TRUE(pick->CONTENT().same(Variant(2.0)));
    ASSERT_TRUE(loaded->SAVE(dir.file("again.tr47")));
    EXPECT_EQ(test::read_file(dir.file("again.tr47")), test::read_file(dir.file("real.tr47")));
}

TEST(Packed, LoadedEntriesWithoutPackedFormStayExact) {
    // A value whose identifier differs from its name, a description, a
    // group with a description: all must survive LOAD unchanged.
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIGroup> g = doc->ROOT()->CHILDREN()->CREATE("G", "S");
    g->DESCRIPTION("described");
    ref<cls_INIValue> v = g->VALUES()->CREATE("Name", Variant(3.5), ID_INIValueSort_Double);
    v->DATA()->identifier(Variant("other id"));
    g->VALUES()->CREATE("Plain", Variant(Date{45000.25}), ID_INIValueSort_Date)->DESCRIPTION("d");
    g->VALUES()->CREATE("Big", Variant("x"), 1000);
    TempDir dir;
    ASSERT_TRUE(doc->SAVE(dir.file("a.tr47")));
    ref<cls_INI> back = cls_INI::create();
    ASSERT_TRUE(back->LOAD(dir.file("a.tr47")));
    ref<cls_INIGroup> bg = child_at(back->ROOT(), 1);
    ASSERT_TRUE(bg);
    EXPECT_EQ(bg->DESCRIPTION(), "described");
    EXPECT_TRUE(value_at(bg, 1)->DATA()->identifier().same(Variant("other id")));
    EXPECT_TRUE(value_at(bg, 2)->CONTENT().same(Variant(Date{45000.25})));
    EXPECT_EQ(value_at(bg, 2)->DESCRIPTION(), "d");
    EXPECT_EQ(value_at(bg, 3)->SORT(), 1000);
    ASSERT_TRUE(back->SAVE(dir.file("b.tr47")));
    EXPECT_EQ(test::read_file(dir.file("a.tr47")), test::read_file(dir.file("b.tr47")));
}

TEST(Packed, LoadedGroupsStayStoredUntilReached) {
    Imported r = import_text("BEGIN A\n  X=1\n  BEGIN Inner\n    Y=2\n  END\nEND\nBEGIN B\n  Z=\"z\"\nEND\n");
    ASSERT_TRUE(r.result);
    TempDir dir;
    ASSERT_TRUE(r.doc->SAVE(dir.file("s.tr47")));
    ref<cls_INI> doc = cls_INI::create();
    ASSERT_TRUE(doc->LOAD(dir.file("s.tr47")));
    ref<cls_INIGroups> top = doc->ROOT()->CHILDREN();
    // Keys, removal and a second SAVE work on groups that were never read.
    EXPECT_TRUE(top->EXISTS(Variant("b")));
    ASSERT_TRUE(doc->SAVE(dir.file("again.tr47")));
    EXPECT_EQ(test::read_file(dir.file("again.tr47")), test::read_file(dir.file("s.tr47")));
    EXPECT_EQ(doc->VALUE("Y").to_double(), 2.0);
    ASSERT_TRUE(top->REMOVE(Variant("A")));
    EXPECT_EQ(top->Item(Variant(1))->NAME(), "B");
    EXPECT_EQ(top->Item(Variant(1))->VALUE("Z").to_text(), "z");

    // A stored group whose inside does not hold what a group stores (the
    // file's checksum is right), at the top or below a good group: LOAD
    // reads stored groups through, returns false and keeps no broken group;
    // the collection stays usable.
    for (bool below : {false, true}) {
        ref<ReaderObject> w = ReaderObject::create();
        ASSERT_TRUE(w->open(dir.file("bad.tr47"), 2, "", true, true));
        auto collection_head = [&](std::int32_t n) {
            w->write_value(Variant("1.0"));
            w->write_value(Variant());
            w->write_value(Variant(n));
        };
        collection_head(1);
        std::size_t outer = 0;
        if (below) {
            outer = w->begin_span();
            for (const char* t : {"1.0", "Top", "", "Top", ""}) w->write_value(Variant(t));
            collection_head(0); // no values
            collection_head(1); // one child group
        }
        const std::size_t mark = w->begin_span();
        for (const char* t : {"1.0", "G", "", "G", ""}) w->write_value(Variant(t));
        collection_head(5); // five values announced, none stored
        w->end_span(mark);
        if (below) w->end_span(outer);
        w->close();
        ref<cls_INIGroups> groups = cls_INIGroups::create();
        EXPECT_FALSE(groups->LOAD(dir.file("bad.tr47"))) << below;
        EXPECT_EQ(groups->COUNT(), 0) << below;
        groups->CREATE("Next");
        EXPECT_EQ(groups->Item(Variant("next"))->NAME(), "Next");
    }
}

TEST(Packed, NamesAndSortsBeyondThePackedRangeStayExact) {
    // A packed value holds a NAME up to 65,535 bytes and a SORT up to 63;
    // beyond that the value is a real object. Both sides of each bound must
    // import, answer look-ups and come back from SAVE and LOAD unchanged.
    const std::string atBound(65535, 'n'), pastBound = atBound + "N";
    Imported r = import_text("BEGIN G\n  " + atBound + "=1\n  " + pastBound + "=two\n  Short=3\nEND\n");
    ASSERT_TRUE(r.result);
    ref<cls_INIGroup> g = child_at(r.doc->ROOT(), 1);
    ASSERT_TRUE(g);
    const std::int32_t sorts[] = {0, 7, 63, 64, 255, 256, -1, 100000};
    for (std::int32_t s : sorts) g->VALUES()->CREATE("S" + std::to_string(s), Variant(s), s);
    TempDir dir;
    ASSERT_TRUE(r.doc->SAVE(dir.file("bounds.tr47")));
    ref<cls_INI> loaded = cls_INI::create();
    ASSERT_TRUE(loaded->LOAD(dir.file("bounds.tr47")));
    for (const ref<cls_INI>& doc : {r.doc, loaded}) {
        ref<cls_INIGroup> group = child_at(doc->ROOT(), 1);
        ASSERT_TRUE(group);
        EXPECT_EQ(group->VALUE(atBound).to_long(), 1);
        EXPECT_EQ(group->VALUE(pastBound).to_text(), "two");
        EXPECT_EQ(group->VALUE("short").to_long(), 3);
        ref<cls_INIValues> values = group->VALUES();
        ASSERT_EQ(values->COUNT(), 3 + static_cast<std::int32_t>(std::size(sorts)));
        EXPECT_EQ(values->Item(Variant(1))->NAME(), atBound);
        EXPECT_EQ(values->Item(Variant(2))->NAME(), pastBound);
        for (std::size_t i = 0; i < std::size(sorts); ++i) {
            ref<cls_INIValue> v = values->Item(Variant(static_cast<std::int32_t>(4 + i)));
            EXPECT_EQ(v->SORT(), sorts[i]) << v->NAME();
            EXPECT_EQ(v->CONTENT().to_long(), sorts[i]);
        }
    }
}

TEST(Packed, EntriesMadeRealKeepTheirNameAsIdentifierWhenRenamed) {
    // Imported groups and values carry their name as identifier; made real
    // from their records, they make the data object that holds it only when
    // asked. A rename before that must not move the identifier along.
    Imported r = import_text("BEGIN A\n  X=1\n  Y=2\nEND\nBEGIN B\n  Z=3\nEND\n");
    ASSERT_TRUE(r.result);
    ref<cls_INIGroups> top = r.doc->ROOT()->CHILDREN();
    ref<cls_INIGroup> a = top->Item(Variant(1));
    a->NAME("Renamed");
    EXPECT_TRUE(top->EXISTS(Variant("a")));
    EXPECT_FALSE(top->EXISTS(Variant("Renamed")));
    EXPECT_EQ(top->Item(Variant("A"), false).get(), a.get());
    EXPECT_EQ(a->DATA()->identifier().to_text(), "A");
    // Asked for first, the data object holds the name as it is then.
    ref<cls_INIGroup> b = top->Item(Variant(2));
    EXPECT_EQ(b->DATA()->identifier().to_text(), "B");
    b->NAME("Other");
    EXPECT_EQ(top->Item(Variant("b"), false).get(), b.get());
    // Values are found by their NAME; their identifier stays the first one.
    ref<cls_INIValue> x = a->VALUES()->Item(Variant("x"));
    x->NAME("W");
    EXPECT_EQ(x->DATA()->identifier().to_text(), "X");
    EXPECT_EQ(a->VALUE("W").to_long(), 1);
    EXPECT_TRUE(a->VALUE("X", Variant()).is_empty());
    // Stored and loaded, the identifiers and names stay apart.
    TempDir dir;
    ASSERT_TRUE(r.doc->SAVE(dir.file("renamed.tr47")));
    ref<cls_INI> loaded = cls_INI::create();
    ASSERT_TRUE(loaded->LOAD(dir.file("renamed.tr47")));
    ref<cls_INIGroup> la = loaded->ROOT()->CHILDREN()->Item(Variant("A"), false);
    ASSERT_TRUE(la);
    EXPECT_EQ(la->NAME(), "Renamed");
    EXPECT_EQ(la->VALUES()->Item(Variant("w"))->DATA()->identifier().to_text(), "X");
}

namespace {
// Reads everything below a group and stores it again: what a program that
// reaches every part of a loaded tree does.
void reach_everything(const ref<cls_INIGroup>& g, std::string& seen) {
    ref<cls_INIValues> values = g->VALUES();
    for (std::int32_t i = 1; i <= values->COUNT(); ++i) {
        ref<cls_INIValue> v = values->Item(Variant(i));
        // Contents of any kind (Null included) are read, not converted.
        const auto shown = [](const Variant& x) {
            return x.is_string() ? x.string() : std::to_string(static_cast<int>(x.type()));
        };
        seen += v->NAME() + "=" + shown(v->CONTENT()) + "|" + shown(v->DATA()->identifier()) + ";";
    }
    ref<cls_INIGroups> children = g->CHILDREN();
    for (std::int32_t i = 1; i <= children->COUNT(); ++i) {
        ref<cls_INIGroup> c = children->Item(Variant(i));
        seen += "[" + c->NAME() + "," + c->SORT() + "," + c->DESCRIPTION() + "]";
        reach_everything(c, seen);
    }
}
} // namespace

TEST(Packed, LoadChecksStoredGroupsOnTheirBytesAndMissesNoBrokenOne) {
    // The groups SAVE frames pass the check on their bytes alone; a group
    // whose bytes were changed either fails LOAD or reads through whole
    // (LOAD must not keep a group that fails when it is reached).
    ref<cls_INIGroups> groups = cls_INIGroups::create();
    for (int i = 0; i < 6; ++i) {
        ref<cls_INIGroup> g = groups->CREATE("G" + std::to_string(i), i % 2 ? "sorted" : "");
        ref<cls_INIValues> v = g->VALUES();
        v->CREATE("Text", Variant("some text"), ID_INIValueSort_String);
        v->CREATE("Number", Variant(std::int32_t{i * 1000 - 2}), ID_INIValueSort_Long);
        v->CREATE("Ratio", Variant(0.25 * i), ID_INIValueSort_Double);
        v->CREATE("Big", Variant(1e300), ID_INIValueSort_Double);
        v->CREATE("When", Variant(Date{45000.5}), ID_INIValueSort_Date);
        v->CREATE("Flag", Variant::boolean(i % 2 == 0), ID_INIValueSort_Boolean);
        v->CREATE("Empty", Variant(), ID_INIValueSort_String);
        v->CREATE("Same", Variant("Same"), ID_INIValueSort_String);
        if (i == 3) g->DESCRIPTION("described");
        ref<cls_INIGroup> inner = g->CHILDREN()->CREATE("Inner");
        inner->VALUES()->CREATE("Deep", Variant("deeper"), ID_INIValueSort_String);
        inner->CHILDREN()->CREATE("Innermost")->VALUES()->CREATE("X", Variant(std::int32_t{1}));
    }
    groups->ADD(cls_INIGroup::create(), Variant(12.0));
    TempDir dir;
    ASSERT_TRUE(groups->SAVE(dir.file("good.tr47")));

    // The stored spans of the groups, as LOAD meets them.
    std::vector<std::string> spans;
    {
        ref<ReaderObject> r = ReaderObject::create();
        ASSERT_TRUE(r->open(dir.file("good.tr47"), 1, "", true, true));
        r->read_value(); // version
        r->read_value(); // identifier
        const std::int32_t n = r->read_value().to_long();
        for (std::int32_t i = 0; i < n; ++i) {
            std::string_view span;
            ref<Object> keeper;
            ASSERT_TRUE(r->read_span(span, keeper));
            spans.emplace_back(span);
        }
    }
    ASSERT_EQ(spans.size(), 7u);
    std::vector<std::string_view> below;
    for (const std::string& span : spans) {
        below.clear();
        EXPECT_TRUE(detail::stored_group_reads_through(span, below));
        EXPECT_EQ(below.size(), span == spans.back() ? 0u : 1u); // each "Inner" is framed on its own
    }

    std::mt19937 rng(2026);
    int loaded = 0, refused = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string bad = spans[rng() % 6];
        switch (rng() % 4) {
        case 0: bad[rng() % bad.size()] = static_cast<char>(rng()); break;
        case 1: bad[rng() % bad.size()] ^= static_cast<char>(1u << (rng() % 8)); break;
        case 2: bad.erase(rng() % bad.size(), 1 + rng() % 3); break;
        default: bad.insert(rng() % bad.size(), 1, static_cast<char>(rng() % 16)); break;
        }
        if (bad.empty()) continue;
        ref<ReaderObject> w = ReaderObject::create();
        ASSERT_TRUE(w->open(dir.file("bad.tr47"), 2, "", true, true));
        w->write_value(Variant("1.0"));
        w->write_value(Variant());
        w->write_value(Variant(std::int32_t{1}));
        w->write_span(bad);
        w->close();
        ref<cls_INIGroups> back = cls_INIGroups::create();
        bool ok = false;
        try {
            ok = back->LOAD(dir.file("bad.tr47"));
        } catch (const Error&) {
        }
        if (!ok) {
            ++refused;
            continue;
        }
        ++loaded;
        std::string seen;
        ASSERT_NO_THROW(for (std::int32_t i = 1; i <= back->COUNT(); ++i)
                            reach_everything(back->Item(Variant(i)), seen))
            << "round " << round;
        ASSERT_TRUE(back->SAVE(dir.file("again.tr47"))) << "round " << round;
    }
    // Both outcomes occur: most changes break the form, some only a text.
    EXPECT_GT(loaded, 50);
    EXPECT_GT(refused, 50);
}

TEST(Packed, GroupsOfFewValuesKeepThemPendingUntilTheirCollectionIsAskedFor) {
    // A group of fewer than 16 values made real keeps its value records and
    // VALUE reads them in place; every other way to the values sees the
    // same entries, in the same order, as the collection made from them.
    const std::string text =
        "ENUM Modes,(Off,0,On,1)\nBEGIN G\n  A=1\n  B=\"two\"\n  a=3\n  Mode=ENUM(Modes),On\n  BEGIN Inner\n    "
        "C=4\n  END\nEND\n";
    Imported r = import_text(text);
    ASSERT_TRUE(r.result) << (r.messages.empty() ? "" : r.messages[0]);
    Imported fresh = import_text(text);
    ref<cls_INIGroup> g = r.doc->ROOT()->CHILDREN()->Item(Variant("G"));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->VALUE("A").to_long(), 1); // the first of two matches
    EXPECT_EQ(g->VALUE(" b ").to_text(), "two");
    EXPECT_TRUE(g->EXISTS("MODE"));
    EXPECT_FALSE(g->EXISTS("D"));
    EXPECT_EQ(g->VALUE("C", Variant(), true).to_long(), 4);
    EXPECT_TRUE(g->VALUE("D", Variant()).is_empty());
    // SAVE and export before the collection is made: the same as for a tree
    // that was never reached.
    TempDir dir;
    ASSERT_TRUE(r.doc->SAVE(dir.file("pending.tr47")));
    ASSERT_TRUE(fresh.doc->SAVE(dir.file("fresh.tr47")));
    EXPECT_EQ(test::read_file(dir.file("pending.tr47")), test::read_file(dir.file("fresh.tr47")));
    std::ostringstream pendingText, freshText;
    export_ini(*r.doc, pendingText);
    export_ini(*fresh.doc, freshText);
    EXPECT_EQ(pendingText.str(), freshText.str());
    // The collection, once asked for, holds them all and answers from then on.
    ref<cls_INIValues> values = g->VALUES();
    EXPECT_EQ(g->values_if_any(), values.get());
    ASSERT_EQ(values->COUNT(), 4);
    EXPECT_EQ(values->Item(Variant(3))->NAME(), "a");
    EXPECT_TRUE(values->Item(Variant(4))->ENUMREF());
    EXPECT_TRUE(values->REMOVE(Variant(1)));
    EXPECT_EQ(g->VALUE("A").to_long(), 3);
    // A collection set in its place replaces them.
    ref<cls_INIGroup> h = fresh.doc->ROOT()->CHILDREN()->Item(Variant("G"));
    EXPECT_EQ(h->VALUE("B").to_text(), "two");
    h->VALUES(cls_INIValues::create());
    EXPECT_TRUE(h->VALUE("B", Variant()).is_empty());
    EXPECT_FALSE(h->EXISTS("B"));
    EXPECT_EQ(h->values_if_any()->COUNT(), 0);
    // A group reached but never asked for its collection still reports one
    // with its values.
    ref<cls_INIGroup> inner = r.doc->ROOT()->CHILDREN()->Item(Variant("G"))->CHILDREN()->Item(Variant("Inner"));
    ASSERT_TRUE(inner->values_if_any());
    EXPECT_EQ(inner->values_if_any()->COUNT(), 1);
}

TEST(Packed, LoadedGroupsAnswerFromTheirStoredBytesAsTheirRecordsWould) {
    // Groups of few values made real after LOAD read their values in the
    // file's bytes; other groups (a value with a description, an identifier
    // not its name, 16 values or more) are read into records. Every group
    // must answer, list and store exactly as the imported tree does.
    std::string text =
        "BEGIN Kinds\n  Text=\"a, b\"\n  Same=\"a, b\"\n  Empty=\"\"\n  Long=42\n  Neg=-7\n"
        "  Whole=3.0\n  Frac=2.5\n  Big=1e300\n  Day=2026-12-08\n  Yes=TRUE\n  no=false\n"
        "  Colour=1,2,3\n  Plain=word\nEND\nBEGIN Case\n  NAME=first\n  name=second\nEND\n"
        "BEGIN Described\n  A=1\n  B=\"x\"\nEND\n"
        "BEGIN Renamed\n  A=1\n  B=\"x\"\nEND\n"
        "BEGIN OddSort\n  A=1\n  B=2\nEND\nBEGIN OddNull\n  A=1\n  B=2\nEND\n"
        "BEGIN OddError\n  A=1\n  B=2\nEND\n"
        // Names that match across case, with an i, beyond ASCII; the first wins.
        "BEGIN Tagged\n  Title=1\n  TITLE=2\n  \xC3\x84rger=3\n  \xC3\xA4RGER=4\n  Width=5\n  wIdth=6\n"
        "  Gr\xC3\xB6\xC3\x9F\x65=7\n  Zz=8\n  \xC4\xB1nfo=10\n  Stop=11\nEND\n"
        "BEGIN Wide\n";
    // (6 is no name character.) Two names again at the end: the first wins.
    for (int i = 0; i < 20; ++i)
        text += "  W" + std::string(1, char('a' + i)) + "=\"w" + std::to_string(i % 3) + "\"\n";
    text +=
        "  WA=\"again\"\n  wb=\"and again\"\n  BEGIN Child\n    C=1\n  END\nEND\nBEGIN NoValues\n  BEGIN Child\n  "
        "END\nEND\n";
    Imported r = import_text(text);
    ASSERT_TRUE(r.result) << (r.messages.empty() ? "" : r.messages[0]);
    ref<cls_INIGroups> top = r.doc->ROOT()->CHILDREN();
    top->Item(Variant("Case"))->VALUES()->CREATE("Nothing", Variant(), ID_INIValueSort_String);
    value_at(top->Item(Variant("Described")), 2)->DESCRIPTION("not plain");
    value_at(top->Item(Variant("Renamed")), 1)->DATA()->identifier(Variant("other"));
    // Forms no record takes: a negative SORT, Null and an error value as content.
    value_at(top->Item(Variant("OddSort")), 2)->SORT(-1);
    value_at(top->Item(Variant("OddNull")), 2)->CONTENT(Variant(Null{}));
    value_at(top->Item(Variant("OddError")), 2)->CONTENT(Variant(ErrorValue{hr::TYPE_MISMATCH}));
    TempDir dir;
    ASSERT_TRUE(r.doc->SAVE(dir.file("s.tr47")));

    auto names_of = [](const ref<cls_INIGroup>& g) {
        std::vector<std::string> names;
        for (std::int32_t i = 1; i <= g->VALUES()->COUNT(); ++i) names.push_back(value_at(g, i)->NAME());
        return names;
    };
    ref<cls_INI> loaded = cls_INI::create();
    ASSERT_TRUE(loaded->LOAD(dir.file("s.tr47")));
    ref<cls_INIGroups> again = loaded->ROOT()->CHILDREN();
    ASSERT_EQ(again->COUNT(), top->COUNT());
    for (std::int32_t gi = 1; gi <= top->COUNT(); ++gi) {
        ref<cls_INIGroup> want = top->Item(Variant(gi));
        ref<cls_INIGroup> got = again->Item(Variant(gi));
        EXPECT_EQ(got->NAME(), want->NAME());
        // Look-ups first, while the values wait: every name as it is, upper-cased
        // and between blanks, and one no group has.
        for (const std::string& name : names_of(want))
            for (const std::string& key : {name, upper(name), " " + name + " "}) {
                EXPECT_TRUE(got->VALUE(key).same(want->VALUE(key))) << want->NAME() << "." << key;
                EXPECT_EQ(got->EXISTS(key), want->EXISTS(key)) << key;
            }
        EXPECT_TRUE(got->VALUE("Missing", Variant("dflt")).same(Variant("dflt")));
        EXPECT_TRUE(got->VALUE("C", Variant(), true).same(want->VALUE("C", Variant(), true)));
        // Then the collection, made from them.
        ASSERT_EQ(got->VALUES()->COUNT(), want->VALUES()->COUNT()) << want->NAME();
        for (std::int32_t i = 1; i <= want->VALUES()->COUNT(); ++i) {
            ref<cls_INIValue> a = value_at(want, i), b = value_at(got, i);
            EXPECT_EQ(b->NAME(), a->NAME());
            EXPECT_EQ(b->SORT(), a->SORT()) << a->NAME();
            EXPECT_TRUE(b->CONTENT().same(a->CONTENT())) << a->NAME() << ": " << describe(b->CONTENT());
            EXPECT_EQ(b->DESCRIPTION(), a->DESCRIPTION());
            EXPECT_TRUE(b->DATA()->identifier().same(a->DATA()->identifier())) << a->NAME();
        }
    }
    {
        // The values of a group made real under one locale's rules and still
        // waiting, looked up under another's: keys beyond ASCII that match
        // ASCII ones (a dotless i, a long s), then under rules that
        // upper-case i to İ, where "title" is "TİTLE", which "Title" is and
        // "TITLE" is not.
        ref<cls_INI> fresh = cls_INI::create();
        ASSERT_TRUE(fresh->LOAD(dir.file("s.tr47")));
        ref<cls_INIGroup> want = top->Item(Variant("Tagged"));
        ref<cls_INIGroup> got = fresh->ROOT()->CHILDREN()->Item(Variant("Tagged"));
        ASSERT_TRUE(want->VALUE("INFO").same(Variant(10.0)));
        ASSERT_TRUE(want->VALUE("\xC5\xBFtop").same(Variant(11.0)));
        EXPECT_TRUE(got->VALUE("INFO").same(Variant(10.0)));
        EXPECT_TRUE(got->VALUE("\xC5\xBFtop").same(Variant(11.0)));
        // A group of 16 values or more goes through its key index, built
        // here under the present rules: the collection's (imported) and the
        // stored group's (loaded).
        ref<cls_INIGroup> wideWant = top->Item(Variant("Wide"));
        ref<cls_INIGroup> wideGot = fresh->ROOT()->CHILDREN()->Item(Variant("Wide"));
        ASSERT_TRUE(wideGot->VALUE("wi").same(Variant("w2")));
        ASSERT_TRUE(wideWant->VALUE("wi").same(Variant("w2")));
        LocaleScope turkish("tr_TR.UTF-8");
        for (const ref<cls_INIGroup>& wide : {wideWant, wideGot}) {
            EXPECT_TRUE(wide->VALUE("wi").same(Variant("w2"))); // "Wİ", as "Wi" is now
            EXPECT_TRUE(wide->VALUE("W\xC4\xB0").same(Variant("w2")));
            EXPECT_TRUE(wide->VALUE("WI", Variant("none")).same(Variant("none"))); // no key is "WI" now
            EXPECT_TRUE(wide->VALUE("wa").same(Variant("w0")));
        }
        for (const char* key :
             {"title", "TITLE", "T\xC4\xB0TLE", "width", "W\304\260DTH", "WIDTH", "\xC3\xA4rger", "info", "INFO"}) {
            EXPECT_TRUE(got->VALUE(key).same(want->VALUE(key))) << key;
            EXPECT_EQ(got->EXISTS(key), want->EXISTS(key)) << key;
        }
        EXPECT_TRUE(got->VALUE("title").same(Variant(1.0)));
        EXPECT_FALSE(detail::GroupAccess::values_made(*got)); // all read in the stored bytes
        ASSERT_NE(detail::GroupAccess::pending(*got), nullptr);
        EXPECT_NE(detail::GroupAccess::pending(*got)->stored_tags, nullptr); // through their tags
    }
    // Stored again after everything was reached: the same bytes.
    ASSERT_TRUE(loaded->SAVE(dir.file("again.tr47")));
    EXPECT_EQ(test::read_file(dir.file("again.tr47")), test::read_file(dir.file("s.tr47")));
}

TEST(Packed, GroupsMadeFromTheStoredFormOutliveTheirDocument) {
    // A loaded group's values view the bytes of the file read; the group
    // keeps them alive when the document, its file's bytes and every other
    // group are gone (the sanitizers would see a text read after its free).
    const std::string longText(200, 'q');
    Imported r = import_text("BEGIN A\n  X=" + longText + "\n  BEGIN Inner\n    Y=\"in, side\"\n    N=7\n  END\nEND\n");
    ASSERT_TRUE(r.result);
    TempDir dir;
    ASSERT_TRUE(r.doc->SAVE(dir.file("s.tr47")));
    ref<cls_INIGroup> inner, a;
    {
        ref<cls_INI> doc = cls_INI::create();
        ASSERT_TRUE(doc->LOAD(dir.file("s.tr47")));
        a = doc->ROOT()->CHILDREN()->Item(Variant("A"));
        inner = a->CHILDREN()->Item(Variant("Inner"));
    }
    EXPECT_EQ(a->VALUE("X").to_text(), longText);
    a = nullptr;
    EXPECT_EQ(inner->VALUE("Y").to_text(), "in, side");
    EXPECT_EQ(inner->VALUE("N").to_long(), 7);
    EXPECT_EQ(inner->VALUES()->Item(Variant("y"))->NAME(), "Y");
    EXPECT_EQ(inner->VALUE("Y").to_text(), "in, side");
}

TEST(Packed, TextsOfEverySizeKeepTheirBytes) {
    // The pool's first chunks are small, later ones larger, and long texts
    // get chunks of their own: texts of each size must come back whole.
    const std::string first(300, 'a'), medium(5000, 'b'), huge(600 << 10, 'c');
    std::string text = "BEGIN G\n  A=" + first + "\n  B=" + medium + "\n  C=" + huge + "\n  D=" + first + "x\nEND\n";
    Imported r = import_text(text);
    ASSERT_TRUE(r.result);
    ref<cls_INIGroup> g = child_at(r.doc->ROOT(), 1);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->VALUE("A").to_text(), first);
    EXPECT_EQ(g->VALUE("B").to_text(), medium);
    EXPECT_EQ(g->VALUE("C").to_text(), huge);
    EXPECT_EQ(g->VALUE("D").to_text(), first + "x");
}

TEST(Packed, RecordListsPlacedInAPoolShareItsChunksWithoutOverlap) {
    // Texts and record lists of every size interleave in one pool, across
    // small chunks, huge-page chunks and chunks of their own; a list that
    // outgrows its room moves to the heap. Every text and record must keep
    // its bytes, and every object its one reference.
    ref<detail::PackedPool> pool = detail::PackedPool::create();
    ref<cls_INIValue> held = cls_INIValue::create();
    std::vector<std::pair<const char*, std::string>> texts;
    std::vector<detail::RecordList<detail::PackedValue>> lists;
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t textBytes = rng() % 3 == 0 ? 1 + rng() % 3000 : 1 + rng() % 40;
        std::string text(textBytes, static_cast<char>('a' + round % 26));
        texts.emplace_back(pool->keep(text), std::move(text));
        const std::size_t count = round == 1500 ? 20000 : 1 + rng() % 90;
        detail::RecordList<detail::PackedValue> list;
        list.place_in(*pool, count);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(list.begin()) % alignof(detail::PackedValue), 0u);
        for (std::size_t i = 0; i < count; ++i) {
            detail::PackedValue r = i % 7 == 0 ? detail::PackedValue::holding(held) : detail::PackedValue();
            if (i % 7 != 0) {
                r.set_form(detail::PackedForm::Packed);
                r.type = VarType::Long;
                r.u.lng = static_cast<std::int32_t>(round * 100000 + i);
            }
            list.push_back(std::move(r));
        }
        if (round % 100 == 0) {
            list.push_back(detail::PackedValue()); // past its room: to the heap
            EXPECT_GT(list.capacity(), count);
        }
        lists.push_back(std::move(list));
    }
    EXPECT_EQ(
        held->ref_count(), 1u + [&] {
            std::uint32_t n = 0;
            for (const auto& list : lists)
                for (const auto& r : list) n += r.form() == detail::PackedForm::Object;
            return n;
        }());
    for (const auto& [kept, text] : texts) ASSERT_EQ(std::string_view(kept, text.size()), text);
    for (std::size_t round = 0; round < lists.size(); ++round)
        for (std::size_t i = 0; i < lists[round].size(); ++i) {
            const detail::PackedValue& r = lists[round][i];
            if (i % 7 == 0 || r.form() != detail::PackedForm::Packed) continue;
            ASSERT_EQ(r.u.lng, static_cast<std::int32_t>(round * 100000 + i)) << round << "/" << i;
        }
    lists.clear(); // before the pool, which owns their room
    EXPECT_EQ(held->ref_count(), 1u);
}

TEST(Packed, NamesKeptOnceKeepEverySpelling) {
    // The interner against a plain map: equal bytes share one text, every
    // other spelling (case included) gets its own, long names and names met
    // after the table is full are still kept whole.
    ref<detail::PackedPool> pool = detail::PackedPool::create();
    detail::NameInterner names(*pool);
    std::map<std::string, const char*> first;
    std::mt19937 rng(7);
    const std::string vocabulary[] = {"Name", "NAME", "name", "Path", "Timeout", "x", "Host_2", "A.B"};
    std::size_t shared = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string name;
        switch (rng() % 4) {
        case 0: name = vocabulary[rng() % std::size(vocabulary)]; break;
        case 1: name = std::string(detail::NameInterner::kLongestShared + rng() % 3, 'L'); break;
        default: name = "N" + std::to_string(rng() % 120000); break; // fills the table past its bound
        }
        const char* kept = names.keep(name);
        ASSERT_EQ(std::string(kept, name.size()), name);
        auto [it, fresh] = first.emplace(name, kept);
        if (!fresh && it->second == kept) ++shared;
        if (name.size() <= 8 && name[0] != 'N') {
            EXPECT_EQ(it->second, kept) << name; // met before the table filled
        }
    }
    EXPECT_GT(shared, 60000u); // the vocabulary and the 64-byte name alone
    EXPECT_NE(names.keep("Name"), names.keep("NAME"));

    // Groups that repeat their names in one order (the interner guesses the
    // next name from the last), now and then in another order, spelling or
    // with a name too long to share, while the table grows.
    detail::NameInterner ordered(*pool);
    std::map<std::string, const char*> seen;
    const std::vector<std::string> order = {"Name", "Host", "Port", "Timeout", "Enabled", "Host"};
    for (int g = 0; g < 3000; ++g) {
        std::vector<std::string> group = order;
        if (g % 7 == 0) std::swap(group[1], group[3]);
        if (g % 11 == 0) group[2] = "PORT";
        if (g % 13 == 0) group.insert(group.begin() + 2, std::string(80, 'Q'));
        group.push_back("Only" + std::to_string(g % 1500)); // new names until the table has grown
        for (const std::string& name : group) {
            const char* kept = ordered.keep(name);
            ASSERT_EQ(std::string(kept, name.size()), name);
            const auto [it, fresh] = seen.emplace(name, kept);
            if (name.size() <= detail::NameInterner::kLongestShared) {
                ASSERT_EQ(it->second, kept) << g << " " << name;
            }
        }
    }

    // Through an import: values of many groups, names differing only in case.
    std::string text;
    for (int g = 0; g < 50; ++g) text += "BEGIN G" + std::to_string(g) + "\n  Name=1\n  NAME=\"2\"\n  nAmE=3\nEND\n";
    Imported r = import_text(text);
    ASSERT_TRUE(r.result);
    for (int g : {1, 50}) {
        ref<cls_INIGroup> group = child_at(r.doc->ROOT(), g);
        ASSERT_TRUE(group);
        EXPECT_EQ(value_at(group, 1)->NAME(), "Name");
        EXPECT_EQ(value_at(group, 2)->NAME(), "NAME");
        EXPECT_EQ(value_at(group, 3)->NAME(), "nAmE");
        EXPECT_EQ(group->VALUE("name").to_text(), "1");
    }
}

TEST(Packed, LookUpsReadPackedValuesWithoutMakingThemReal) {
    Imported r = import_text("A=1\nB=\"two\"\nC=2026-12-07\n");
    ASSERT_TRUE(r.result);
    ref<cls_INIGroup> root = r.doc->ROOT();
    const auto before = Object::live_objects();
    EXPECT_EQ(root->VALUE("b").to_text(), "two");
    EXPECT_TRUE(root->VALUE("C").is_date());
    EXPECT_TRUE(root->VALUE("D", Variant("none")).same(Variant("none")));
    EXPECT_EQ(Object::live_objects(), before) << "a look-up made values real";
    // Once real (and changed), the look-up reads the real value.
    root->VALUES()->Item(Variant("A"), false)->CONTENT(Variant("changed"));
    EXPECT_EQ(root->VALUE("A").to_text(), "changed");
    root->VALUES()->Item(Variant("B"), false)->NAME("Renamed");
    EXPECT_TRUE(root->VALUE("B").is_omitted());
    EXPECT_EQ(root->VALUE("renamed").to_text(), "two");
}

// ---------------------------------------------------------------------------
// Recursive look-ups read packed groups in place: the answers must be those
// of the same tree made real, loaded, or half made real.

namespace {

const char* const kNames[] = {"A", "B", "C", "d", "a", "Missing"};

// The generated tree as the test knows it, names upper-cased.
struct Expected {
    std::vector<std::pair<std::string, std::string>> values;
    std::string name; // as a child of its parent
    std::vector<Expected> children;
};

std::string upper_ascii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void random_group(std::mt19937& rng, std::string& out, Expected& tree, int depth) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const int values = pick(3);
    for (int v = 0; v < values; ++v) {
        const char* name = kNames[pick(5)];
        if (pick(4) == 0) {
            out += std::string(name) + "=ENUM(Modes),On\n"; // a value made real at once
            tree.values.emplace_back(upper_ascii(name), "On");
        } else {
            const std::string number = std::to_string(rng() % 1000);
            out += std::string(name) + "=" + number + "\n";
            tree.values.emplace_back(upper_ascii(name), number);
        }
    }
    if (depth == 0) return;
    const int children = pick(4);
    for (int c = 0; c < children; ++c) {
        const char* name = kNames[pick(5)];
        out += pick(3) == 0 ? std::string("BEGIN Sort, ") + name + "\n" : std::string("BEGIN ") + name + "\n";
        tree.children.emplace_back();
        tree.children.back().name = upper_ascii(name);
        random_group(rng, out, tree.children.back(), depth - 1);
        out += "END\n";
    }
}

const std::string* own_value(const Expected& g, const std::string& name) {
    for (const auto& [n, v] : g.values)
        if (n == name) return &v;
    return nullptr;
}
bool has_child(const Expected& g, const std::string& name) {
    for (const auto& c : g.children)
        if (c.name == name) return true;
    return false;
}

// The rule, written plainly: groups below the start in pre-order; the first
// with a value of that name answers; one with a child group of that name
// confines the search to its own subtree.
enum class Outcome { Going, Found, Ended };
Outcome search_below(const Expected& g, const std::string& name, std::string& out) {
    for (const auto& c : g.children) {
        if (const std::string* v = own_value(c, name)) {
            out = *v;
            return Outcome::Found;
        }
        if (has_child(c, name)) return search_below(c, name, out) == Outcome::Found ? Outcome::Found : Outcome::Ended;
        const Outcome o = search_below(c, name, out);
        if (o != Outcome::Going) return o;
    }
    return Outcome::Going;
}
bool exists_below(const Expected& g, const std::string& name) {
    for (const auto& c : g.children)
        if (own_value(c, name) || has_child(c, name) || exists_below(c, name)) return true;
    return false;
}

std::string expected_answers(const Expected& root) {
    std::string out;
    std::vector<const Expected*> starts{&root};
    for (const auto& c : root.children) starts.push_back(&c);
    for (const Expected* g : starts)
        for (const char* n : kNames) {
            const std::string name = upper_ascii(n);
            std::string value = "none";
            if (const std::string* v = own_value(*g, name))
                value = *v;
            else
                search_below(*g, name, value);
            const bool exists = own_value(*g, name) || has_child(*g, name) || exists_below(*g, name);
            out += std::string(n) + ":" + value + "/" + (exists ? "y" : "n") + " ";
        }
    return out;
}

// Every group reached through Item, so that none stays packed (or, with a
// coin, about half of them).
void make_real(const ref<cls_INIGroup>& start, std::mt19937* coin) {
    std::vector<ref<cls_INIGroup>> todo{start};
    while (!todo.empty()) {
        ref<cls_INIGroup> g = todo.back();
        todo.pop_back();
        ref<cls_INIGroups> children = g->CHILDREN();
        for (std::int32_t i = 1; i <= children->COUNT(); ++i)
            if (!coin || (*coin)() % 2) todo.push_back(children->Item(Variant(i), true));
    }
}

std::string answers(const ref<cls_INI>& doc) {
    std::string out;
    std::vector<ref<cls_INIGroup>> starts{doc->ROOT()};
    ref<cls_INIGroups> top = doc->ROOT()->CHILDREN();
    for (std::int32_t i = 1; i <= top->COUNT(); ++i) starts.push_back(top->Item(Variant(i), true));
    for (const ref<cls_INIGroup>& g : starts)
        for (const char* name : kNames)
            out += std::string(name) + ":" + g->VALUE(name, Variant("none"), true).to_text() + "/" +
                   (g->EXISTS(name, true) ? "y" : "n") + " ";
    return out;
}

} // namespace

TEST(PackedWalk, RecursiveLookUpsAnswerAlikeOnPackedRealAndLoadedTrees) {
    TempDir dir;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        std::string text = "ENUM Modes,(Off,0,On,1)\n";
        Expected tree;
        random_group(rng, text, tree, 5);
        // A chain deeper than packed groups nest, with a value at its end.
        if (seed % 4 == 0) {
            tree.children.emplace_back();
            tree.children.back().name = "L";
            Expected* level = &tree.children.back();
            for (int i = 0; i < 300; ++i) text += "BEGIN L\n";
            for (int i = 1; i < 300; ++i) {
                level->children.emplace_back();
                level->children.back().name = "L";
                level = &level->children.back();
            }
            text += std::string(kNames[seed % 5]) + "=deep\n";
            level->values.emplace_back(upper_ascii(kNames[seed % 5]), "deep");
            for (int i = 0; i < 300; ++i) text += "END\n";
        }
        const std::string file = dir.write("random.ini", text);
        auto imported = [&] {
            ref<cls_INI> doc = cls_INI::create();
            EXPECT_TRUE(doc->IMPORT(file));
            return doc;
        };
        const std::string expected = expected_answers(tree);
        ref<cls_INI> real = imported();
        make_real(real->ROOT(), nullptr);
        EXPECT_EQ(answers(real), expected) << "real, seed " << seed;

        EXPECT_EQ(answers(imported()), expected) << "packed, seed " << seed;
        ref<cls_INI> half = imported();
        std::mt19937 coin(seed);
        make_real(half->ROOT(), &coin);
        EXPECT_EQ(answers(half), expected) << "half real, seed " << seed;
        ASSERT_TRUE(imported()->SAVE(dir.file("random.tr47")));
        ref<cls_INI> loaded = cls_INI::create();
        ASSERT_TRUE(loaded->LOAD(dir.file("random.tr47")));
        EXPECT_EQ(answers(loaded), expected) << "loaded, seed " << seed;
    }
}

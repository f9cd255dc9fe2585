// The stored form: what SAVE writes value by value, files of other format
// versions, and the compact forms of single values next to files of the
// first format.
#include <gtest/gtest.h>

#include <cmath>

#include "corelib/platform.hpp"
#include "tests/support/helpers.hpp"
#include "tests/support/persistence.hpp"

using namespace tr47;
using tr47::test::child_at;
using tr47::test::dump;
using tr47::test::L;
using tr47::test::S;
using tr47::test::sample_doc;
using tr47::test::TempDir;

TEST(Store, StoredFormOrderAndIdentifierTypes) {
    // Root with value A and child G: the order of the stored values.
    ref<cls_INI> doc = cls_INI::create();
    doc->ROOT()->VALUES()->CREATE("A", Variant(1.0));
    doc->ROOT()->CHILDREN()->CREATE("G");
    TempDir dir;
    ASSERT_TRUE(doc->SAVE(dir.file("s.tr47")));
    ref<ReaderObject> r = ReaderObject::create();
    ASSERT_TRUE(r->open(dir.file("s.tr47"), 1, "", true, true));
    std::vector<std::string> seen;
    while (!r->eof()) seen.push_back(describe(r->read_value()));
    const std::vector<std::string> expected = {
        "String(1.0)", "Empty",     "String()",  "String()", // document
        "String(1.0)", "Empty",     "String()",  "String()",  "String()", // ROOT
        "String(1.0)", "Empty",     "Long(1)", // its VALUES
        "String(1.0)", "String(A)", "String(A)", "Long(0)",   "Double(1)", "String()", // value A
        "String(1.0)", "Empty",     "Long(1)", // its CHILDREN
        "String(1.0)", "String(G)", "String()",  "String(G)", "String()", // group G
        "String(1.0)", "Empty",     "Long(0)", // G's VALUES
        "String(1.0)", "Empty",     "Long(0)", // G's CHILDREN
        "String(1.0)", "Empty",     "Long(0)"}; // ENUMS
    EXPECT_EQ(seen, expected);

    // Store and read keep identifier types; ENUMREF is not restored.
    ref<cls_INI> src = sample_doc();
    ASSERT_TRUE(src->SAVE(dir.file("doc.tr47")));
    ref<cls_INI> back = cls_INI::create();
    ASSERT_TRUE(back->LOAD(dir.file("doc.tr47")));
    EXPECT_TRUE(back->DATA()->identifier().same(L(77)));
    EXPECT_EQ(dump(back), dump(src));
    EXPECT_FALSE(back->ROOT()->VALUES()->Item(S("Mode"), false)->ENUMREF());
    EXPECT_FALSE(child_at(back->ROOT(), 2)->CHILDREN()->allocated());

    // LOAD into a collection that has items: exactly the file's, as new objects.
    ref<cls_INIGroups> groups = src->ROOT()->CHILDREN();
    ASSERT_TRUE(groups->SAVE(dir.file("groups.tr47")));
    ref<cls_INIGroups> target = cls_INIGroups::create();
    for (int i = 0; i < 4; ++i) target->CREATE("old");
    ASSERT_TRUE(target->LOAD(dir.file("groups.tr47")));
    ASSERT_EQ(target->COUNT(), 2);
    EXPECT_EQ(target->Item(L(1))->NAME(), "Fonts");
    EXPECT_TRUE(target->Item(L(1))->EXISTS("Deep", true));
    EXPECT_NE(target->Item(L(1)).get(), groups->Item(L(1)).get());
    ref<ReaderObject> gr = ReaderObject::create();
    ASSERT_TRUE(gr->open(dir.file("groups.tr47"), 1, "", true, true));
    EXPECT_TRUE(gr->read_value().same(S("1.0")));
    EXPECT_TRUE(gr->read_value().is_empty());
    EXPECT_TRUE(gr->read_value().same(L(2)));
}

TEST(Store, ForeignFormatVersionsLeaveObjectsUnchanged) {
    TempDir dir;
    auto write_values = [&](const std::string& name, const std::vector<Variant>& values) {
        ref<ReaderObject> w = ReaderObject::create();
        w->open(dir.file(name), 2, "", true, true);
        for (const Variant& v : values) w->write_values({PackElement(v)});
        w->close();
        return dir.file(name);
    };
    ref<cls_INI> doc = sample_doc();
    const std::string before = dump(doc);
    for (const char* version : {"1.1", "2.0", ""}) {
        EXPECT_TRUE(doc->LOAD(write_values("v.tr47", {S(version), S("id"), S("x"), S("y")})));
        EXPECT_EQ(dump(doc), before);
    }
    // A child with a foreign version: its parent goes on with the next value.
    ref<cls_INIGroup> g = cls_INIGroup::create();
    ref<cls_INIValues> values = g->VALUES();
    values->CREATE("kept", Variant());
    std::string path = write_values("child.tr47", {S("1.0"), S("gid"), S("sort"), S("name"), S("desc"),
                                                   S("9.9"), // VALUES refuses its stored form here
                                                   S("1.0"), S("cid"), L(0)});
    ref<ReaderObject> r = ReaderObject::create();
    ASSERT_TRUE(r->open(path, 1, "", true, true));
    g->DATA()->read(*r);
    EXPECT_EQ(g->NAME(), "name");
    EXPECT_EQ(values->COUNT(), 1);
    EXPECT_TRUE(g->CHILDREN()->DATA()->identifier().same(S("cid")));
    // A lower-case version text is accepted.
    EXPECT_TRUE(doc->LOAD(
        write_values("lower.tr47", {S("1.0"), L(5), S("V"), S("C"), S("1.0"), Variant(), S(""), S(""), S(""), S("1.0"),
                                    Variant(), L(0), S("1.0"), Variant(), L(0), S("1.0"), Variant(), L(0)})));
    EXPECT_EQ(doc->VERSION(), "V");
    EXPECT_EQ(doc->ROOT()->VALUES()->COUNT(), 0);
}

TEST(Store, CompactValuesRoundTripExactlyAndOldFilesStillLoad) {
    // Every subtype and the edges of the compact forms, written and read
    // back in one stream: repeated texts, whole doubles near 2^53, -0.
    TempDir dir;
    const double big = 9007199254740992.0; // 2^53: too large for the whole-number form
    const std::vector<Variant> values = {S(""),
                                         S("1.0"),
                                         S("x"),
                                         S("x"),
                                         S("y"),
                                         S("x"),
                                         L(0),
                                         L(-1),
                                         L(INT32_MIN),
                                         L(INT32_MAX),
                                         Variant(0.0),
                                         Variant(-0.0),
                                         Variant(big),
                                         Variant(-big + 1),
                                         Variant(big - 1),
                                         Variant(1.5),
                                         Variant(1e300),
                                         Variant(-7.0),
                                         Variant(Date{45000.5}),
                                         Variant::boolean(true),
                                         Variant(),
                                         Variant(ErrorValue{}),
                                         S("1.0"),
                                         S(""),
                                         Variant(Null{})};
    ref<ReaderObject> w = ReaderObject::create();
    ASSERT_TRUE(w->open(dir.file("v.tr47"), 2, "", true, true));
    for (const Variant& v : values) w->write_value(v);
    w->close();
    ref<ReaderObject> r = ReaderObject::create();
    ASSERT_TRUE(r->open(dir.file("v.tr47"), 1, "", true, true));
    for (std::size_t i = 0; i < values.size(); ++i) {
        // Texts alternately through both reading calls: a repeated text must
        // come back the same either way.
        std::string_view text;
        std::string scratch;
        Variant other;
        if (i % 2 == 0 && values[i].is_string()) {
            ASSERT_TRUE(r->read_text(text, scratch, other)) << i;
            EXPECT_EQ(text, values[i].string()) << i;
            continue;
        }
        Variant got = r->read_value();
        EXPECT_TRUE(got.same(values[i])) << i << ": " << describe(got);
        if (values[i].is_double()) {
            EXPECT_EQ(std::signbit(got.dbl()), std::signbit(values[i].dbl())) << i;
        }
    }
    EXPECT_TRUE(r->eof());

    // A file of the first format (fixed-width tags only) still loads.
    std::string payload;
    auto text = [&](std::string_view t) {
        payload += char(1);
        for (int i = 0; i < 4; ++i) payload += char((t.size() >> (8 * i)) & 0xFF);
        payload += t;
    };
    auto empty = [&] { payload += char(0); };
    auto lng = [&](std::uint32_t n) {
        payload += char(5);
        for (int i = 0; i < 4; ++i) payload += char((n >> (8 * i)) & 0xFF);
    };
    // A values collection announcing `count` entries, holding one.
    auto old_file = [&](std::uint32_t count) {
        payload.clear();
        text("1.0"), empty(), lng(count);
        text("1.0"), text("Old"), text("Old"), lng(3), text("content"), text("");
        std::string file = std::string("TR47STOR") + char(1) + char(0) + char(0) + char(0);
        for (int i = 0; i < 8; ++i) file += char((payload.size() >> (8 * i)) & 0xFF);
        file += payload;
        return file + detail::platform::sha256(file);
    };
    ref<cls_INIValues> loaded = cls_INIValues::create();
    ASSERT_TRUE(loaded->LOAD(dir.write("old.tr47", old_file(1))));
    ASSERT_EQ(loaded->COUNT(), 1);
    EXPECT_EQ(loaded->Item(L(1))->NAME(), "Old");
    EXPECT_EQ(loaded->Item(L(1))->SORT(), 3);
    EXPECT_TRUE(loaded->Item(L(1))->CONTENT().same(S("content")));

    // The same collection announcing 2^31-1 entries: reading reserves only
    // what the file's bytes can back, LOAD fails at the file's end and the
    // entry read before stays.
    ref<cls_INIValues> partial = cls_INIValues::create();
    EXPECT_FALSE(partial->LOAD(dir.write("false_count.tr47", old_file(INT32_MAX))));
    ASSERT_EQ(partial->COUNT(), 1);
    EXPECT_EQ(partial->Item(L(1))->NAME(), "Old");
}

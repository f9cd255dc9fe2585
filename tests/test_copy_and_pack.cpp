// Copies and packages: DATA's copy and spawn for every class, and the
// packages that pack and unpack make of them.
#include <gtest/gtest.h>

#include "tests/support/helpers.hpp"
#include "tests/support/persistence.hpp"

using namespace tr47;
using tr47::test::child_at;
using tr47::test::dump;
using tr47::test::L;
using tr47::test::S;
using tr47::test::sample_doc;
using tr47::test::value_at;

TEST(Copy, EveryClassAndItsRules) {
    ref<cls_INI> src = sample_doc();
    ref<cls_INI> dst = cls_INI::create();
    ref<cls_INIGroup> dstRoot = dst->ROOT();
    dst->DATA()->copy(src);
    EXPECT_EQ(dump(dst), dump(src));
    EXPECT_EQ(dst->ROOT().get(), dstRoot.get()); // children stay the same objects
    EXPECT_NE(value_at(dst->ROOT(), 1).get(), value_at(src->ROOT(), 1).get()); // items are new
    // ENUMREF is copied as a reference: it points at the source's enumeration.
    ref<cls_INIValue> mode = dst->ROOT()->VALUES()->Item(S("Mode"), false);
    EXPECT_EQ(mode->ENUMREF().get(), src->ENUMS()->Item(S("Modes")).get());

    // Three into five leaves exactly three copies.
    ref<cls_INIValues> three = cls_INIValues::create(), five = cls_INIValues::create();
    for (int i = 0; i < 3; ++i) three->CREATE("t" + std::to_string(i), Variant(i));
    for (int i = 0; i < 5; ++i) five->CREATE("f" + std::to_string(i), Variant(i));
    five->DATA()->copy(three);
    ASSERT_EQ(five->COUNT(), 3);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(five->Item(L(i))->NAME(), three->Item(L(i))->NAME());
    // An empty groups collection copies as one without an array.
    ref<cls_INIGroups> g1 = cls_INIGroups::create(), g2 = cls_INIGroups::create();
    g2->CREATE("x");
    g2->DATA()->copy(g1);
    EXPECT_FALSE(g2->allocated());

    // Another class: type mismatch, nothing changed.
    ref<cls_INIValue> v = cls_INIValue::create();
    v->NAME("keep");
    try {
        v->DATA()->copy(cls_INIGroup::create());
        FAIL() << "copied across classes";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), hr::TYPE_MISMATCH);
    }
    EXPECT_EQ(v->NAME(), "keep");
    EXPECT_THROW(v->DATA()->copy(nullptr), Error);
    // Copying onto itself keeps everything.
    std::string before = dump(src);
    src->DATA()->copy(src);
    EXPECT_EQ(dump(src), before);

    // Spawn: a new, unrelated instance of the same class.
    ref<cls_INIGroup> g = child_at(src->ROOT(), 1);
    ref<tmp_Data> spawned = g->DATA()->spawn();
    ref<cls_INIGroup> sg = query<cls_INIGroup>(spawned);
    ASSERT_TRUE(sg);
    EXPECT_NE(sg.get(), g.get());
    EXPECT_EQ(sg->NAME(), "");
    EXPECT_NE(sg->DATA().get(), g->DATA().get());
}

TEST(Pack, RoundTripOfEveryClassAndIdentifierTypes) {
    ref<cls_INI> src = sample_doc();
    std::string package = src->DATA()->pack();
    ref<cls_INI> back = cls_INI::create();
    back->DATA()->unpack(package);
    // Identifiers come back as texts (an empty one as the empty text);
    // everything else as it was.
    EXPECT_TRUE(back->DATA()->identifier().same(S("77")));
    back->DATA()->identifier(L(77));
    std::string expected = dump(src), got = dump(back);
    for (std::size_t at; (at = expected.find("Empty")) != std::string::npos;) expected.replace(at, 5, "String()");
    EXPECT_EQ(got, expected);
    // ENUMREF takes no part in packages.
    EXPECT_FALSE(back->ROOT()->VALUES()->Item(S("Mode"), false)->ENUMREF());

    ref<cls_INIEnum> e = cls_INIEnum::create();
    e->NAME("Modes");
    e->DESCRIPTION("d");
    e->IMPORT("a,1");
    ref<cls_INIEnum> e2 = cls_INIEnum::create();
    std::string pe = e->DATA()->pack();
    e2->DATA()->unpack(pe);
    EXPECT_EQ(e2->NAME(), "Modes");
    EXPECT_EQ(e2->DESCRIPTION(), "d");
    EXPECT_EQ(e2->VALUES()->members(), e->VALUES()->members());

    // A damaged package fails with an error; a value of another class too.
    std::string broken = package.substr(0, package.size() / 2);
    EXPECT_THROW(cls_INI::create()->DATA()->unpack(broken), Error);
    std::string valuePackage = value_at(src->ROOT(), 1)->DATA()->pack();
    EXPECT_THROW(cls_INIGroup::create()->DATA()->unpack(valuePackage), Error);
}

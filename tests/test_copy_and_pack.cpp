// Copies and packages: DATA's copy and spawn for every class, the packages
// that pack and unpack make of them, and the packer beneath.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

// A value and what it holds: the Variant of every content and identifier
// (subtypes, conversions, comparisons, Null), and the value class's
// defaults.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/support/helpers.hpp"

using namespace tr47;

TEST(Variant, SubtypesAndTextConversion) {
    EXPECT_EQ(Variant().type(), VarType::Empty);
    EXPECT_EQ(Variant("x").type(), VarType::String);
    EXPECT_EQ(Variant(1.5).type(), VarType::Double);
    EXPECT_EQ(Variant(std::int32_t{7}).type(), VarType::Long);
    EXPECT_EQ(Variant(Date{1.0}).type(), VarType::Date);
    EXPECT_EQ(Variant::boolean(true).type(), VarType::Boolean);
    EXPECT_EQ(Variant::boolean(true).vbool(), -1);
    EXPECT_EQ(Variant::boolean(false).vbool(), 0);

    Variant omitted = Variant::omitted();
    EXPECT_TRUE(omitted.is_error());
    EXPECT_TRUE(omitted.is_omitted());
    EXPECT_EQ(static_cast<std::uint32_t>(omitted.error().code), 0x80020004u);
    EXPECT_FALSE(Variant().is_omitted());

    EXPECT_EQ(Variant().to_text(), "");
    EXPECT_EQ(Variant(std::int32_t{-42}).to_text(), "-42");
    EXPECT_EQ(Variant(5.0).to_text(), "5");
    EXPECT_EQ(Variant(1.5).to_text(), "1.5");
    EXPECT_EQ(Variant(0.1 + 0.2).to_text(), "0.3"); // fifteen significant digits
    EXPECT_EQ(Variant(1e20).to_text(), "1E+20");
    EXPECT_EQ(Variant(-0.0).to_text(), "0");
    EXPECT_EQ(Variant::boolean(true).to_text(), "True");
    EXPECT_EQ(Variant(Date{0.0}).to_text(), "1899-12-30");
    EXPECT_EQ(Variant(Date{46362.5}).to_text(), "2026-12-06 12:00:00");
    EXPECT_THROW(omitted.to_text(), Error);
    try {
        omitted.to_text();
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), hr::TYPE_MISMATCH);
    }
}

TEST(Variant, NumericConversionsRoundHalvesToEvenAndOverflow) {
    EXPECT_EQ(Variant(2.5).to_long(), 2);
    EXPECT_EQ(Variant(3.5).to_long(), 4);
    EXPECT_EQ(Variant(-2.5).to_long(), -2);
    EXPECT_EQ(Variant("12").to_long(), 12);
    EXPECT_DOUBLE_EQ(Variant("1,5").to_double(), 1.5);
    EXPECT_DOUBLE_EQ(Variant(" 2.25 ").to_double(), 2.25);
    EXPECT_EQ(Variant::boolean(true).to_long(), -1);
    try {
        Variant(3e9).to_long();
        FAIL() << "no overflow";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), hr::OVERFLOW_);
    }
    EXPECT_THROW(Variant("abc").to_double(), Error);
    EXPECT_THROW(Variant(std::numeric_limits<double>::quiet_NaN()).to_long(), Error);
    EXPECT_TRUE(Variant("wahr").to_bool());
    EXPECT_FALSE(Variant("0").to_bool());
    EXPECT_TRUE(Variant(0.5).to_bool());
}

TEST(Variant, EqualAsVariants) {
    EXPECT_TRUE(Variant(std::int32_t{5}).equals(Variant(5.0)));
    EXPECT_TRUE(Variant(5.0).equals(Variant("5")));
    EXPECT_FALSE(Variant("5").equals(Variant("5.0"))); // two texts compare exactly
    EXPECT_TRUE(Variant().equals(Variant("")));
    EXPECT_TRUE(Variant().equals(Variant(0.0)));
    EXPECT_FALSE(Variant().equals(Variant("x")));
    EXPECT_TRUE(Variant::boolean(true).equals(Variant(-1.0)));
    EXPECT_FALSE(Variant("abc").equals(Variant(0.0)));
    EXPECT_TRUE(Variant::omitted().equals(Variant::omitted()));
    EXPECT_FALSE(Variant::omitted().equals(Variant()));
    ref<cls_INIValue> a = cls_INIValue::create(), b = cls_INIValue::create();
    EXPECT_TRUE(Variant(a).equals(Variant(a)));
    EXPECT_FALSE(Variant(a).equals(Variant(b)));
    // same() also requires the subtype to agree.
    EXPECT_FALSE(Variant(std::int32_t{5}).same(Variant(5.0)));
    EXPECT_TRUE(
        Variant(std::numeric_limits<double>::quiet_NaN()).same(Variant(std::numeric_limits<double>::quiet_NaN())));
}

TEST(Variant, NullIsKeptAsGivenAndRefusesConversion) {
    const Variant null{Null{}};
    EXPECT_EQ(null.type(), VarType::Null);
    EXPECT_TRUE(null.is_null());
    EXPECT_FALSE(null.is_empty());
    for (auto convert : {+[](const Variant& v) { (void)v.to_text(); }, +[](const Variant& v) { (void)v.to_bool(); },
                         +[](const Variant& v) { (void)v.to_long(); }}) {
        try {
            convert(null);
            ADD_FAILURE() << "Null converted";
        } catch (const Error& e) {
            EXPECT_EQ(e.code(), hr::INVALID_USE_OF_NULL);
        }
    }
    // Null equals nothing, not even Null; it is the same as itself.
    EXPECT_FALSE(null.equals(null));
    EXPECT_FALSE(null.equals(Variant()));
    EXPECT_TRUE(null.same(Variant(Null{})));
    EXPECT_FALSE(null.same(Variant()));
    // A lookup that finds nothing hands the default back as it came.
    ref<cls_INIGroup> g = cls_INIGroup::create();
    EXPECT_TRUE(g->VALUE("missing", null).is_null());
    // Contents survive copy and pack.
    ref<cls_INIValue> v = cls_INIValue::create();
    v->CONTENT(null);
    ref<cls_INIValue> back = cls_INIValue::create();
    std::string package = v->DATA()->pack();
    back->DATA()->unpack(package);
    EXPECT_TRUE(back->CONTENT().is_null());
}

TEST(Value, DefaultsAndFreeFields) {
    ref<cls_INIValue> v = cls_INIValue::create();
    EXPECT_EQ(v->SORT(), ID_INIValueSort_String);
    EXPECT_TRUE(v->CONTENT().is_empty());
    EXPECT_EQ(v->NAME(), "");
    EXPECT_FALSE(v->ENUMREF());
    EXPECT_EQ(v->DATA()->class_name(), "TR47_INI.cls_INIValue");
    v->SORT(5); // no such kind; stored unchanged
    EXPECT_EQ(v->SORT(), 5);
    EXPECT_EQ(cls_INI::create()->DATA()->class_name(), "TR47_INI.cls_INI");
    EXPECT_EQ(cls_INIGroups::create()->DATA()->class_name(), "TR47_INI.cls_INIGroups");
}

// Enumerations: the name that is the data object's identifier, and the
// member list that holds the names and values.
#include <gtest/gtest.h>

#include "tests/support/helpers.hpp"

using namespace tr47;
using tr47::test::L;
using tr47::test::S;

TEST(Enumeration, NameIsTheDataObjectIdentifier) {
    ref<cls_INIEnums> enums = cls_INIEnums::create();
    ref<cls_INIEnum> e = enums->CREATE("Modes");
    EXPECT_EQ(e->NAME(), "Modes");
    EXPECT_TRUE(e->DATA()->identifier().same(S("Modes")));
    EXPECT_TRUE(enums->EXISTS(S(" modes ")));
    e->NAME("Levels");
    EXPECT_FALSE(enums->EXISTS(S("Modes")));
    EXPECT_TRUE(enums->EXISTS(S("LEVELS")));
    // ADD with an identifier renames; without keeps the name.
    ref<cls_INIEnum> f = cls_INIEnum::create();
    f->NAME("Own");
    EXPECT_EQ(enums->ADD(f, L(42))->NAME(), "42");
    ref<cls_INIEnum> g = cls_INIEnum::create();
    g->NAME("Kept");
    EXPECT_EQ(enums->ADD(g)->NAME(), "Kept");
    // Two of one name: the first wins.
    ref<cls_INIEnum> dup = enums->CREATE("levels");
    EXPECT_EQ(enums->Item(S("Levels")).get(), e.get());
    // Another data object brings its identifier as the name.
    ref<DataObject> d = DataObject::create();
    d->identifier(L(7));
    dup->DATA(d);
    EXPECT_EQ(dup->NAME(), "7");
    EXPECT_TRUE(cls_INIEnum::create()->NAME().empty());
    ref<cls_INIEnum> noData = cls_INIEnum::create();
    noData->DATA(nullptr);
    EXPECT_THROW(noData->NAME(), Error);
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

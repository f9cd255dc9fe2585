#include <gtest/gtest.h>

#include "tests/support/helpers.hpp"

using namespace tr47;
using tr47::test::child_at;
using tr47::test::L;
using tr47::test::S;
using tr47::test::value_at;

namespace {
std::vector<std::string> names(const ref<cls_INIValues>& values) {
    std::vector<std::string> out;
    for (std::int32_t i = 1; i <= values->COUNT(); ++i) out.push_back(values->Item(L(i))->NAME());
    return out;
}
} // namespace

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

TEST(KeyedCollection, ContractOfValues) {
    ref<cls_INIValues> values = cls_INIValues::create();
    EXPECT_EQ(values->COUNT(), 0);
    ref<cls_INIValue> alpha = values->CREATE("Alpha", Variant(5.0));
    EXPECT_EQ(alpha->SORT(), ID_INIValueSort_String);
    EXPECT_TRUE(alpha->CONTENT().same(Variant(5.0)));
    EXPECT_TRUE(values->EXISTS(S(" alpha ")));
    EXPECT_EQ(values->Item(S(" ALPHA"), false).get(), alpha.get());
    EXPECT_TRUE(alpha->DATA()->identifier().same(S("Alpha")));
    // Names are keys at look-up time.
    alpha->NAME("B");
    EXPECT_FALSE(values->EXISTS(S("Alpha")));
    EXPECT_TRUE(values->EXISTS(S("b")));
    // ADD with an identifier: still found by NAME only.
    ref<cls_INIValue> v = cls_INIValue::create();
    v->NAME("Named");
    EXPECT_EQ(values->ADD(v, S("Other")).get(), v.get());
    EXPECT_TRUE(values->EXISTS(S("Named")));
    EXPECT_FALSE(values->EXISTS(S("Other")));
    // ADD of no object makes a default entry at that position.
    ref<cls_INIValue> made = values->ADD(nullptr);
    ASSERT_TRUE(made);
    EXPECT_EQ(values->COUNT(), 3);
    EXPECT_EQ(made->NAME(), "");
    // Positions: out of range raises, a key that matches nothing gives nothing.
    EXPECT_THROW(values->Item(L(0)), Error);
    EXPECT_THROW(values->Item(L(4)), Error);
    EXPECT_FALSE(values->Item(S("nothing"), false));
    EXPECT_FALSE(values->REMOVE(S("nothing")));
    // Tabs are significant, a name is never a path.
    values->CREATE("a.b", Variant());
    EXPECT_FALSE(values->EXISTS(S("\ta.b")));
    EXPECT_TRUE(values->EXISTS(S("A.B ")));
}

TEST(KeyedCollection, RemoveSwapsWithTheLast) {
    ref<cls_INIValues> values = cls_INIValues::create();
    for (const char* n : {"A", "B", "C", "D"}) values->CREATE(n, Variant());
    EXPECT_TRUE(values->REMOVE(S("b")));
    EXPECT_EQ(names(values), (std::vector<std::string>{"A", "D", "C"}));
    EXPECT_TRUE(values->REMOVE(L(3)));
    EXPECT_EQ(names(values), (std::vector<std::string>{"A", "D"}));
    EXPECT_THROW(values->REMOVE(L(3)), Error);
    EXPECT_TRUE(values->REMOVE(L(1)));
    EXPECT_TRUE(values->REMOVE(L(1)));
    EXPECT_EQ(values->COUNT(), 0);
    EXPECT_EQ(values->upper_bound(), 0);
}

TEST(KeyedCollection, FirstMatchWinsAcrossRemovalsAtAnySize) {
    // Same checks on a small collection (scanned) and a large one (indexed).
    for (int extra : {0, 100}) {
        ref<cls_INIGroups> groups = cls_INIGroups::create();
        for (int i = 1; i <= 6 + extra; ++i) groups->CREATE(i == 2 || i == 5 ? "X" : "g" + std::to_string(i));
        std::int32_t last = groups->COUNT();
        ref<cls_INIGroup> lastGroup = groups->Item(L(last));
        ref<cls_INIGroup> second = groups->Item(S("x"), false);
        EXPECT_EQ(second.get(), groups->Item(L(2)).get());
        groups->REMOVE(L(2));
        EXPECT_EQ(groups->Item(L(2)).get(), lastGroup.get());
        EXPECT_EQ(groups->Item(S("x"), false).get(), groups->Item(L(5)).get());
        // A group keeps its key when its NAME changes...
        ref<cls_INIGroup> g5 = groups->Item(L(5));
        g5->NAME("Renamed");
        EXPECT_TRUE(groups->EXISTS(S("X")));
        EXPECT_FALSE(groups->EXISTS(S("Renamed")));
        // ...but not when its identifier changes.
        g5->DATA()->identifier(S("NewKey"));
        EXPECT_FALSE(groups->EXISTS(S("X")));
        EXPECT_EQ(groups->Item(S(" newkey "), false).get(), g5.get());
        // Keys that are no text compare as variants.
        groups->ADD(cls_INIGroup::create(), Variant(12.0));
        EXPECT_TRUE(groups->EXISTS(S("12")));
        EXPECT_EQ(groups->Item(Variant(12.0), false).get(), groups->Item(L(groups->COUNT())).get());
        // Removing down to nothing releases the array; adding creates it again.
        while (groups->COUNT() > 0) groups->REMOVE(L(1));
        EXPECT_FALSE(groups->allocated());
        EXPECT_FALSE(groups->EXISTS(S("X")));
        groups->CREATE("again");
        EXPECT_TRUE(groups->allocated());
        EXPECT_EQ(groups->upper_bound(), 1);
    }
}

TEST(KeyedCollection, IndexedLookUpsAgreeWithAScanUnderRandomChanges) {
    // Few names, many repeats: creates, swap-with-last removals and renames
    // in a fixed pseudo-random order; after each step every name must find
    // the first position that a plain scan finds.
    const char* const pool[] = {"alpha", "Beta", "gamma", "delta", "ALPHA "};
    ref<cls_INIValues> values = cls_INIValues::create();
    std::uint32_t x = 12345;
    const auto next = [&] { return x = x * 1103515245u + 12345u, (x >> 16) & 0x7FFF; };
    for (int step = 0; step < 3000; ++step) {
        const std::uint32_t op = next() % 10, n = static_cast<std::uint32_t>(values->COUNT());
        if (op < 6 || n < 20)
            values->CREATE(pool[next() % 5], Variant(step));
        else if (op < 8)
            values->REMOVE(L(static_cast<std::int32_t>(1 + next() % n)));
        else
            values->Item(L(static_cast<std::int32_t>(1 + next() % n)))->NAME(pool[next() % 5]);
        for (const char* name : pool) {
            std::int32_t expected = 0;
            for (std::int32_t i = 1; i <= values->COUNT() && !expected; ++i)
                if (keys_equal(values->Item(L(i))->NAME(), name)) expected = i;
            ref<cls_INIValue> found = values->Item(S(name), false);
            ASSERT_EQ(found ? found.get() : nullptr, expected ? values->Item(L(expected)).get() : nullptr)
                << "step " << step << " name " << name;
        }
    }
}

TEST(KeyedCollection, IndexFollowsNameChangesOfValues) {
    ref<cls_INIValues> values = cls_INIValues::create();
    std::vector<ref<cls_INIValue>> made;
    for (int i = 0; i < 1000; ++i) made.push_back(values->CREATE("k" + std::to_string(i), Variant(i)));
    EXPECT_EQ(values->Item(S("K500"), false).get(), made[500].get());
    made[500]->NAME("moved");
    EXPECT_FALSE(values->EXISTS(S("k500")));
    EXPECT_EQ(values->Item(S("MOVED"), false).get(), made[500].get());
    made[900]->NAME("k1"); // a second k1 after position 2: the first still wins
    EXPECT_EQ(values->Item(S("k1"), false).get(), made[1].get());
    made[1]->NAME("x");
    EXPECT_EQ(values->Item(S("k1"), false).get(), made[900].get());
    values->REMOVE(L(1));
    EXPECT_EQ(values->Item(L(1)).get(), made[999].get());
    EXPECT_EQ(values->Item(S("k999"), false).get(), made[999].get());
    // Replacing the data object of an entry of an enumerations index.
    ref<cls_INIEnums> enums = cls_INIEnums::create();
    for (int i = 0; i < 50; ++i) enums->CREATE("e" + std::to_string(i));
    ref<DataObject> d = DataObject::create();
    d->identifier(S("fresh"));
    enums->Item(L(10))->DATA(d);
    EXPECT_EQ(enums->Item(S("fresh")).get(), enums->Item(L(10)).get());
    EXPECT_FALSE(enums->EXISTS(S("e9")));
}

TEST(KeyedCollection, GroupsCollectionEmptySlotsAndTypeChecks) {
    ref<cls_INIGroups> groups = cls_INIGroups::create();
    EXPECT_EQ(groups->COUNT(), 0);
    EXPECT_FALSE(groups->EXISTS(S("a")));
    EXPECT_THROW(groups->Item(L(1)), Error);
    // ADD of no object keeps an empty slot; giving it an identifier fails.
    EXPECT_FALSE(groups->ADD(nullptr));
    EXPECT_EQ(groups->COUNT(), 1);
    EXPECT_THROW(groups->ADD(nullptr, S("id")), Error);
    EXPECT_EQ(groups->COUNT(), 2);
    EXPECT_THROW(groups->EXISTS(S("a")), Error); // the search reaches an empty slot
    // An entry of the wrong class is refused; the grown slot stays empty.
    ref<cls_INIValues> values = cls_INIValues::create();
    EXPECT_THROW(values->ADD(cls_INIGroup::create()), Error);
    EXPECT_EQ(values->COUNT(), 1);
    // CREATE with no arguments: empty name, sort and key.
    ref<cls_INIGroups> other = cls_INIGroups::create();
    ref<cls_INIGroup> g = other->CREATE();
    EXPECT_EQ(g->NAME(), "");
    EXPECT_TRUE(g->DATA()->identifier().same(S("")));
    // Without a database object every member fails clearly.
    other->DATABASE(nullptr);
    EXPECT_THROW(other->COUNT(), Error);
}

TEST(KeyedCollection, ReplacingTheDatabaseObjectMovesTheBinding) {
    ref<cls_INIValues> a = cls_INIValues::create();
    ref<cls_INIValues> b = cls_INIValues::create();
    a->CREATE("InA", Variant());
    // The old database object of b no longer reaches b.
    ref<DatabaseObject> old = b->DATABASE();
    b->DATABASE(DatabaseObject::create());
    b->CREATE("InB", Variant());
    EXPECT_EQ(old->count(), 0);
    EXPECT_EQ(b->COUNT(), 1);
    EXPECT_EQ(a->COUNT(), 1);
    EXPECT_FALSE(a->EXISTS(S("InB")));
}

TEST(Group, ExistsAndValueRules) {
    ref<cls_INIGroup> g = cls_INIGroup::create();
    EXPECT_FALSE(g->EXISTS("x", true));
    EXPECT_TRUE(g->VALUE("x", Variant(5.0)).same(Variant(5.0)));
    EXPECT_TRUE(g->VALUE("x").is_omitted());
    EXPECT_FALSE(g->values_if_any()); // look-ups create nothing

    g->VALUES()->CREATE("KEY", Variant("own"));
    g->VALUES()->CREATE("Empty", Variant());
    g->CHILDREN()->CREATE("Sub");
    EXPECT_TRUE(g->EXISTS(" Key "));
    EXPECT_TRUE(g->EXISTS(" sub ", false)); // a child group's name counts
    EXPECT_TRUE(g->VALUE("Sub", Variant(1.0)).same(Variant(1.0)));
    EXPECT_TRUE(g->VALUE("empty", Variant(1.0)).is_empty()); // the default is only for missing values
    EXPECT_TRUE(g->VALUE("a.b", Variant(0.0)).same(Variant(0.0)));
}

TEST(Group, RecursiveLookUpOrder) {
    // root: children c1 (subtree without k), c2 (k=2), c3 (k=3)
    ref<cls_INIGroup> root = cls_INIGroup::create();
    ref<cls_INIGroup> c1 = root->CHILDREN()->CREATE("c1");
    c1->CHILDREN()->CREATE("deep")->VALUES()->CREATE("other", Variant());
    root->CHILDREN()->CREATE("c2")->VALUES()->CREATE("k", Variant(2.0));
    root->CHILDREN()->CREATE("c3")->VALUES()->CREATE("k", Variant(3.0));
    EXPECT_TRUE(root->VALUE("k", Variant(), true).same(Variant(2.0)));
    EXPECT_TRUE(root->VALUE("k", Variant(-1.0), false).same(Variant(-1.0)));
    EXPECT_TRUE(root->EXISTS("K", true));
    EXPECT_FALSE(root->EXISTS("K", false));
    // The group's own value comes first.
    root->VALUES()->CREATE("k", Variant(0.0));
    EXPECT_TRUE(root->VALUE("k", Variant(), true).same(Variant(0.0)));

    // A: only a child group named k; B: a value k. VALUE gives the default.
    ref<cls_INIGroup> top = cls_INIGroup::create();
    top->CHILDREN()->CREATE("A")->CHILDREN()->CREATE("k");
    top->CHILDREN()->CREATE("B")->VALUES()->CREATE("k", Variant(9.0));
    EXPECT_TRUE(top->VALUE("k", Variant("dflt"), true).same(Variant("dflt")));
    EXPECT_TRUE(top->EXISTS("k", true));
    // Below the group named k the search goes on inside A's subtree only.
    child_at(child_at(top, 1), 1)->CHILDREN()->CREATE("x")->VALUES()->CREATE("k", Variant(7.0));
    EXPECT_TRUE(top->VALUE("k", Variant("dflt"), true).same(Variant(7.0)));

    // The document searches the whole tree by default.
    ref<cls_INI> doc = cls_INI::create();
    EXPECT_TRUE(doc->VALUE("k").is_omitted());
    doc->ROOT(top);
    EXPECT_TRUE(doc->VALUE("k").same(Variant(7.0)));
    EXPECT_TRUE(doc->VALUE("k", Variant(), false).is_empty());
    doc->ROOT(nullptr);
    EXPECT_TRUE(doc->VALUE("k", Variant(1.0)).same(Variant(1.0)));
    EXPECT_NE(doc->ROOT().get(), top.get());
}

TEST(Group, CyclesAndDeepTreesEndWithoutOverflow) {
    ref<cls_INIGroup> a = cls_INIGroup::create();
    ref<cls_INIGroup> b = a->CHILDREN()->CREATE("b");
    b->CHILDREN()->ADD(a, S("loop")); // a is now its own descendant
    EXPECT_FALSE(a->EXISTS("missing", true));
    EXPECT_TRUE(a->VALUE("missing", Variant(1.0), true).same(Variant(1.0)));
    b->VALUES()->CREATE("here", Variant(3.0));
    EXPECT_TRUE(a->VALUE("here", Variant(), true).same(Variant(3.0)));
    b->CHILDREN()->REMOVE(S("loop")); // break the cycle so both are released

    ref<cls_INIGroup> root = cls_INIGroup::create();
    ref<cls_INIGroup> g = root;
    for (int i = 0; i < 100000; ++i) g = g->CHILDREN()->CREATE("n");
    g->VALUES()->CREATE("leaf", Variant(42.0));
    EXPECT_TRUE(root->VALUE("leaf", Variant(), true).same(Variant(42.0)));
    EXPECT_TRUE(root->EXISTS("LEAF", true));
}

// Groups: EXISTS and VALUE, the order of the recursive look-ups, and
// cycles and deep trees that must end without overflowing the stack.
#include <gtest/gtest.h>

#include "tests/support/helpers.hpp"

using namespace tr47;
using tr47::test::child_at;
using tr47::test::S;

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

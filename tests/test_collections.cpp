// The three keyed collections (values, groups, enumerations): keys,
// positions, removal, the key index, and the database object that routes a
// collection's members to its storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "model/key_table.hpp"
#include "tests/support/helpers.hpp"

using namespace tr47;
using tr47::test::Items;
using tr47::test::L;
using tr47::test::S;

namespace {
std::vector<std::string> names(const ref<cls_INIValues>& values) {
    std::vector<std::string> out;
    for (std::int32_t i = 1; i <= values->COUNT(); ++i) out.push_back(values->Item(L(i))->NAME());
    return out;
}
} // namespace

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

TEST(KeyedCollection, KeyTableAgreesWithAMultimapUnderInsertsMovesAndRemovals) {
    // Hashes from a small range collide in the table's low bits and share
    // runs, so removals must shift entries back without cutting a run short.
    detail::KeyTable table;
    std::multimap<std::uint32_t, std::int32_t> expected;
    std::uint32_t x = 777;
    const auto next = [&] { return x = x * 1103515245u + 12345u, (x >> 16) & 0x7FFF; };
    std::int32_t nextPosition = 1;
    for (int step = 0; step < 20000; ++step) {
        const std::uint32_t hash = (next() % 40) * 64 + next() % 3;
        const std::uint32_t op = next() % 10;
        if (op < 5 || expected.empty()) {
            table.insert(hash, nextPosition);
            expected.emplace(hash, nextPosition++);
        } else {
            auto it = std::next(expected.begin(), static_cast<long>(next() % expected.size()));
            const std::int32_t to = op < 8 ? 0 : nextPosition++;
            ASSERT_TRUE(table.replace(it->first, it->second, to)) << "step " << step;
            const std::uint32_t h = it->first;
            expected.erase(it);
            if (to != 0) expected.emplace(h, to);
        }
        ASSERT_FALSE(table.replace(hash, -5, 0));
        ASSERT_EQ(table.size(), expected.size());
        for (std::uint32_t probe : {hash, hash + 64, hash ^ 1u}) {
            std::vector<std::int32_t> got, want;
            table.for_each_candidate(probe, [&](std::int32_t p) { got.push_back(p); });
            for (auto [it, end] = expected.equal_range(probe); it != end; ++it) want.push_back(it->second);
            std::sort(got.begin(), got.end());
            std::sort(want.begin(), want.end());
            ASSERT_EQ(got, want) << "step " << step << " hash " << probe;
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
    EXPECT_FALSE(other->DATABASE()); // Nothing stands: no new one is made on the next ask
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

namespace {
// A collection stand-in that records the events it receives.
struct FakeCollection : DatabaseEvents {
    std::vector<std::string> keys;
    std::vector<std::string> log;
    void DatabaseClear() override { keys.clear(); }
    void DatabaseCount(std::int32_t& ret) override { ret = static_cast<std::int32_t>(keys.size()); }
    void DatabaseImport(const ref<tmp_Data>&, const Variant& ID) override {
        keys.push_back(ID.is_error() ? "" : ID.to_text());
    }
    void DatabaseItem(ref<tmp_Data>&, std::int32_t) override {}
    void DatabaseItemObj(ref<Object>& rRet, std::int32_t pIndex) override {
        log.push_back("item " + std::to_string(pIndex));
        rRet = cls_INIValue::create();
    }
    void DatabaseRemove(std::int32_t ID) override {
        log.push_back("remove " + std::to_string(ID));
        keys.erase(keys.begin() + (ID - 1));
    }
    void DatabaseSearch(std::int32_t& ret, const Variant& ID) override {
        log.push_back("search " + ID.to_text());
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys_equal(keys[i], ID.to_text())) {
                ret = static_cast<std::int32_t>(i + 1);
                return;
            }
    }
};
} // namespace

TEST(DatabaseObject, RoutesPositionsAndKeysThroughTheEvents) {
    FakeCollection fake;
    ref<DatabaseObject> db = DatabaseObject::create();
    EXPECT_EQ(db->count(), 0); // preset 0 with no collection bound
    db->bind(&fake);
    db->add(nullptr, Variant("A"));
    db->add(nullptr, Variant("B"));
    db->add(nullptr, Variant::omitted());
    EXPECT_EQ(db->count(), 3);
    EXPECT_TRUE(db->exists(Variant(" b ")));
    EXPECT_FALSE(db->exists(Variant("C")));
    EXPECT_TRUE(db->exists(Variant(std::int32_t{3})));
    EXPECT_FALSE(db->exists(Variant(std::int32_t{4})));
    fake.log.clear();
    // A long integer is a position under either flag; a text is a key.
    db->item(Variant(std::int32_t{2}), false);
    db->item(Variant(std::int32_t{2}), true);
    db->item(Variant(2.0), true);
    db->item(Variant("a"), true);
    EXPECT_EQ(fake.log, (Items{"item 2", "item 2", "item 2", "search a", "item 1"}));
    EXPECT_FALSE(db->item(Variant("zzz"), false));
    EXPECT_FALSE(db->remove(Variant("zzz"), false));
    EXPECT_TRUE(db->remove(Variant("A"), false));
    EXPECT_EQ(fake.keys, (Items{"B", ""}));
    db->clear();
    EXPECT_EQ(db->count(), 0);
    db->unbind(&fake);
}

// The objects under the model classes: reference counting, and the data
// object that hands its events to every sink bound to it.
#include <gtest/gtest.h>

#include "tests/support/helpers.hpp"

using namespace tr47;

TEST(ReferenceCounting, ParentsHoldChildrenAndReleaseThem) {
    const auto before = Object::live_objects();
    {
        ref<cls_INIGroup> g = cls_INIGroup::create();
        ref<cls_INIValue> v = g->VALUES()->CREATE("A", Variant(1.0));
        EXPECT_EQ(v->ref_count(), 2u); // the slot array and us
        ref<cls_INIValues> values = g->VALUES();
        g.reset();
        // The collection outlives its group while we hold it.
        EXPECT_EQ(values->COUNT(), 1);
        EXPECT_EQ(values->Item(Variant(1))->NAME(), "A");
    }
    EXPECT_EQ(Object::live_objects(), before);
}

TEST(ReferenceCounting, DeepChainsReleaseWithoutRecursion) {
    const auto before = Object::live_objects();
    {
        ref<cls_INIGroup> root = cls_INIGroup::create();
        ref<cls_INIGroup> g = root;
        for (int i = 0; i < 200000; ++i) g = g->CHILDREN()->CREATE("x");
    }
    EXPECT_EQ(Object::live_objects(), before);
}

namespace {
struct RecordingSink : DataEvents {
    std::string name;
    std::vector<std::string>* log;
    RecordingSink(std::string n, std::vector<std::string>* l) : name(std::move(n)), log(l) {}
    void DataCopy(const ref<tmp_Data>&, bool&) override {}
    void DataPACK(std::string& p) override {
        log->push_back(name);
        p += name;
    }
    void DataUnpack(std::string&) override {}
    void DataStore(FileObject&) override {}
    void DataRead(FileObject&) override {}
    void DataSpawn(ref<tmp_Data>&) override {}
};
} // namespace

TEST(DataObject, EverySinkGetsTheEventsInBindingOrder) {
    std::vector<std::string> log;
    RecordingSink a("a", &log), b("b", &log), c("c", &log);
    ref<DataObject> d = DataObject::create();
    EXPECT_FALSE(d->bound());
    EXPECT_EQ(d->pack(), "");
    d->bind(&a);
    d->bind(&b);
    d->bind(&c);
    EXPECT_EQ(d->pack(), "abc");
    d->unbind(&a); // the first holder goes: the next one takes its place
    EXPECT_EQ(d->pack(), "bc");
    d->bind(&a);
    d->unbind(&c);
    EXPECT_EQ(d->pack(), "ba");
    d->unbind(&b);
    d->unbind(&b); // not bound any more: nothing happens
    EXPECT_EQ(d->pack(), "a");
    d->unbind(&a);
    EXPECT_FALSE(d->bound());
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c", "b", "c", "b", "a", "a"}));
}

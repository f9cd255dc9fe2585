// Threads: documents of different threads at the same time, and many
// threads reading one document. Built into its own program so that CI can
// run it under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "corelib/text_lines.hpp"
#include "tests/support/helpers.hpp"

using namespace tr47;
using namespace tr47::test;

namespace {

// A name with a number in it; 6 is no name character.
std::string nm(const char* prefix, int n) {
    std::string s = prefix + std::to_string(n);
    for (char& c : s)
        if (c == '6') c = 'S';
    return s;
}

// Groups wide enough for the key index, nested a few levels, with every
// kind of value and enumerations.
std::string wide_ini(int groups, int values) {
    std::string t = "ENUM Modes,(Off,0,On,1)\nTop=1\nWhen=2026-12-07\n";
    for (int g = 0; g < groups; ++g) {
        t += "BEGIN Section, " + nm("G", g) + "\n";
        for (int v = 0; v < values; ++v)
            t +=
                nm("V", v) + "=" + (v % 3 ? std::to_string(g * 1000 + v) : "\"text " + std::to_string(v) + "\"") + "\n";
        t += "Mode=ENUM(Modes),On\n BEGIN Inner\n  " + nm("Deep", g) + "=" + std::to_string(g) + "\n END\nEND\n";
    }
    return t;
}

// Counts a failed check (or one that threw) on any thread.
#define CHECK_ON_THREAD(failures, ...)                          \
    do {                                                        \
        bool ok_ = false;                                       \
        try {                                                   \
            ok_ = (__VA_ARGS__);                                \
        } catch (const std::exception& e_) {                    \
            (void)e_;                                           \
        }                                                       \
        if (!ok_) {                                             \
            ++(failures);                                       \
            std::fprintf(stderr, "line %d failed\n", __LINE__); \
        }                                                       \
    } while (0)

#ifndef THREADS_N
#define THREADS_N 4
#endif
template <class F>
void on_threads(int n, F&& f) {
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) threads.emplace_back([&f, i] { f(i); });
    for (std::thread& t : threads) t.join();
}

} // namespace

TEST(Threads, SeparateDocumentsOnSeparateThreads) {
    TempDir dir;
    const std::string ini = dir.write("wide.ini", wide_ini(40, 30) + "Broken line without equals\n");
    MessageCapture capture; // set before the threads start: messages reach it from all of them
    const auto before = Object::live_objects();
    std::atomic<int> failures{0};
    on_threads(THREADS_N, [&](int t) {
        for (int round = 0; round < 3; ++round) {
            ref<cls_INI> doc = cls_INI::create();
            doc->IMPORT(ini); // one message: the broken line
            CHECK_ON_THREAD(failures,
                            doc->VALUE("V29").same(Variant(std::int32_t{29})) || doc->VALUE("V29").is_double());
            CHECK_ON_THREAD(failures, doc->VALUE(nm("Deep", 17)).to_long() == 17);
            // Writes: renamed values and new groups change keys of this
            // thread's collections only.
            ref<cls_INIGroups> children = doc->ROOT()->CHILDREN();
            ref<cls_INIGroup> g = children->Item(Variant("G3"), false);
            CHECK_ON_THREAD(failures, g != nullptr);
            if (!g) continue;
            g->VALUES()->Item(Variant("V1"), false)->NAME(nm("Renamed", t));
            CHECK_ON_THREAD(failures, g->VALUE(nm("Renamed", t)).to_long() == 3001);
            children->CREATE(nm("Extra", t))->VALUES()->CREATE("Mine", Variant(std::int32_t{t}));
            const std::string file = dir.file("t" + std::to_string(t) + ".tr47");
            CHECK_ON_THREAD(failures, doc->SAVE(file, round % 2 ? "pw" : ""));
            ref<cls_INI> back = cls_INI::create();
            CHECK_ON_THREAD(failures, back->LOAD(file, round % 2 ? "pw" : ""));
            CHECK_ON_THREAD(failures, back->VALUE("Mine").to_long() == t);
            CHECK_ON_THREAD(failures, back->VALUE(nm("Renamed", t)).to_long() == 3001);
            CHECK_ON_THREAD(failures, back->ROOT()->CHILDREN()->COUNT() == 41);
        }
    });
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Object::live_objects(), before);
    EXPECT_EQ(capture.messages.size(), 3u * THREADS_N);
}

TEST(Threads, ManyReadersOfOneDocument) {
    TempDir dir;
    for (bool loaded : {false, true}) {
        ref<cls_INI> doc = cls_INI::create();
        ASSERT_TRUE(doc->IMPORT(dir.write("wide.ini", wide_ini(60, 40))));
        if (loaded) {
            // Loaded documents keep their groups packed until first reached.
            ASSERT_TRUE(doc->SAVE(dir.file("wide.tr47")));
            doc = cls_INI::create();
            ASSERT_TRUE(doc->LOAD(dir.file("wide.tr47")));
        }
        std::atomic<int> failures{0};
        on_threads(4, [&](int t) {
            for (int round = 0; round < 20; ++round) {
                const int g = (round * 7 + t * 13) % 60;
                CHECK_ON_THREAD(failures, doc->VALUE(nm("Deep", g)).to_long() == g);
                CHECK_ON_THREAD(failures, doc->ROOT()->EXISTS(nm("G", g), false));
                CHECK_ON_THREAD(failures, doc->ROOT()->EXISTS(nm("Deep", g), true));
                ref<cls_INIGroup> group = doc->ROOT()->CHILDREN()->Item(Variant(nm("g", g)), false);
                CHECK_ON_THREAD(failures, group && group->NAME() == nm("G", g));
                if (!group) continue;
                CHECK_ON_THREAD(failures, group->VALUES()->COUNT() == 41);
                const int v = 1 + round % 39;
                CHECK_ON_THREAD(failures, v % 3 == 0 || group->VALUE(nm("V", v)).to_long() == g * 1000 + v);
                CHECK_ON_THREAD(failures, group->VALUES()->Item(Variant("Mode"), false)->CONTENT().to_text() == "On");
                CHECK_ON_THREAD(failures, doc->ENUMS()->Item(Variant("Modes"))->VALUES()->COUNT() == 2);
                // SAVE reads too: a group being made real meanwhile must
                // still be stored whole.
                if (t == 0 && round % 5 == 0) {
                    const std::string copy = dir.file("copy" + std::to_string(round) + ".tr47");
                    CHECK_ON_THREAD(failures, doc->SAVE(copy));
                    ref<cls_INI> back = cls_INI::create();
                    CHECK_ON_THREAD(failures, back->LOAD(copy));
                    ref<cls_INIGroups> groups = back->ROOT()->CHILDREN();
                    CHECK_ON_THREAD(failures, groups->COUNT() == 60);
                    for (int k = 1; k <= groups->COUNT(); ++k)
                        CHECK_ON_THREAD(failures, groups->Item(Variant(k), true)->VALUES()->COUNT() == 41);
                }
                // The same entry is the same object on every thread.
                CHECK_ON_THREAD(failures, group->VALUES()->Item(Variant(1), true).get() ==
                                              group->VALUES()->Item(Variant("V0"), false).get());
            }
        });
        EXPECT_EQ(failures.load(), 0) << (loaded ? "loaded" : "imported");
    }
}

TEST(Threads, RecursiveLookUpsWhileOtherReadersMakeGroupsReal) {
    // Look-ups read packed groups in place while other threads make the
    // same groups real; a chain deeper than packed groups nest puts real
    // groups between packed ones.
    std::string text = wide_ini(30, 10);
    for (int i = 0; i < 400; ++i) text += "BEGIN Chain\n";
    text += "Bottom=7\n";
    for (int i = 0; i < 400; ++i) text += "END\n";
    TempDir dir;
    const std::string file = dir.write("chain.ini", text);
    for (int round = 0; round < 4; ++round) {
        ref<cls_INI> doc = cls_INI::create();
        ASSERT_TRUE(doc->IMPORT(file));
        std::atomic<int> failures{0};
        on_threads(4, [&](int t) {
            if (t % 2) {
                // Every group, made real by reaching it.
                std::vector<ref<cls_INIGroup>> todo{doc->ROOT()};
                while (!todo.empty()) {
                    ref<cls_INIGroup> g = todo.back();
                    todo.pop_back();
                    ref<cls_INIGroups> children = g->CHILDREN();
                    for (std::int32_t i = children->COUNT(); i >= 1; --i)
                        todo.push_back(children->Item(Variant(i), true));
                }
            }
            for (int k = 0; k < 5; ++k) {
                const int g = (k * 11 + t * 7) % 30;
                CHECK_ON_THREAD(failures, doc->VALUE("Bottom", Variant("none"), true).to_long() == 7);
                CHECK_ON_THREAD(failures, doc->VALUE(nm("Deep", g)).to_long() == g);
                CHECK_ON_THREAD(failures, !doc->ROOT()->EXISTS("Nowhere", true));
            }
        });
        EXPECT_EQ(failures.load(), 0) << "round " << round;
    }
}

// A collection makes its data and database objects when first asked for:
// threads asking at once all get the same one, and look-ups that run
// meanwhile (through the rules without a database object, or through the
// new one) answer alike.
TEST(Threads, ValuesCollectionMadeOnceWhileOthersReadPendingValues) {
    // A group of few values made real keeps them pending and VALUE reads
    // them in place; a thread asking for the collection meanwhile makes it
    // once, from copies, and every thread gets the same one.
    for (int round = 0; round < 20; ++round) {
        Imported im = import_text(wide_ini(3, 8));
        ASSERT_TRUE(im.result);
        ref<cls_INIGroup> g = im.doc->ROOT()->CHILDREN()->Item(Variant(nm("G", 1)));
        ASSERT_TRUE(g);
        const Variant mode = g->VALUE("Mode"); // the enumeration's value, an object record
        ASSERT_FALSE(mode.is_error());
        std::vector<cls_INIValues*> made(THREADS_N);
        std::atomic<int> failures{0};
        on_threads(THREADS_N, [&](int t) {
            for (int i = 0; i < 40; ++i) {
                const int v = (i * 3 + t) % 8;
                if (i == t * 4) made[static_cast<std::size_t>(t)] = g->VALUES().get();
                CHECK_ON_THREAD(failures, g->VALUE(nm("V", v)).to_text() ==
                                              (v % 3 ? std::to_string(1000 + v) : "text " + std::to_string(v)));
                CHECK_ON_THREAD(failures, g->EXISTS("mode") && g->VALUE("Mode").same(mode));
            }
        });
        EXPECT_EQ(failures.load(), 0);
        ref<cls_INIValues> values = g->VALUES();
        for (cls_INIValues* m : made) EXPECT_EQ(m, values.get());
        ASSERT_EQ(values->COUNT(), 9);
        for (int v = 0; v < 8; ++v) EXPECT_EQ(values->Item(Variant(v + 1))->NAME(), nm("V", v));
        EXPECT_TRUE(values->Item(Variant(9))->ENUMREF());
    }
}

TEST(Threads, LoadedGroupsAnswerFromTheirBytesWhileOthersMakeThemAndTheirCollections) {
    // After LOAD, groups are made real by whichever thread reaches them
    // first and read their values in the file's bytes (groups of 40 through
    // a key index of them, groups of 5 by a scan); a thread asking for the
    // collection meanwhile makes it once.
    TempDir dir;
    for (int values : {5, 40}) {
        Imported im = import_text(wide_ini(3, values));
        ASSERT_TRUE(im.result);
        ASSERT_TRUE(im.doc->SAVE(dir.file("t.tr47")));
        for (int round = 0; round < 10; ++round) {
            ref<cls_INI> doc = cls_INI::create();
            ASSERT_TRUE(doc->LOAD(dir.file("t.tr47")));
            std::vector<cls_INIValues*> made(THREADS_N);
            std::atomic<int> failures{0};
            on_threads(THREADS_N, [&](int t) {
                for (int i = 0; i < 3 * values; ++i) {
                    const int g = (i + t) % 3, v = (i * 7 + t) % values;
                    ref<cls_INIGroup> group = doc->ROOT()->CHILDREN()->Item(Variant(nm("G", g)));
                    if (i == t * 2)
                        made[static_cast<std::size_t>(t)] =
                            doc->ROOT()->CHILDREN()->Item(Variant(nm("G", 1)))->VALUES().get();
                    const std::string want = v % 3 ? std::to_string(g * 1000 + v) : "text " + std::to_string(v);
                    CHECK_ON_THREAD(failures, group->VALUE(nm("v", v)).to_text() == want);
                    CHECK_ON_THREAD(failures, !group->EXISTS("Missing") && group->EXISTS("MODE"));
                    CHECK_ON_THREAD(failures,
                                    doc->ROOT()->VALUE(nm("Deep", g), Variant(), true).to_text() == std::to_string(g));
                }
            });
            EXPECT_EQ(failures.load(), 0);
            ref<cls_INIValues> collection = doc->ROOT()->CHILDREN()->Item(Variant(nm("G", 1)))->VALUES();
            for (cls_INIValues* m : made) EXPECT_EQ(m, collection.get());
            ASSERT_EQ(collection->COUNT(), values + 1);
            EXPECT_EQ(collection->Item(Variant(values))->NAME(), nm("V", values - 1));
        }
    }
}

TEST(Threads, LargeFilesAreCheckedOnTwoThreadsWhileTheirChecksumIsComputed) {
    // A file of 4 MiB or more: LOAD checks its groups on this thread and on
    // the checksum's, then reads them unchecked (a broken one failing it is
    // in the load tests).
    std::string text;
    for (int g = 0; g < 40000; ++g)
        text += "BEGIN " + nm("G", g) + "\n  Value=\"" + std::string(60, 'v') + "\"\n  Number=" + std::to_string(g) +
                "\nEND\n";
    Imported im = import_text(text);
    ASSERT_TRUE(im.result);
    TempDir dir;
    ASSERT_TRUE(im.doc->SAVE(dir.file("large.tr47")));
    ASSERT_GT(read_file(dir.file("large.tr47")).size(), std::size_t{4} << 20);
    for (int round = 0; round < 3; ++round) {
        ref<cls_INI> doc = cls_INI::create();
        ASSERT_TRUE(doc->LOAD(dir.file("large.tr47")));
        EXPECT_EQ(doc->ROOT()->CHILDREN()->COUNT(), 40000);
        EXPECT_EQ(doc->ROOT()->CHILDREN()->Item(Variant(nm("G", 39999)))->VALUE("Number").to_double(), 39999.0);
    }
}

TEST(Threads, TextFilesReadAheadImportAsWhenReadOnOneThread) {
    // Lines read ahead in small batches on a thread of their own, by
    // several imports at once: the same document and the same messages,
    // line numbers included, as an import that reads its own lines.
    std::string text;
    for (int g = 0; g < 300; ++g) {
        text += wide_ini(1, 12);
        if (g % 7 == 0) text += "Broken line without equals\n";
        if (g % 5 == 0) text += "List=(a,\n b)\nJoined=a +\nb\n";
    }
    const detail::TextLineSettings saved = detail::text_line_settings();
    detail::TextLineSettings one = saved;
    one.readAheadFrom = UINT64_MAX;
    detail::set_text_line_settings(one);
    TempDir dir;
    const Imported plain = import_text(text);
    ASSERT_TRUE(plain.doc->SAVE(dir.file("plain.tr47")));
    const std::string expected = read_file(dir.file("plain.tr47"));
    ASSERT_FALSE(plain.messages.empty());

    detail::TextLineSettings ahead = saved;
    ahead.readAheadFrom = 0;
    ahead.batchBytes = 512;
    ahead.evenOnOneCore = true;
    detail::set_text_line_settings(ahead);
    const std::string path = dir.write("input.ini", text);
    std::atomic<int> failures{0};
    on_threads(THREADS_N, [&](int i) {
        ref<cls_INI> doc = cls_INI::create();
        doc->IMPORT(path, false);
        const std::string out = dir.file("ahead" + std::to_string(i) + ".tr47");
        CHECK_ON_THREAD(failures, doc->SAVE(out) && read_file(out) == expected);
    });
    detail::set_text_line_settings(saved);
    EXPECT_EQ(failures.load(), 0);
    // Messages go to one sink for all threads: compare one import's.
    MessageCapture capture;
    detail::set_text_line_settings(ahead);
    cls_INI::create()->IMPORT(path, true);
    detail::set_text_line_settings(saved);
    EXPECT_EQ(capture.messages, plain.messages);
}

TEST(Threads, DataAndDatabaseObjectsMadeOnceWhileOthersLookUp) {
    for (int round = 0; round < 20; ++round) {
        Imported im = import_text(wide_ini(4, 40));
        ASSERT_TRUE(im.result);
        ref<cls_INIGroup> g = im.doc->ROOT()->CHILDREN()->Item(Variant(nm("G", 2)));
        ASSERT_TRUE(g);
        ref<cls_INIValues> values = g->VALUES();
        ref<cls_INIGroups> children = g->CHILDREN();
        std::vector<DataObject*> data(THREADS_N);
        std::vector<DatabaseObject*> databases(THREADS_N);
        std::atomic<int> failures{0};
        on_threads(THREADS_N, [&](int t) {
            for (int i = 0; i < 40; ++i) {
                const int v = (i * 7 + t) % 40;
                if (i == t * 5) {
                    data[static_cast<std::size_t>(t)] = values->DATA().get();
                    databases[static_cast<std::size_t>(t)] =
                        t % 2 ? values->DATABASE().get() : children->DATABASE().get();
                }
                CHECK_ON_THREAD(failures, values->EXISTS(Variant(nm("V", v))));
                CHECK_ON_THREAD(failures, g->VALUE(nm("V", v)).to_text() ==
                                              (v % 3 ? std::to_string(2000 + v) : "text " + std::to_string(v)));
                CHECK_ON_THREAD(failures, children->COUNT() == 1);
            }
        });
        EXPECT_EQ(failures.load(), 0);
        for (int t = 0; t < THREADS_N; ++t) {
            EXPECT_EQ(data[static_cast<std::size_t>(t)], values->DATA().get());
            EXPECT_EQ(databases[static_cast<std::size_t>(t)],
                      t % 2 ? values->DATABASE().get() : children->DATABASE().get());
        }
        // The database object made on the way answers for its collection.
        EXPECT_EQ(values->DATABASE()->count(), values->COUNT());
        EXPECT_TRUE(values->DATABASE()->exists(Variant(nm("V", 39))));
    }
}

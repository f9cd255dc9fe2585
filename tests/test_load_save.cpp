// LOAD and SAVE: passwords, damaged and cut files, what a failed SAVE leaves
// behind, the permissions of saved files, deep trees, and repeated round
// trips that must neither drift nor leak.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <deque>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "corelib/stored_file.hpp"
#include "model/packed.hpp"
#include "tests/support/helpers.hpp"
#include "tests/support/persistence.hpp"

using namespace tr47;
using tr47::test::dump;
using tr47::test::FastPasswords;
using tr47::test::import_text;
using tr47::test::kSample;
using tr47::test::read_file;
using tr47::test::sample_doc;
using tr47::test::spawn;
using tr47::test::TempDir;
using tr47::test::wait_for;

TEST(LoadSave, PasswordsDamageAndTruncation) {
    FastPasswords fast;
    TempDir dir;
    ref<cls_INI> src = sample_doc();
    const std::string plainPath = dir.file("plain.tr47"), securePath = dir.file("secure.tr47");
    ASSERT_TRUE(src->SAVE(plainPath));
    ASSERT_TRUE(src->SAVE(securePath, "geheim"));
    const std::string secureBytes = read_file(securePath);
    EXPECT_EQ(secureBytes.find("Arial"), std::string::npos); // encrypted
    EXPECT_EQ(secureBytes.find("geheim"), std::string::npos);
    EXPECT_NE(read_file(plainPath).find("Arial"), std::string::npos);

    ref<cls_INI> back = cls_INI::create();
    ASSERT_TRUE(back->LOAD(securePath, "geheim"));
    EXPECT_EQ(dump(back), dump(src));

    // Wrong, missing or unexpected passwords change nothing.
    ref<cls_INI> target = cls_INI::create();
    target->VERSION("untouched");
    const std::string untouched = dump(target);
    EXPECT_FALSE(target->LOAD(securePath, "Geheim"));
    EXPECT_FALSE(target->LOAD(securePath));
    EXPECT_FALSE(target->LOAD(plainPath, "geheim"));
    EXPECT_FALSE(target->LOAD(dir.file("missing.tr47")));
    EXPECT_FALSE(target->LOAD(dir.path().string()));
    EXPECT_EQ(dump(target), untouched);

    // Files of earlier versions derive their key in one lane and are still
    // read; new ones use four. The protection byte is part of what is
    // checked.
    detail::set_password_lanes(1);
    ASSERT_TRUE(src->SAVE(dir.file("one-lane.tr47"), "geheim"));
    detail::set_password_lanes(4);
    const std::string oneLane = read_file(dir.file("one-lane.tr47"));
    EXPECT_EQ(oneLane[10], '\1');
    EXPECT_EQ(secureBytes[10], '\2');
    ref<cls_INI> old = cls_INI::create();
    ASSERT_TRUE(old->LOAD(dir.file("one-lane.tr47"), "geheim"));
    EXPECT_EQ(dump(old), dump(src));
    for (std::string swapped : {oneLane, secureBytes}) {
        swapped[10] = static_cast<char>(swapped[10] ^ 3);
        EXPECT_FALSE(target->LOAD(dir.write("swapped.tr47", swapped), "geheim"));
    }
    EXPECT_EQ(dump(target), untouched);

    // Every flipped byte and every truncation is detected.
    for (const std::string* path : {&plainPath, &securePath}) {
        const std::string bytes = read_file(*path);
        const std::string damaged = dir.file("damaged.tr47");
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            std::string b = bytes;
            b[i] = static_cast<char>(b[i] ^ 0x20);
            dir.write("damaged.tr47", b);
            EXPECT_FALSE(target->LOAD(damaged, path == &securePath ? "geheim" : "")) << "flip at " << i;
        }
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            dir.write("damaged.tr47", bytes.substr(0, n));
            EXPECT_FALSE(target->LOAD(damaged, path == &securePath ? "geheim" : "")) << "cut at " << n;
        }
        EXPECT_EQ(dump(target), untouched);
    }
}

namespace {
// A stored groups collection of `groups` groups in spans, each with one
// value; `broken` adds a group that announces five values and stores none.
void write_groups_file(const std::string& path, const std::string& password, int groups, bool broken) {
    ref<ReaderObject> out = ReaderObject::create();
    ASSERT_TRUE(out->open(path, 2, password, true, true));
    auto collection_head = [&](std::int32_t n) {
        out->write_value(Variant("1.0"));
        out->write_value(Variant());
        out->write_value(Variant(n));
    };
    collection_head(groups + (broken ? 1 : 0));
    for (int g = 0; g < groups; ++g) {
        const std::size_t mark = out->begin_span();
        const std::string name = "Group" + std::to_string(g);
        for (const std::string& t : {std::string("1.0"), name, std::string(), name, std::string()})
            out->write_value(Variant(t));
        collection_head(1);
        for (const Variant& v :
             {Variant("1.0"), Variant("Text"), Variant("Text"), Variant(8), Variant(std::string(60, 'x')), Variant("")})
            out->write_value(v);
        collection_head(0);
        out->end_span(mark);
    }
    if (broken) {
        const std::size_t mark = out->begin_span();
        for (const char* t : {"1.0", "G", "", "G", ""}) out->write_value(Variant(t));
        collection_head(5); // five values announced, none stored
        out->end_span(mark);
    }
    out->close();
}
} // namespace

TEST(LoadSave, LargeFilesAreCheckedOnTwoThreadsWithTheSameOutcome) {
    // Files of 4 MiB and more have their structure checked on two threads
    // (while the checksum is computed, or while they are decrypted); small
    // ones while being read. Both must give the same results: a good file
    // loads, a damaged one changes nothing, one with a broken group inside
    // (and a right checksum) fails after the groups before it.
    FastPasswords fast;
    TempDir dir;
    for (const std::string password : {"", "geheim"})
        for (int groups : {50, 60000}) {
            SCOPED_TRACE(groups);
            SCOPED_TRACE(password);
            const std::string good = dir.file("good.tr47"), bad = dir.file("bad.tr47");
            write_groups_file(good, password, groups, false);
            write_groups_file(bad, password, groups, true);
            ref<cls_INIGroups> loaded = cls_INIGroups::create();
            ASSERT_TRUE(loaded->LOAD(good, password));
            ASSERT_EQ(loaded->COUNT(), groups);
            EXPECT_EQ(loaded->Item(Variant(groups))->VALUE("text").to_text(), std::string(60, 'x'));

            ref<cls_INIGroups> failed = cls_INIGroups::create();
            EXPECT_FALSE(failed->LOAD(bad, password));
            EXPECT_EQ(failed->COUNT(), groups); // the groups before the broken one

            std::string bytes = read_file(good);
            bytes[bytes.size() / 2] ^= 0x20;
            dir.write("damaged.tr47", bytes);
            EXPECT_FALSE(loaded->LOAD(dir.file("damaged.tr47"), password));
            EXPECT_EQ(loaded->COUNT(), groups); // unchanged
        }
}

TEST(LoadSave, PayloadChecksListSpansOnlyOnceTheyAreWhollyReadable) {
    // The payload becomes readable in steps (as it is hashed or decrypted)
    // while another thread checks the spans listed so far. Each step here
    // hands over a copy in which the bytes not yet readable are garbage: a
    // span listed before its last byte is readable fails the check. A good
    // payload passes in steps of any size, a broken one never does, and a
    // stopped check fails without a hang.
    TempDir dir;
    const std::string good = dir.file("good.tr47"), bad = dir.file("bad.tr47");
    write_groups_file(good, "", 300, false);
    write_groups_file(bad, "", 300, true);
    // An unprotected file: a 12-byte head, the payload's length (8 bytes),
    // the payload, its 32-byte digest.
    auto payload_of = [](const std::string& file) {
        std::uint64_t n = 0;
        for (int i = 0; i < 8; ++i) n |= std::uint64_t(static_cast<unsigned char>(file[12 + i])) << (8 * i);
        return file.substr(20, n);
    };
    const std::string goodPayload = payload_of(read_file(good)), badPayload = payload_of(read_file(bad));
    ASSERT_GT(goodPayload.size(), 30000u);
    for (const std::string* payload : {&goodPayload, &badPayload})
        for (std::size_t step : {std::size_t{1} << 20, std::size_t{4096}, std::size_t{997}, std::size_t{97}}) {
            SCOPED_TRACE(step);
            std::deque<std::string> shown; // every copy stays: listed spans point into it
            detail::StoredPayloadCheck check;
            std::thread checker([&] { check.work(); });
            for (std::size_t readable = 0; readable < payload->size();) {
                readable = std::min(payload->size(), readable + step);
                shown.push_back(payload->substr(0, readable) + std::string(payload->size() - readable, '\xFF'));
                check.list(shown.back(), readable);
            }
            check.work();
            checker.join();
            EXPECT_EQ(check.passed(), payload == &goodPayload);
        }
    detail::StoredPayloadCheck stopped;
    std::thread waiting([&] { stopped.work(); });
    stopped.list(goodPayload, goodPayload.size() / 2);
    stopped.stop();
    waiting.join();
    EXPECT_FALSE(stopped.passed());
}

TEST(LoadSave, SaveNeverDestroysThePreviousFile) {
    TempDir dir;
    ref<cls_INI> doc = sample_doc();
    const std::string path = dir.file("keep.tr47");
    ASSERT_TRUE(doc->SAVE(path));
    const std::string good = read_file(path);
    EXPECT_FALSE(doc->SAVE(dir.file("no/such/folder/x.tr47")));
    EXPECT_FALSE(doc->SAVE(dir.path().string())); // a folder is no file
    EXPECT_TRUE(std::filesystem::is_directory(dir.path()));

    // A file-size limit makes the write fail half-way: the old file stays.
    ref<cls_INIGroup> big = doc->ROOT()->CHILDREN()->CREATE("Big");
    for (int i = 0; i < 20000; ++i) big->VALUES()->CREATE("v" + std::to_string(i), Variant(std::string(50, 'x')));
    pid_t pid = spawn([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{static_cast<rlim_t>(good.size() + 1000), static_cast<rlim_t>(good.size() + 1000)};
        ::setrlimit(RLIMIT_FSIZE, &lim);
        return doc->SAVE(path) ? 1 : 0;
    });
    ASSERT_GE(pid, 0);
    EXPECT_EQ(wait_for(pid), 0) << "SAVE over the limit did not return false";
    EXPECT_EQ(read_file(path), good);
    std::size_t leftovers = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) leftovers += e.path().filename() != "keep.tr47";
    EXPECT_EQ(leftovers, 0u); // the temporary file is removed
    ref<cls_INI> back = cls_INI::create();
    EXPECT_TRUE(back->LOAD(path));
}

namespace {
// Bytes this process has read through system calls so far (Linux), or -1.
long long bytes_read_so_far() {
    std::ifstream in("/proc/self/io");
    std::string key;
    long long value = 0;
    while (in >> key >> value)
        if (key == "rchar:") return value;
    return -1;
}
} // namespace

TEST(LoadSave, FilesAreRefusedByTheirHeadBeforeTheRestIsRead) {
    if (bytes_read_so_far() < 0) GTEST_SKIP() << "no /proc/self/io";
    FastPasswords fast;
    TempDir dir;
    ref<cls_INI> doc = sample_doc();
    ASSERT_TRUE(doc->SAVE(dir.file("plain.tr47")));
    ASSERT_TRUE(doc->SAVE(dir.file("secure.tr47"), "pw"));
    const std::string plain = read_file(dir.file("plain.tr47")), secure = read_file(dir.file("secure.tr47"));
    ASSERT_GE(plain.size(), detail::kStoredHeadBytes);
    ASSERT_GE(secure.size(), detail::kStoredHeadBytes);
    std::string hugeLength = plain.substr(0, 20);
    for (int i = 12; i < 20; ++i) hugeLength[static_cast<std::size_t>(i)] = '\x7F';
    struct Case {
        const char* what;
        std::string head;
        const char* password;
    };
    const Case cases[] = {
        {"no stored file", "PK\x03\x04 an archive, not a stored file", ""},
        {"unknown version", std::string("TR47STOR\x09\0\0\0", 12), ""},
        {"unknown protection", std::string("TR47STOR\x02\0\x07\0", 12), ""},
        {"plain, longer than its head says", plain.substr(0, detail::kStoredHeadBytes), ""},
        {"protected, longer than its head says", secure.substr(0, detail::kStoredHeadBytes), "pw"},
        {"a payload longer than LOAD takes", hugeLength, ""},
    };
    // 64 MiB each, sparse: reading them would show, storing them costs nothing.
    constexpr off_t kSize = off_t{64} << 20;
    ref<cls_INI> target = cls_INI::create();
    target->VERSION("untouched");
    const std::string untouched = dump(target);
    for (const Case& c : cases) {
        const std::string path = dir.write("big.tr47", c.head);
        ASSERT_EQ(::truncate(path.c_str(), kSize), 0);
        const long long before = bytes_read_so_far();
        EXPECT_FALSE(target->LOAD(path, c.password)) << c.what;
        EXPECT_LT(bytes_read_so_far() - before, 1 << 20) << c.what;
    }
    EXPECT_EQ(dump(target), untouched);
    // Whole files still load.
    ASSERT_TRUE(target->LOAD(dir.file("secure.tr47"), "pw"));
    EXPECT_EQ(dump(target), dump(doc));
}

namespace {
struct UmaskScope {
    mode_t saved;
    explicit UmaskScope(mode_t mask) : saved(::umask(mask)) {}
    ~UmaskScope() { ::umask(saved); }
};
struct stat status_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}
// The permission bits, set-user-ID, set-group-ID and sticky included, as
// ls -l counts them: "644".
std::string mode_of(const std::string& path) {
    char text[8];
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(status_of(path).st_mode & 07777));
    return text;
}
} // namespace

TEST(SaveModes, NewFilesFollowTheUmaskAndProtectedOnesStayPrivate) {
    FastPasswords fast;
    TempDir dir;
    ref<cls_INI> doc = sample_doc();
    struct Case {
        mode_t umask;
        const char *plain, *secure;
    };
    for (const Case c : {Case{022, "644", "600"}, Case{077, "600", "600"}, Case{002, "664", "600"},
                         Case{027, "640", "600"}, Case{0, "666", "600"}}) {
        UmaskScope scope(c.umask);
        const std::string plain = dir.file("plain" + std::to_string(c.umask) + ".tr47");
        const std::string secure = dir.file("secure" + std::to_string(c.umask) + ".tr47");
        ASSERT_TRUE(doc->SAVE(plain));
        ASSERT_TRUE(doc->SAVE(secure, "pw"));
        EXPECT_EQ(mode_of(plain), c.plain) << "umask " << std::oct << c.umask;
        EXPECT_EQ(mode_of(secure), c.secure) << "umask " << std::oct << c.umask;
    }
}

TEST(SaveModes, ReplacedFilesKeepTheirPermissionsNeverSpecialBitsNorALinksTarget) {
    FastPasswords fast;
    UmaskScope scope(022);
    TempDir dir;
    ref<cls_INI> doc = sample_doc();
    const std::string path = dir.file("own.tr47");
    ASSERT_TRUE(doc->SAVE(path));
    // The user's own file keeps its permissions...
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(doc->SAVE(path));
    EXPECT_EQ(mode_of(path), "640");
    // ... but no set-user-ID bit (nor set-group-ID or sticky bits).
    ASSERT_EQ(::chmod(path.c_str(), 04757), 0);
    ASSERT_TRUE(doc->SAVE(path));
    EXPECT_EQ(mode_of(path), "757");
    // Under a password nothing is left for others.
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    ASSERT_TRUE(doc->SAVE(path, "pw"));
    EXPECT_EQ(mode_of(path), "660");

    // A symbolic link at the name is replaced by a new file; its target
    // gives no bits and stays as it was.
    const std::string target = dir.write("target", "keep me");
    ASSERT_EQ(::chmod(target.c_str(), 04777), 0);
    const std::string targetMode = mode_of(target);
    for (const char* password : {"", "pw"}) {
        const std::string link = dir.file(std::string("link") + password + ".tr47");
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
        ASSERT_TRUE(doc->SAVE(link, password));
        EXPECT_TRUE(S_ISREG(status_of(link).st_mode));
        EXPECT_EQ(mode_of(link), *password ? "600" : "644") << "password '" << password << "'";
        EXPECT_EQ(read_file(target), "keep me");
        EXPECT_EQ(mode_of(target), targetMode);
        ref<cls_INI> back = cls_INI::create();
        ASSERT_TRUE(back->LOAD(link, password));
        EXPECT_EQ(dump(back), dump(doc));
    }

    // Another user's file is replaced like a new one (only root can make one).
    if (::geteuid() == 0) {
        const std::string theirs = dir.file("theirs.tr47");
        ASSERT_TRUE(doc->SAVE(theirs));
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(theirs.c_str(), 0666), 0);
        ASSERT_TRUE(doc->SAVE(theirs));
        EXPECT_EQ(mode_of(theirs), "644");
        EXPECT_EQ(status_of(theirs).st_uid, ::geteuid());
    }
}

TEST(LoadSave, DeepTreesWithinTheLimitRoundTrip) {
    ref<cls_INI> doc = cls_INI::create();
    ref<cls_INIGroup> g = doc->ROOT();
    for (int i = 0; i < 300; ++i) g = g->CHILDREN()->CREATE("level" + std::to_string(i));
    g->VALUES()->CREATE("bottom", Variant(1.0));
    TempDir dir;
    ASSERT_TRUE(doc->SAVE(dir.file("deep.tr47")));
    ref<cls_INI> back = cls_INI::create();
    ASSERT_TRUE(back->LOAD(dir.file("deep.tr47")));
    EXPECT_TRUE(back->VALUE("bottom").same(Variant(1.0)));
}

TEST(Soak, RepeatedRoundTripsStayEqualAndLeakNothing) {
    FastPasswords fast;
    TempDir dir;
    const std::int64_t before = Object::live_objects();
    std::int64_t afterFirst = -1;
    for (int round = 0; round < 40; ++round) {
        {
            auto r = import_text(kSample);
            ASSERT_TRUE(r.result);
            ref<cls_INI> doc = r.doc;
            doc->ROOT()->VALUES()->CREATE("Round", Variant(std::int32_t{round}), ID_INIValueSort_Long);
            doc->ROOT()->CHILDREN()->CREATE("Extra" + std::to_string(round));
            doc->ROOT()->VALUES()->REMOVE(Variant("Count"));
            ref<cls_INI> copy = cls_INI::create();
            copy->DATA()->copy(doc);
            ASSERT_EQ(dump(copy), dump(doc));
            const std::string path = dir.file("soak.tr47");
            const std::string pw = round % 2 ? "secret" : "";
            ASSERT_TRUE(copy->SAVE(path, pw));
            ref<cls_INI> back = cls_INI::create();
            ASSERT_TRUE(back->LOAD(path, pw));
            ASSERT_EQ(dump(back), dump(doc)) << "round " << round;
            // Unpacking turns empty identifiers into empty texts; after
            // that a package round trip is exact.
            const auto through_package = [](const ref<cls_INI>& d) {
                std::string package = d->DATA()->pack();
                ref<cls_INI> out = cls_INI::create();
                out->DATA()->unpack(package);
                return out;
            };
            ref<cls_INI> settled = through_package(back);
            ASSERT_EQ(dump(through_package(settled)), dump(settled)) << "round " << round;
            ASSERT_EQ(dump(settled), dump(through_package(doc))) << "round " << round;
        }
        // Every object of the round is gone again (the first round may
        // create process-wide objects once).
        if (round == 0) afterFirst = Object::live_objects();
        EXPECT_EQ(Object::live_objects(), afterFirst) << "objects leak in round " << round;
    }
    EXPECT_LE(afterFirst - before, 4);
}

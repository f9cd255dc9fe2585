#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "corelib/platform.hpp"
#include "corelib/stored_file.hpp"
#include "tests/support/helpers.hpp"

using namespace tr47;
using tr47::test::child_at;
using tr47::test::import_text;
using tr47::test::read_file;
using tr47::test::TempDir;
using tr47::test::value_at;

namespace {
Variant S(const char* s) { return Variant(s); }
Variant L(std::int32_t n) { return Variant(n); }

// Keeps password tests fast; the work factor is stored in each file.
struct FastPasswords {
    std::uint32_t saved = detail::password_iterations();
    FastPasswords() { detail::set_password_iterations(1000); }
    ~FastPasswords() { detail::set_password_iterations(saved); }
};

const char* kSample =
    "ENUM Modes,(Off,0,On,1)\n"
    "Title=\"Report\"\nCount=5\nRatio=1.5\nFlag=ja\nDay=2026-12-06\nColour=1,2,3\nMode=ENUM(Modes),On\n"
    "BEGIN Printer,Fonts\nFace=Arial\nBEGIN Inner\nDeep=1\nEND\nEND\nBEGIN Blank\nEND\n";

// A readable fingerprint of a document: every field, identifier and item.
std::string dump(const ref<cls_INI>& doc) {
    std::string out = describe(doc->DATA()->identifier()) + "|" + doc->VERSION() + "|" + doc->CONTENT() + "\n";
    std::vector<std::pair<ref<cls_INIGroup>, int>> stack{{doc->ROOT(), 0}};
    while (!stack.empty()) {
        auto [g, depth] = stack.back();
        stack.pop_back();
        out += std::string(depth, ' ') + "G " + describe(g->DATA()->identifier()) + " " + g->SORT() + "/" + g->NAME() +
               "/" + g->DESCRIPTION() + " V" + describe(g->VALUES()->DATA()->identifier()) + " C" +
               describe(g->CHILDREN()->DATA()->identifier()) + "\n";
        for (std::int32_t i = 1; i <= g->VALUES()->COUNT(); ++i) {
            ref<cls_INIValue> v = value_at(g, i);
            out += std::string(depth, ' ') + " v " + describe(v->DATA()->identifier()) + " " + v->NAME() + " " +
                   std::to_string(v->SORT()) + " " + describe(v->CONTENT()) + " " + v->DESCRIPTION() + "\n";
        }
        for (std::int32_t i = g->CHILDREN()->COUNT(); i >= 1; --i) stack.push_back({child_at(g, i), depth + 1});
    }
    for (std::int32_t i = 1; i <= doc->ENUMS()->COUNT(); ++i) {
        ref<cls_INIEnum> e = doc->ENUMS()->Item(L(i));
        out += "E " + describe(e->DATA()->identifier()) + " " + e->DESCRIPTION();
        for (const auto& m : e->VALUES()->members()) out += " " + m.name + "=" + m.value;
        out += "\n";
    }
    return out;
}

// Runs f in a child process and returns its exit status (or -signal).
template <class F>
pid_t spawn(F&& f) {
    pid_t pid = ::fork();
    if (pid == 0) _exit(f());
    return pid;
}
int wait_for(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

ref<cls_INI> sample_doc() {
    auto r = import_text(kSample);
    EXPECT_TRUE(r.result);
    r.doc->VERSION("v1");
    r.doc->CONTENT("free text");
    r.doc->DATA()->identifier(L(77));
    value_at(r.doc->ROOT(), 2)->DESCRIPTION("described");
    return r.doc;
}
} // namespace

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

TEST(Store, StoredFormOrderAndIdentifierTypes) {
    // Root with value A and child G: the order of the stored values.
    ref<cls_INI> doc = cls_INI::create();
    doc->ROOT()->VALUES()->CREATE("A", Variant(1.0));
    doc->ROOT()->CHILDREN()->CREATE("G");
    TempDir dir;
    ASSERT_TRUE(doc->SAVE(dir.file("s.tr47")));
    ref<ReaderObject> r = ReaderObject::create();
    ASSERT_TRUE(r->open(dir.file("s.tr47"), 1, "", true, true));
    std::vector<std::string> seen;
    while (!r->eof()) seen.push_back(describe(r->read_value()));
    const std::vector<std::string> expected = {
        "String(1.0)", "Empty",     "String()",  "String()", // document
        "String(1.0)", "Empty",     "String()",  "String()",  "String()", // ROOT
        "String(1.0)", "Empty",     "Long(1)", // its VALUES
        "String(1.0)", "String(A)", "String(A)", "Long(0)",   "Double(1)", "String()", // value A
        "String(1.0)", "Empty",     "Long(1)", // its CHILDREN
        "String(1.0)", "String(G)", "String()",  "String(G)", "String()", // group G
        "String(1.0)", "Empty",     "Long(0)", // G's VALUES
        "String(1.0)", "Empty",     "Long(0)", // G's CHILDREN
        "String(1.0)", "Empty",     "Long(0)"}; // ENUMS
    EXPECT_EQ(seen, expected);

    // Store and read keep identifier types; ENUMREF is not restored.
    ref<cls_INI> src = sample_doc();
    ASSERT_TRUE(src->SAVE(dir.file("doc.tr47")));
    ref<cls_INI> back = cls_INI::create();
    ASSERT_TRUE(back->LOAD(dir.file("doc.tr47")));
    EXPECT_TRUE(back->DATA()->identifier().same(L(77)));
    EXPECT_EQ(dump(back), dump(src));
    EXPECT_FALSE(back->ROOT()->VALUES()->Item(S("Mode"), false)->ENUMREF());
    EXPECT_FALSE(child_at(back->ROOT(), 2)->CHILDREN()->allocated());

    // LOAD into a collection that has items: exactly the file's, as new objects.
    ref<cls_INIGroups> groups = src->ROOT()->CHILDREN();
    ASSERT_TRUE(groups->SAVE(dir.file("groups.tr47")));
    ref<cls_INIGroups> target = cls_INIGroups::create();
    for (int i = 0; i < 4; ++i) target->CREATE("old");
    ASSERT_TRUE(target->LOAD(dir.file("groups.tr47")));
    ASSERT_EQ(target->COUNT(), 2);
    EXPECT_EQ(target->Item(L(1))->NAME(), "Fonts");
    EXPECT_TRUE(target->Item(L(1))->EXISTS("Deep", true));
    EXPECT_NE(target->Item(L(1)).get(), groups->Item(L(1)).get());
    ref<ReaderObject> gr = ReaderObject::create();
    ASSERT_TRUE(gr->open(dir.file("groups.tr47"), 1, "", true, true));
    EXPECT_TRUE(gr->read_value().same(S("1.0")));
    EXPECT_TRUE(gr->read_value().is_empty());
    EXPECT_TRUE(gr->read_value().same(L(2)));
}

TEST(Store, ForeignFormatVersionsLeaveObjectsUnchanged) {
    TempDir dir;
    auto write_values = [&](const std::string& name, const std::vector<Variant>& values) {
        ref<ReaderObject> w = ReaderObject::create();
        w->open(dir.file(name), 2, "", true, true);
        for (const Variant& v : values) w->write_values({PackElement(v)});
        w->close();
        return dir.file(name);
    };
    ref<cls_INI> doc = sample_doc();
    const std::string before = dump(doc);
    for (const char* version : {"1.1", "2.0", ""}) {
        EXPECT_TRUE(doc->LOAD(write_values("v.tr47", {S(version), S("id"), S("x"), S("y")})));
        EXPECT_EQ(dump(doc), before);
    }
    // A child with a foreign version: its parent goes on with the next value.
    ref<cls_INIGroup> g = cls_INIGroup::create();
    ref<cls_INIValues> values = g->VALUES();
    values->CREATE("kept", Variant());
    std::string path = write_values("child.tr47", {S("1.0"), S("gid"), S("sort"), S("name"), S("desc"),
                                                   S("9.9"), // VALUES refuses its stored form here
                                                   S("1.0"), S("cid"), L(0)});
    ref<ReaderObject> r = ReaderObject::create();
    ASSERT_TRUE(r->open(path, 1, "", true, true));
    g->DATA()->read(*r);
    EXPECT_EQ(g->NAME(), "name");
    EXPECT_EQ(values->COUNT(), 1);
    EXPECT_TRUE(g->CHILDREN()->DATA()->identifier().same(S("cid")));
    // A lower-case version text is accepted.
    EXPECT_TRUE(doc->LOAD(
        write_values("lower.tr47", {S("1.0"), L(5), S("V"), S("C"), S("1.0"), Variant(), S(""), S(""), S(""), S("1.0"),
                                    Variant(), L(0), S("1.0"), Variant(), L(0), S("1.0"), Variant(), L(0)})));
    EXPECT_EQ(doc->VERSION(), "V");
    EXPECT_EQ(doc->ROOT()->VALUES()->COUNT(), 0);
}

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
// The permission bits, special ones included, as ls -l counts them: "644".
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

namespace {
// A document large enough that SAVE takes a while (about 1 MB stored).
ref<cls_INI> bulky_doc(const char* tag) {
    ref<cls_INI> doc = sample_doc();
    doc->CONTENT(tag);
    ref<cls_INIGroup> big = doc->ROOT()->CHILDREN()->CREATE("Bulk");
    for (int i = 0; i < 20000; ++i) big->VALUES()->CREATE("v" + std::to_string(i), Variant(std::string(40, tag[0])));
    return doc;
}

} // namespace

TEST(SaveFaults, KilledMidSaveLeavesALoadableFile) {
    TempDir dir;
    const std::string path = dir.file("doc.tr47");
    ref<cls_INI> oldDoc = bulky_doc("o"), newDoc = bulky_doc("n");
    ASSERT_TRUE(oldDoc->SAVE(path));
    const std::string oldDump = dump(oldDoc), newDump = dump(newDoc);
    // Kill the saving process at different moments; the file must always
    // load as the old or the new document, never as a broken one.
    for (int delayUs : {0, 200, 1000, 3000, 8000, 20000, 50000}) {
        pid_t pid = spawn([&] {
            for (;;) newDoc->SAVE(path);
            return 0;
        });
        ::usleep(static_cast<useconds_t>(delayUs));
        ::kill(pid, SIGKILL);
        EXPECT_EQ(wait_for(pid), -SIGKILL);
        ref<cls_INI> back = cls_INI::create();
        ASSERT_TRUE(back->LOAD(path)) << "after a kill at " << delayUs << " us";
        const std::string got = dump(back);
        EXPECT_TRUE(got == oldDump || got == newDump) << "after a kill at " << delayUs << " us";
    }
}

TEST(SaveFaults, LoadWhileAnotherProcessSaves) {
    FastPasswords fast;
    TempDir dir;
    const std::string path = dir.file("shared.tr47");
    ref<cls_INI> a = bulky_doc("a"), b = bulky_doc("b");
    ASSERT_TRUE(a->SAVE(path, "pw"));
    const std::string dumpA = dump(a), dumpB = dump(b);
    pid_t writer = spawn([&] {
        for (int i = 0; i < 40; ++i)
            if (!(i % 2 ? a : b)->SAVE(path, "pw")) return 1;
        return 0;
    });
    int loads = 0, seenA = 0, seenB = 0;
    for (;;) {
        int status = 0;
        const bool done = ::waitpid(writer, &status, WNOHANG) == writer;
        ref<cls_INI> doc = cls_INI::create();
        ASSERT_TRUE(doc->LOAD(path, "pw")) << "LOAD " << loads << " failed during a SAVE";
        const std::string got = dump(doc);
        seenA += got == dumpA;
        seenB += got == dumpB;
        ASSERT_TRUE(got == dumpA || got == dumpB) << "LOAD " << loads << " saw a mixed document";
        ++loads;
        if (done) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a SAVE of the writer failed";
            break;
        }
    }
    EXPECT_GT(loads, 1);
    EXPECT_GT(seenA + seenB, 0);
}

TEST(SaveFaults, FullDiskAndReadOnlyFolder) {
    // A small file system of its own; needs the right to mount (CI runs as root).
    TempDir dir;
    const std::string mnt = dir.file("small");
    std::filesystem::create_directory(mnt);
    if (std::system(("mount -t tmpfs -o size=256k tmpfs " + mnt + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string at;
        ~Unmount() { (void)std::system(("umount " + at).c_str()); }
    } unmount{mnt};
    const std::string path = mnt + "/doc.tr47";
    ref<cls_INI> small = sample_doc();
    ASSERT_TRUE(small->SAVE(path));
    const std::string good = read_file(path);
    // About 1 MB does not fit into 256 KiB: false, the old file intact, no temporary left.
    EXPECT_FALSE(bulky_doc("x")->SAVE(path));
    EXPECT_EQ(read_file(path), good);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mnt), std::filesystem::directory_iterator()), 1);
    // Read-only: even root cannot write there.
    ASSERT_EQ(std::system(("mount -o remount,ro " + mnt).c_str()), 0);
    EXPECT_FALSE(small->SAVE(path));
    EXPECT_FALSE(small->SAVE(mnt + "/other.tr47"));
    EXPECT_EQ(read_file(path), good);
    ref<cls_INI> back = cls_INI::create();
    ASSERT_TRUE(back->LOAD(path));
    EXPECT_EQ(dump(back), dump(small));
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

TEST(Store, CompactValuesRoundTripExactlyAndOldFilesStillLoad) {
    // Every subtype and the edges of the compact forms, written and read
    // back in one stream: repeated texts, whole doubles near 2^53, -0.
    TempDir dir;
    const double big = 9007199254740992.0; // 2^53: too large for the whole-number form
    const std::vector<Variant> values = {S(""),
                                         S("1.0"),
                                         S("x"),
                                         S("x"),
                                         S("y"),
                                         S("x"),
                                         L(0),
                                         L(-1),
                                         L(INT32_MIN),
                                         L(INT32_MAX),
                                         Variant(0.0),
                                         Variant(-0.0),
                                         Variant(big),
                                         Variant(-big + 1),
                                         Variant(big - 1),
                                         Variant(1.5),
                                         Variant(1e300),
                                         Variant(-7.0),
                                         Variant(Date{45000.5}),
                                         Variant::boolean(true),
                                         Variant(),
                                         Variant(ErrorValue{}),
                                         S("1.0"),
                                         S(""),
                                         Variant(Null{})};
    ref<ReaderObject> w = ReaderObject::create();
    ASSERT_TRUE(w->open(dir.file("v.tr47"), 2, "", true, true));
    for (const Variant& v : values) w->write_value(v);
    w->close();
    ref<ReaderObject> r = ReaderObject::create();
    ASSERT_TRUE(r->open(dir.file("v.tr47"), 1, "", true, true));
    for (std::size_t i = 0; i < values.size(); ++i) {
        // Texts alternately through both reading calls: a repeated text must
        // come back the same either way.
        std::string_view text;
        std::string scratch;
        Variant other;
        if (i % 2 == 0 && values[i].is_string()) {
            ASSERT_TRUE(r->read_text(text, scratch, other)) << i;
            EXPECT_EQ(text, values[i].string()) << i;
            continue;
        }
        Variant got = r->read_value();
        EXPECT_TRUE(got.same(values[i])) << i << ": " << describe(got);
        if (values[i].is_double()) {
            EXPECT_EQ(std::signbit(got.dbl()), std::signbit(values[i].dbl())) << i;
        }
    }
    EXPECT_TRUE(r->eof());

    // A file of the first format (fixed-width tags only) still loads.
    std::string payload;
    auto text = [&](std::string_view t) {
        payload += char(1);
        for (int i = 0; i < 4; ++i) payload += char((t.size() >> (8 * i)) & 0xFF);
        payload += t;
    };
    auto empty = [&] { payload += char(0); };
    auto lng = [&](std::uint32_t n) {
        payload += char(5);
        for (int i = 0; i < 4; ++i) payload += char((n >> (8 * i)) & 0xFF);
    };
    // A values collection announcing `count` entries, holding one.
    auto old_file = [&](std::uint32_t count) {
        payload.clear();
        text("1.0"), empty(), lng(count);
        text("1.0"), text("Old"), text("Old"), lng(3), text("content"), text("");
        std::string file = std::string("TR47STOR") + char(1) + char(0) + char(0) + char(0);
        for (int i = 0; i < 8; ++i) file += char((payload.size() >> (8 * i)) & 0xFF);
        file += payload;
        return file + detail::platform::sha256(file);
    };
    ref<cls_INIValues> loaded = cls_INIValues::create();
    ASSERT_TRUE(loaded->LOAD(dir.write("old.tr47", old_file(1))));
    ASSERT_EQ(loaded->COUNT(), 1);
    EXPECT_EQ(loaded->Item(L(1))->NAME(), "Old");
    EXPECT_EQ(loaded->Item(L(1))->SORT(), 3);
    EXPECT_TRUE(loaded->Item(L(1))->CONTENT().same(S("content")));

    // The same collection announcing 2^31-1 entries: reading reserves only
    // what the file's bytes can back, LOAD fails at the file's end and the
    // entry read before stays.
    ref<cls_INIValues> partial = cls_INIValues::create();
    EXPECT_FALSE(partial->LOAD(dir.write("false_count.tr47", old_file(INT32_MAX))));
    ASSERT_EQ(partial->COUNT(), 1);
    EXPECT_EQ(partial->Item(L(1))->NAME(), "Old");
}

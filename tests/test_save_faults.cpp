// SAVE under faults: a process killed while it saves, LOAD while another
// process saves, a full disk and a read-only folder.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/helpers.hpp"
#include "tests/support/persistence.hpp"

using namespace tr47;
using tr47::test::dump;
using tr47::test::FastPasswords;
using tr47::test::read_file;
using tr47::test::sample_doc;
using tr47::test::spawn;
using tr47::test::TempDir;
using tr47::test::wait_for;

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

// Deep trees: reaching the groups of a loaded document level by level costs
// the same at every level, whatever the depth.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/helpers.hpp"

using namespace tr47;
using tr47::test::TempDir;

namespace {

std::string nested_ini(int depth) {
    std::string t;
    for (int i = 0; i < depth; ++i) t += "BEGIN Level, G\n";
    t += "Leaf=1\n";
    for (int i = 0; i < depth; ++i) t += "END\n";
    return t;
}

// Seconds to find the leaf of a freshly loaded document (best of three).
double walk_seconds(const std::string& file) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        ref<cls_INI> doc = cls_INI::create();
        EXPECT_TRUE(doc->LOAD(file));
        const auto start = std::chrono::steady_clock::now();
        const Variant leaf = doc->VALUE("Leaf");
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(leaf.to_long(), 1);
        best = std::min(best, s);
    }
    return best;
}

} // namespace

TEST(DeepTrees, ReachingLoadedLevelsIsLinearInTheDepth) {
    TempDir dir;
    auto stored = [&](int depth) {
        ref<cls_INI> doc = cls_INI::create();
        EXPECT_TRUE(doc->IMPORT(dir.write("deep.ini", nested_ini(depth))));
        const std::string file = dir.file("deep" + std::to_string(depth) + ".tr47");
        EXPECT_TRUE(doc->SAVE(file));
        return file;
    };
    // Four times the depth: four times the work when each level costs the
    // same; sixteen or more when a level costs in proportion to the depth
    // above it, as it did.
    const double shallow = walk_seconds(stored(450));
    const double deep = walk_seconds(stored(1800));
    EXPECT_LT(deep, std::max(shallow, 1e-3) * 10) << "450 levels: " << shallow << " s, 1800 levels: " << deep << " s";
}

// ---------------------------------------------------------------------------
// Memory on deep and wide input

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs a job in a child process and returns the most memory it added to
// what the child started with (KiB), or -1 when the job failed or crashed.
template <class F>
long peak_growth_kib(F&& job) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        const long start = resident_kib();
        long growth = -1;
        if (job()) {
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            growth = usage.ru_maxrss - start;
        }
        (void)!write(pipefd[1], &growth, sizeof growth);
        _exit(0);
    }
    close(pipefd[1]);
    long growth = -1;
    if (read(pipefd[0], &growth, sizeof growth) != static_cast<ssize_t>(sizeof growth)) growth = -1;
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? growth : -1;
}

} // namespace

TEST(DeepTrees, AMillionNestedGroupsImportAndAreSearchedInTenTimesTheFile) {
    if (kSanitized) GTEST_SKIP() << "resident memory means nothing under a sanitizer's allocator";
    TempDir dir;
    const int depth = 1000000;
    std::string text;
    text.reserve(12u * depth);
    for (int i = 0; i < depth; ++i) text += "BEGIN A\n";
    for (int i = 0; i < depth; ++i) text += "END\n";
    const std::string file = dir.write("million.ini", text);
    const long fileKib = static_cast<long>(text.size() / 1024);
    text = std::string();
    const long growth = peak_growth_kib([&] {
        ref<cls_INI> doc = cls_INI::create();
        if (!doc->IMPORT(file)) return false;
        // A recursive look-up of a missing name visits every level.
        if (!doc->VALUE("Missing", Variant("none"), true).same(Variant("none"))) return false;
        if (doc->ROOT()->EXISTS("Missing", true)) return false;
        return doc->ROOT()->EXISTS("A", true);
    });
    ASSERT_GT(growth, 0) << "the job failed";
    EXPECT_LT(growth, 10 * fileKib) << "peak " << growth << " KiB for a file of " << fileKib << " KiB";
}

TEST(DeepTrees, AnEnumerationAtTheMemberLimitTakesUnderTenTimesItsText) {
    if (kSanitized) GTEST_SKIP() << "resident memory means nothing under a sanitizer's allocator";
    TempDir dir;
    const std::size_t items = std::size_t{1} << 22; // the most one list may hold
    std::string text = "ENUM Big,(";
    text.reserve(items * 2 + 16);
    for (std::size_t i = 0; i < items / 2; ++i) text += i ? ",A,1" : "A,1";
    text += ")\nX=ENUM(Big),A\n";
    const std::string file = dir.write("enum.ini", text);
    const long fileKib = static_cast<long>(text.size() / 1024);
    text = std::string();
    const long growth = peak_growth_kib([&] {
        ref<cls_INI> doc = cls_INI::create();
        if (!doc->IMPORT(file)) return false;
        ref<MemberList> members = doc->ENUMS()->Item(Variant("Big"))->VALUES();
        return members->COUNT() == static_cast<std::int32_t>(items / 2) && members->VALUE(members->COUNT()) == "1" &&
               doc->VALUE("X").to_text() == "A";
    });
    ASSERT_GT(growth, 0) << "the job failed";
    EXPECT_LT(growth, 10 * fileKib) << "peak " << growth << " KiB for a file of " << fileKib << " KiB";
}

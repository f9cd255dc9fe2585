// Deep trees: reaching the groups of a loaded document level by level costs
// the same at every level, whatever the depth.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <cctype>
#include <random>

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

// ---------------------------------------------------------------------------
// Recursive look-ups read packed groups in place: the answers must be those
// of the same tree made real, loaded, or half made real.

namespace {

const char* const kNames[] = {"A", "B", "C", "d", "a", "Missing"};

// The generated tree as the test knows it, names upper-cased.
struct Expected {
    std::vector<std::pair<std::string, std::string>> values;
    std::string name; // as a child of its parent
    std::vector<Expected> children;
};

std::string upper_ascii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void random_group(std::mt19937& rng, std::string& out, Expected& tree, int depth) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const int values = pick(3);
    for (int v = 0; v < values; ++v) {
        const char* name = kNames[pick(5)];
        if (pick(4) == 0) {
            out += std::string(name) + "=ENUM(Modes),On\n"; // a value made real at once
            tree.values.emplace_back(upper_ascii(name), "On");
        } else {
            const std::string number = std::to_string(rng() % 1000);
            out += std::string(name) + "=" + number + "\n";
            tree.values.emplace_back(upper_ascii(name), number);
        }
    }
    if (depth == 0) return;
    const int children = pick(4);
    for (int c = 0; c < children; ++c) {
        const char* name = kNames[pick(5)];
        out += pick(3) == 0 ? std::string("BEGIN Sort, ") + name + "\n" : std::string("BEGIN ") + name + "\n";
        tree.children.emplace_back();
        tree.children.back().name = upper_ascii(name);
        random_group(rng, out, tree.children.back(), depth - 1);
        out += "END\n";
    }
}

const std::string* own_value(const Expected& g, const std::string& name) {
    for (const auto& [n, v] : g.values)
        if (n == name) return &v;
    return nullptr;
}
bool has_child(const Expected& g, const std::string& name) {
    for (const auto& c : g.children)
        if (c.name == name) return true;
    return false;
}

// The rule, written plainly: groups below the start in pre-order; the first
// with a value of that name answers; one with a child group of that name
// confines the search to its own subtree.
enum class Outcome { Going, Found, Ended };
Outcome search_below(const Expected& g, const std::string& name, std::string& out) {
    for (const auto& c : g.children) {
        if (const std::string* v = own_value(c, name)) {
            out = *v;
            return Outcome::Found;
        }
        if (has_child(c, name)) return search_below(c, name, out) == Outcome::Found ? Outcome::Found : Outcome::Ended;
        const Outcome o = search_below(c, name, out);
        if (o != Outcome::Going) return o;
    }
    return Outcome::Going;
}
bool exists_below(const Expected& g, const std::string& name) {
    for (const auto& c : g.children)
        if (own_value(c, name) || has_child(c, name) || exists_below(c, name)) return true;
    return false;
}

std::string expected_answers(const Expected& root) {
    std::string out;
    std::vector<const Expected*> starts{&root};
    for (const auto& c : root.children) starts.push_back(&c);
    for (const Expected* g : starts)
        for (const char* n : kNames) {
            const std::string name = upper_ascii(n);
            std::string value = "none";
            if (const std::string* v = own_value(*g, name))
                value = *v;
            else
                search_below(*g, name, value);
            const bool exists = own_value(*g, name) || has_child(*g, name) || exists_below(*g, name);
            out += std::string(n) + ":" + value + "/" + (exists ? "y" : "n") + " ";
        }
    return out;
}

// Every group reached through Item, so that none stays packed (or, with a
// coin, about half of them).
void make_real(const ref<cls_INIGroup>& start, std::mt19937* coin) {
    std::vector<ref<cls_INIGroup>> todo{start};
    while (!todo.empty()) {
        ref<cls_INIGroup> g = todo.back();
        todo.pop_back();
        ref<cls_INIGroups> children = g->CHILDREN();
        for (std::int32_t i = 1; i <= children->COUNT(); ++i)
            if (!coin || (*coin)() % 2) todo.push_back(children->Item(Variant(i), true));
    }
}

std::string answers(const ref<cls_INI>& doc) {
    std::string out;
    std::vector<ref<cls_INIGroup>> starts{doc->ROOT()};
    ref<cls_INIGroups> top = doc->ROOT()->CHILDREN();
    for (std::int32_t i = 1; i <= top->COUNT(); ++i) starts.push_back(top->Item(Variant(i), true));
    for (const ref<cls_INIGroup>& g : starts)
        for (const char* name : kNames)
            out += std::string(name) + ":" + g->VALUE(name, Variant("none"), true).to_text() + "/" +
                   (g->EXISTS(name, true) ? "y" : "n") + " ";
    return out;
}

} // namespace

TEST(PackedWalk, RecursiveLookUpsAnswerAlikeOnPackedRealAndLoadedTrees) {
    TempDir dir;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        std::string text = "ENUM Modes,(Off,0,On,1)\n";
        Expected tree;
        random_group(rng, text, tree, 5);
        // A chain deeper than packed groups nest, with a value at its end.
        if (seed % 4 == 0) {
            tree.children.emplace_back();
            tree.children.back().name = "L";
            Expected* level = &tree.children.back();
            for (int i = 0; i < 300; ++i) text += "BEGIN L\n";
            for (int i = 1; i < 300; ++i) {
                level->children.emplace_back();
                level->children.back().name = "L";
                level = &level->children.back();
            }
            text += std::string(kNames[seed % 5]) + "=deep\n";
            level->values.emplace_back(upper_ascii(kNames[seed % 5]), "deep");
            for (int i = 0; i < 300; ++i) text += "END\n";
        }
        const std::string file = dir.write("random.ini", text);
        auto imported = [&] {
            ref<cls_INI> doc = cls_INI::create();
            EXPECT_TRUE(doc->IMPORT(file));
            return doc;
        };
        const std::string expected = expected_answers(tree);
        ref<cls_INI> real = imported();
        make_real(real->ROOT(), nullptr);
        EXPECT_EQ(answers(real), expected) << "real, seed " << seed;

        EXPECT_EQ(answers(imported()), expected) << "packed, seed " << seed;
        ref<cls_INI> half = imported();
        std::mt19937 coin(seed);
        make_real(half->ROOT(), &coin);
        EXPECT_EQ(answers(half), expected) << "half real, seed " << seed;
        ASSERT_TRUE(imported()->SAVE(dir.file("random.tr47")));
        ref<cls_INI> loaded = cls_INI::create();
        ASSERT_TRUE(loaded->LOAD(dir.file("random.tr47")));
        EXPECT_EQ(answers(loaded), expected) << "loaded, seed " << seed;
    }
}

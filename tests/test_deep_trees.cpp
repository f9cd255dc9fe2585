// Deep trees: reaching the groups of a loaded document level by level costs
// the same at every level, whatever the depth.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "tests/test_helpers.hpp"

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

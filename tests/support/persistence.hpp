// Helpers of the copy, pack, store and LOAD/SAVE tests: a sample document,
// a fingerprint to compare documents by, a fast password work factor and
// child processes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "corelib/stored_file.hpp"
#include "tests/support/helpers.hpp"

namespace tr47::test {

// Keeps password tests fast; the work factor is stored in each file.
struct FastPasswords {
    std::uint32_t saved = detail::password_iterations();
    std::uint8_t lanes = detail::password_lanes();
    FastPasswords() { detail::set_password_iterations(1000); }
    ~FastPasswords() {
        detail::set_password_iterations(saved);
        detail::set_password_lanes(lanes);
    }
};

inline const char* const kSample =
    "ENUM Modes,(Off,0,On,1)\n"
    "Title=\"Report\"\nCount=5\nRatio=1.5\nFlag=ja\nDay=2026-12-06\nColour=1,2,3\nMode=ENUM(Modes),On\n"
    "BEGIN Printer,Fonts\nFace=Arial\nBEGIN Inner\nDeep=1\nEND\nEND\nBEGIN Blank\nEND\n";

// A readable fingerprint of a document: every field, identifier and item.
inline std::string dump(const ref<cls_INI>& doc) {
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
inline int wait_for(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// kSample imported, with the fields that INI text leaves empty set.
inline ref<cls_INI> sample_doc() {
    auto r = import_text(kSample);
    EXPECT_TRUE(r.result);
    r.doc->VERSION("v1");
    r.doc->CONTENT("free text");
    r.doc->DATA()->identifier(L(77));
    value_at(r.doc->ROOT(), 2)->DESCRIPTION("described");
    return r.doc;
}

} // namespace tr47::test

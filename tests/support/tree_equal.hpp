// Field-by-field comparison of two models, for round trips through INI
// text: the test suite and the round-trip fuzz target share it.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tr47ini/tr47ini.hpp"

namespace tr47::test {

namespace tree_detail {

// Position of each enumeration in ENUMS (1-based), for comparing ENUMREFs.
inline std::unordered_map<const cls_INIEnum*, std::int32_t> positions(cls_INIEnums* enums) {
    std::unordered_map<const cls_INIEnum*, std::int32_t> at;
    const std::int32_t n = enums ? enums->COUNT() : 0;
    for (std::int32_t i = 1; i <= n; ++i) at.emplace(enums->Item(Variant(i), true).get(), i);
    return at;
}

inline std::string enums_difference(cls_INIEnums* a, cls_INIEnums* b) {
    const std::int32_t n = a ? a->COUNT() : 0;
    const std::int32_t m = b ? b->COUNT() : 0;
    if (n != m) return "ENUMS: " + std::to_string(n) + " against " + std::to_string(m) + " enumerations";
    for (std::int32_t i = 1; i <= n; ++i) {
        ref<cls_INIEnum> x = a->Item(Variant(i), true), y = b->Item(Variant(i), true);
        const std::string at = "ENUMS(" + std::to_string(i) + ")";
        if (x->NAME() != y->NAME()) return at + ": NAME '" + x->NAME() + "' against '" + y->NAME() + "'";
        if (x->DESCRIPTION() != y->DESCRIPTION()) return at + ": DESCRIPTION";
        const auto& mx = x->VALUES()->members();
        const auto& my = y->VALUES()->members();
        if (mx.size() != my.size())
            return at + ": " + std::to_string(mx.size()) + " against " + std::to_string(my.size()) + " members";
        for (std::size_t k = 0; k < mx.size(); ++k)
            if (!(mx[k] == my[k]))
                return at + ": member " + std::to_string(k + 1) + " '" + mx[k].name + "'='" + mx[k].value +
                       "' against '" + my[k].name + "'='" + my[k].value + "'";
    }
    return {};
}

using EnumPositions = std::unordered_map<const cls_INIEnum*, std::int32_t>;

inline std::int32_t enum_position(const ref<cls_INIEnum>& e, const EnumPositions& at) {
    if (!e) return 0;
    const auto found = at.find(e.get());
    return found == at.end() ? -1 : found->second;
}

// A path of steps, shortened in the middle when it is deep.
inline std::string join_path(const std::vector<std::string>& steps) {
    std::string p;
    for (std::size_t k = 0; k < steps.size(); ++k) {
        if (steps.size() > 40 && k == 20) {
            p += "/...";
            k = steps.size() - 20;
        }
        p += (k ? "/" : "") + steps[k];
    }
    return p;
}

// Groups compared pairwise without native recursion (trees may be deep);
// the path of a pair is built only when it differs.
inline std::string groups_difference(cls_INIGroup& a, cls_INIGroup& b, const EnumPositions& ea, const EnumPositions& eb,
                                     const std::string& top) {
    struct Pair {
        ref<cls_INIGroup> a, b;
        std::size_t depth;
        std::string step;
    };
    std::vector<Pair> stack{{ref<cls_INIGroup>(&a), ref<cls_INIGroup>(&b), 0, top}};
    std::vector<std::string> trail;
    std::size_t visits = 0;
    while (!stack.empty()) {
        Pair p = std::move(stack.back());
        stack.pop_back();
        trail.resize(p.depth);
        trail.push_back(std::move(p.step));
        const auto path = [&] { return join_path(trail); };
        if (++visits > 50'000'000) return path() + ": too many groups (a cycle?)";
        if (p.a->NAME() != p.b->NAME()) return path() + ": NAME '" + p.a->NAME() + "' against '" + p.b->NAME() + "'";
        if (p.a->SORT() != p.b->SORT()) return path() + ": SORT '" + p.a->SORT() + "' against '" + p.b->SORT() + "'";
        if (p.a->DESCRIPTION() != p.b->DESCRIPTION()) return path() + ": DESCRIPTION";
        if (!p.a->DATA()->identifier().same(p.b->DATA()->identifier()))
            return path() + ": key " + describe(p.a->DATA()->identifier()) + " against " +
                   describe(p.b->DATA()->identifier());
        cls_INIValues* va = p.a->values_if_any();
        cls_INIValues* vb = p.b->values_if_any();
        const std::int32_t nv = va ? va->COUNT() : 0;
        if (nv != (vb ? vb->COUNT() : 0)) return path() + ": value counts differ";
        for (std::int32_t i = 1; i <= nv; ++i) {
            ref<cls_INIValue> x = va->Item(Variant(i), true), y = vb->Item(Variant(i), true);
            const auto at = [&] { return path() + "/VALUES(" + std::to_string(i) + "):" + x->NAME(); };
            if (x->NAME() != y->NAME()) return at() + ": NAME '" + x->NAME() + "' against '" + y->NAME() + "'";
            if (x->SORT() != y->SORT())
                return at() + ": SORT " + std::to_string(x->SORT()) + " against " + std::to_string(y->SORT());
            if (!x->CONTENT().same(y->CONTENT()))
                return at() + ": CONTENT " + describe(x->CONTENT()) + " against " + describe(y->CONTENT());
            if (x->DESCRIPTION() != y->DESCRIPTION()) return at() + ": DESCRIPTION";
            if (enum_position(x->ENUMREF(), ea) != enum_position(y->ENUMREF(), eb)) return at() + ": ENUMREF";
        }
        cls_INIGroups* ca = p.a->children_if_any();
        cls_INIGroups* cb = p.b->children_if_any();
        const std::int32_t nc = ca ? ca->COUNT() : 0;
        if (nc != (cb ? cb->COUNT() : 0)) return path() + ": child counts differ";
        for (std::int32_t i = nc; i >= 1; --i) {
            ref<cls_INIGroup> x = ca->Item(Variant(i), true), y = cb->Item(Variant(i), true);
            stack.push_back({x, y, p.depth + 1, "CHILDREN(" + std::to_string(i) + "):" + x->NAME()});
        }
    }
    return {};
}

} // namespace tree_detail

// The first difference between two documents in the fields that INI text
// carries and in DESCRIPTION, or "" when there is none.
inline std::string tree_difference(cls_INI& a, cls_INI& b) {
    if (a.VERSION() != b.VERSION()) return "VERSION";
    if (a.CONTENT() != b.CONTENT()) return "CONTENT";
    const std::string e = tree_detail::enums_difference(a.ENUMS().get(), b.ENUMS().get());
    if (!e.empty()) return e;
    return tree_detail::groups_difference(*a.ROOT(), *b.ROOT(), tree_detail::positions(a.ENUMS().get()),
                                          tree_detail::positions(b.ENUMS().get()), "ROOT");
}

// The same for two groups collections, with the documents whose ENUMS
// their values refer to.
inline std::string tree_difference(cls_INIGroups& a, cls_INI* aDoc, cls_INIGroups& b, cls_INI* bDoc) {
    if (aDoc && bDoc) {
        const std::string e = tree_detail::enums_difference(aDoc->ENUMS().get(), bDoc->ENUMS().get());
        if (!e.empty()) return e;
    }
    const auto ea = tree_detail::positions(aDoc ? aDoc->ENUMS().get() : nullptr);
    const auto eb = tree_detail::positions(bDoc ? bDoc->ENUMS().get() : nullptr);
    const std::int32_t n = a.COUNT();
    if (n != b.COUNT()) return "group counts differ";
    for (std::int32_t i = 1; i <= n; ++i) {
        const std::string d = tree_detail::groups_difference(*a.Item(Variant(i), true), *b.Item(Variant(i), true), ea,
                                                             eb, "CHILDREN(" + std::to_string(i) + ")");
        if (!d.empty()) return d;
    }
    return {};
}

} // namespace tr47::test

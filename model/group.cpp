#include <unordered_set>

#include "model/internal.hpp"

namespace tr47 {

cls_INIGroup::cls_INIGroup() : Persistable("cls_INIGroup") {}
ref<cls_INIGroup> cls_INIGroup::create() { return ref<cls_INIGroup>(new cls_INIGroup()); }

using detail::made_on_first_use;

ref<cls_INIValues> cls_INIGroup::VALUES() { return made_on_first_use(values_); }

ref<cls_INIGroups> cls_INIGroup::CHILDREN() { return made_on_first_use(children_); }

namespace {

// Look-ups read collections that do not exist yet as empty ones; creating
// them here would be invisible to clients but costly on large trees.
bool has_value(cls_INIGroup& g, const Variant& name) {
    cls_INIValues* v = g.values_if_any();
    return v && v->EXISTS(name);
}

bool has_child_named(cls_INIGroup& g, const Variant& name) {
    cls_INIGroups* c = g.children_if_any();
    return c && c->EXISTS(name);
}

// Depth-first walk over the groups below a start group, in pre-order,
// without native recursion. A group met a second time (a client linked a
// group into its own subtree, or into two places) is not searched again:
// its first visit already gave its answer.
class Walk {
public:
    explicit Walk(cls_INIGroup& start) { restart(start); }

    // Confines the walk to the subtree below g.
    void restart(cls_INIGroup& g) {
        stack_.clear();
        visited_.insert(&g);
        push(g);
    }

    // The next group in pre-order, or nothing when the walk is done.
    ref<cls_INIGroup> next() {
        while (!stack_.empty()) {
            Frame& top = stack_.back();
            if (top.next > top.count) {
                stack_.pop_back();
                continue;
            }
            ref<cls_INIGroup> child = top.group->children_if_any()->Item(Variant(top.next++), true);
            if (!child) raise(hr::OBJECT_NOT_SET, "Object variable not set: a child group slot is empty");
            if (!visited_.insert(child.get()).second) continue;
            return child;
        }
        return nullptr;
    }

    void descend(cls_INIGroup& g) { push(g); }

private:
    struct Frame {
        ref<cls_INIGroup> group;
        std::int32_t next;
        std::int32_t count;
    };
    void push(cls_INIGroup& g) {
        cls_INIGroups* c = g.children_if_any();
        std::int32_t n = c ? c->COUNT() : 0;
        if (n > 0) stack_.push_back({ref<cls_INIGroup>(&g), 1, n});
    }
    std::vector<Frame> stack_;
    std::unordered_set<const cls_INIGroup*> visited_;
};

} // namespace

bool cls_INIGroup::EXISTS(const std::string& pName, bool pRecurse) {
    const Variant name(pName);
    if (has_value(*this, name) || has_child_named(*this, name)) return true;
    if (!pRecurse) return false;
    ref<cls_INIGroup> keep(this);
    Walk walk(*this);
    while (ref<cls_INIGroup> g = walk.next()) {
        if (has_value(*g, name) || has_child_named(*g, name)) return true;
        walk.descend(*g);
    }
    return false;
}

// The content of the value of that name in a group, if it has one.
static bool value_in(cls_INIGroup& g, const Variant& name, Variant& out) {
    cls_INIValues* v = g.values_if_any();
    return v && v->value_content(name, out);
}

Variant cls_INIGroup::VALUE(const std::string& pName, const Variant& pDefaultValue, bool pRecurse) {
    const Variant name(pName);
    const Variant fallback = pDefaultValue;
    Variant found;
    if (value_in(*this, name, found)) return found;
    if (!pRecurse) return fallback;
    // The first group in pre-order that holds a value or a child group of
    // that name decides: its value is the answer; a group of that name alone
    // confines the search to its own subtree.
    ref<cls_INIGroup> keep(this);
    Walk walk(*this);
    while (ref<cls_INIGroup> g = walk.next()) {
        if (value_in(*g, name, found)) return found;
        if (has_child_named(*g, name))
            walk.restart(*g);
        else
            walk.descend(*g);
    }
    return fallback;
}

// ---------------------------------------------------------------------------

cls_INI::cls_INI() : Persistable("cls_INI") {}
ref<cls_INI> cls_INI::create() { return ref<cls_INI>(new cls_INI()); }

ref<cls_INIGroup> cls_INI::ROOT() { return made_on_first_use(root_); }

ref<cls_INIEnums> cls_INI::ENUMS() { return made_on_first_use(enums_); }

Variant cls_INI::VALUE(const std::string& pName, const Variant& pDefaultValue, bool pRecurse) {
    return ROOT()->VALUE(pName, pDefaultValue, pRecurse);
}

} // namespace tr47

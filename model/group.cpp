// cls_INIGroup: values and child groups, and the look-ups by name that
// search a group and (recursively) the groups below it.
#include <unordered_set>

#include "corelib/key_hash.hpp"
#include "model/collection_core.hpp"
#include "model/internal.hpp"

namespace tr47 {

using detail::CollectionCore;
using detail::NormalisedKey;
using detail::PackedForm;
using detail::PackedGroup;
using detail::PackedValue;

cls_INIGroup::cls_INIGroup() : Persistable("cls_INIGroup") {}
ref<cls_INIGroup> cls_INIGroup::create() { return ref<cls_INIGroup>(new cls_INIGroup()); }

using detail::made_on_first_use;

cls_INIGroup::~cls_INIGroup() = default;

ref<cls_INIValues> cls_INIGroup::VALUES() {
    if (cls_INIValues* v = values_.load_acquire()) return ref<cls_INIValues>(v);
    // Made by whichever thread asks first, from copies of the pending
    // values: other threads may be reading those in place meanwhile.
    ref<cls_INIValues> fresh = cls_INIValues::create();
    if (pending_values_) CollectionCore::of(*fresh).adopt(pending_values_->records(), pending_values_->pools);
    values_.publish(fresh.get());
    return ref<cls_INIValues>(values_.load_acquire());
}

void cls_INIGroup::VALUES(ref<cls_INIValues> v) {
    values_ = std::move(v);
    pending_values_.reset();
}

cls_INIValues* cls_INIGroup::values_if_any() const {
    if (cls_INIValues* v = values_.load_acquire()) return v;
    return pending_values_ ? const_cast<cls_INIGroup*>(this)->VALUES().get() : nullptr;
}

void cls_INIGroup::SORT(std::string v) {
    if (!extra_) {
        if (v.empty()) return;
        extra_ = std::make_unique<Extra>();
    }
    extra_->sort = std::move(v);
}

void cls_INIGroup::DESCRIPTION(std::string v) {
    if (!extra_) {
        if (v.empty()) return;
        extra_ = std::make_unique<Extra>();
    }
    extra_->description = std::move(v);
}

void cls_INIGroup::NAME(std::string v) {
    settle_identifier();
    name_ = std::move(v);
}

ref<cls_INIGroups> cls_INIGroup::CHILDREN() { return made_on_first_use(children_); }

namespace {

// Look-ups read collections that do not exist yet as empty ones; creating
// them here would be invisible to clients but costly on large trees.
// Look-ups on value records in position order, with the same outcome as on
// the collection they would become: the first entry of that name wins.
bool record_value(const detail::RecordList<PackedValue>& values, const NormalisedKey& wanted, Variant& out) {
    for (const PackedValue& v : values) {
        if (v.form() == PackedForm::Object) {
            if (wanted.matches(v.u.object->NAME())) {
                out = v.u.object->CONTENT();
                return true;
            }
        } else if (v.form() == PackedForm::Packed && wanted.matches(v.key())) {
            out = v.content();
            return true;
        }
    }
    return false;
}

// A group's own value of that name: through its collection when one was
// made, else on its pending records.
bool own_value(const cls_INIGroup& g, std::string_view name, const NormalisedKey& key, Variant& out) {
    if (cls_INIValues* v = detail::GroupAccess::values_made(g))
        return CollectionCore::of(*v).value_content(name, key, out);
    const detail::PendingValues* pending = detail::GroupAccess::pending(g);
    if (!pending) return false;
    return pending->stored_count ? pending->find_stored(key, out) : record_value(pending->values, key, out);
}

bool has_value(cls_INIGroup& g, const Variant& name, const NormalisedKey& wanted) {
    if (cls_INIValues* v = detail::GroupAccess::values_made(g)) return v->EXISTS(name);
    Variant unused;
    return name.is_string() && own_value(g, name.string(), wanted, unused);
}

bool has_child_named(cls_INIGroup& g, const Variant& name) {
    cls_INIGroups* c = g.children_if_any();
    return c && c->EXISTS(name);
}

// Depth-first walk over the groups below a start group, in pre-order,
// without native recursion. A group met a second time (a client linked a
// group into its own subtree, or into two places) is not searched again:
// its first visit already gave its answer.
//
// Groups still packed are read in place, not made real: a look-up over a
// large imported tree then costs no memory per group. Their records stay
// put while the walk holds a pin on the collection they live in. A walk
// that holds pins never waits for another thread; where it would have to
// (a group kept stored must be read, a pin is refused), it gives up its
// pins and walks that part again, making its groups real.
class Walk {
public:
    // A group of the walk: real, or a packed record.
    struct Node {
        ref<cls_INIGroup> real;
        const PackedGroup* packed = nullptr;
    };

    explicit Walk(cls_INIGroup& start) {
        visited_.insert(&start);
        push_real(start);
    }
    ~Walk() {
        while (!stack_.empty()) pop();
    }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // The next group in pre-order; false when the walk is done.
    bool next(Node& node) {
        node = Node();
        while (stack_.size() > floor_) {
            Frame& top = stack_.back();
            if (top.next > top.count) {
                pop();
                continue;
            }
            if (top.record) {
                const PackedGroup& c = top.record->children[static_cast<std::size_t>(top.next - 1)];
                if (c.form == PackedForm::Packed) {
                    ++top.next;
                    node.packed = &c;
                    return true;
                }
                if (c.form == PackedForm::Object && c.object) {
                    ++top.next;
                    if (visit(*c.object)) {
                        node.real = ref<cls_INIGroup>(c.object);
                        return true;
                    }
                    continue;
                }
                give_up_pins(); // kept stored: it must be read
                continue;
            }
            if (top.pin == Pin::Untried) {
                top.pin = top.children->pin_records() ? Pin::Held : Pin::Refused;
                if (top.pin == Pin::Held) {
                    ++pins_;
                    top.visits_before = visit_log_.size();
                    top.floor_before = floor_;
                } else if (pins_ > 0) {
                    give_up_pins();
                    continue;
                }
            }
            if (top.pin == Pin::Held) {
                const CollectionCore::Peek seen = top.children->peek(top.next);
                if (seen.packed) {
                    ++top.next;
                    node.packed = seen.packed;
                    return true;
                }
                if (seen.real) {
                    ++top.next;
                    auto* g = static_cast<cls_INIGroup*>(seen.real);
                    if (visit(*g)) {
                        node.real = ref<cls_INIGroup>(g);
                        return true;
                    }
                    continue;
                }
                // An empty slot, or a group kept stored: made real below,
                // without pins.
                give_up_pins();
                continue;
            }
            ref<cls_INIGroup> child = top.group->children_if_any()->Item(Variant(top.next++), true);
            if (!child) raise(hr::OBJECT_NOT_SET, "Object variable not set: a child group slot is empty");
            if (!visit(*child)) continue;
            node.real = std::move(child);
            return true;
        }
        return false;
    }

    // Goes on below the node just returned; true when it has children.
    bool descend(const Node& node) {
        if (node.real) return push_real(*node.real);
        if (node.packed->children.empty()) return false;
        // The last child of a packed group needs no frame of its parent
        // below its own: a chain of single children walks in one frame.
        // (Packed frames hold no pin; the pin of the collection their
        // records live in belongs to a real frame further down.)
        if (stack_.back().record && stack_.back().next > stack_.back().count) stack_.pop_back();
        Frame f;
        f.record = node.packed;
        f.count = static_cast<std::int32_t>(node.packed->children.size());
        stack_.push_back(std::move(f));
        return true;
    }

    // Confines the rest of the walk to the subtree below the node just
    // returned.
    void confine(const Node& node) { floor_ = descend(node) ? stack_.size() - 1 : stack_.size(); }

private:
    enum class Pin : std::uint8_t { Untried, Held, Refused };
    struct Frame {
        ref<cls_INIGroup> group; // a real group's children ...
        CollectionCore* children = nullptr;
        const PackedGroup* record = nullptr; // ... or a packed one's
        std::int32_t next = 1;
        std::int32_t count = 0;
        Pin pin = Pin::Untried;
        std::size_t visits_before = 0; // while pinned: what giving up undoes
        std::size_t floor_before = 0;
    };

    bool push_real(cls_INIGroup& g) {
        cls_INIGroups* c = g.children_if_any();
        const std::int32_t n = c ? c->COUNT() : 0;
        if (n <= 0) return false;
        Frame f;
        f.group = ref<cls_INIGroup>(&g);
        f.children = &CollectionCore::of(*c);
        f.count = n;
        stack_.push_back(std::move(f));
        return true;
    }

    void pop() {
        Frame& f = stack_.back();
        if (f.pin == Pin::Held) {
            f.children->unpin_records();
            --pins_;
        }
        stack_.pop_back();
    }

    bool visit(cls_INIGroup& g) {
        if (!visited_.insert(&g).second) return false;
        if (pins_ > 0) visit_log_.push_back(&g);
        return true;
    }

    // Index of the lowest frame holding a pin (0 when none does).
    std::size_t pinned_below() const {
        if (pins_ == 0) return 0;
        for (std::size_t i = 0; i < stack_.size(); ++i)
            if (stack_[i].pin == Pin::Held) return i;
        return 0;
    }

    // Back to the lowest pinned frame, which walks its current child again
    // without pins; the groups visited since it pinned count as unvisited.
    void give_up_pins() {
        if (pins_ == 0) {
            // Only the top frame tried: it goes on without pins.
            stack_.back().pin = Pin::Refused;
            return;
        }
        const std::size_t lowest = pinned_below();
        const bool inside = stack_.size() - 1 > lowest;
        while (stack_.size() - 1 > lowest) pop();
        Frame& f = stack_.back();
        if (inside) --f.next;
        f.children->unpin_records();
        --pins_;
        f.pin = Pin::Refused;
        for (std::size_t i = f.visits_before; i < visit_log_.size(); ++i) visited_.erase(visit_log_[i]);
        visit_log_.resize(f.visits_before);
        floor_ = f.floor_before;
    }

    std::vector<Frame> stack_;
    std::size_t floor_ = 0; // the walk ends when the stack falls to this
    std::size_t pins_ = 0;
    std::unordered_set<const cls_INIGroup*> visited_;
    std::vector<const cls_INIGroup*> visit_log_;
};

// Look-ups on a packed group, with the same outcome as on the real group
// it would become: the first entry of that name in position order wins.
bool packed_child_named(const PackedGroup& g, const Variant& name, const NormalisedKey& wanted) {
    for (const PackedGroup& c : g.children) {
        if (c.form == PackedForm::Object) {
            const Variant& id = c.object->DATA()->identifier();
            if (id.is_string() ? wanted.matches(id.string()) : name.equals(id)) return true;
        } else if (c.form != PackedForm::None && wanted.matches(c.key())) {
            return true;
        }
    }
    return false;
}

} // namespace

bool cls_INIGroup::EXISTS(const std::string& pName, bool pRecurse) {
    const Variant name(pName);
    const NormalisedKey wanted(pName);
    if (has_value(*this, name, wanted) || has_child_named(*this, name)) return true;
    if (!pRecurse) return false;
    ref<cls_INIGroup> keep(this);
    Variant scratch;
    Walk walk(*this);
    Walk::Node g;
    while (walk.next(g)) {
        if (g.real ? has_value(*g.real, name, wanted) || has_child_named(*g.real, name)
                   : record_value(g.packed->values, wanted, scratch) || packed_child_named(*g.packed, name, wanted))
            return true;
        walk.descend(g);
    }
    return false;
}

Variant cls_INIGroup::VALUE(const std::string& pName, const Variant& pDefaultValue, bool pRecurse) {
    Variant found;
    const NormalisedKey wanted(pName);
    if (own_value(*this, pName, wanted, found)) return found;
    if (!pRecurse) return pDefaultValue;
    const Variant fallback = pDefaultValue;
    const Variant name(pName);
    // The first group in pre-order that holds a value or a child group of
    // that name decides: its value is the answer; a group of that name alone
    // confines the search to its own subtree.
    ref<cls_INIGroup> keep(this);
    Walk walk(*this);
    Walk::Node g;
    while (walk.next(g)) {
        if (g.real ? own_value(*g.real, pName, wanted, found) : record_value(g.packed->values, wanted, found))
            return found;
        if (g.real ? has_child_named(*g.real, name) : packed_child_named(*g.packed, name, wanted))
            walk.confine(g);
        else
            walk.descend(g);
    }
    return fallback;
}

} // namespace tr47

// A short list whose first element lives inline.
#pragma once

#include <cstddef>
#include <vector>

namespace tr47::detail {

// A short list whose first element is kept inline: nearly every list of this
// kind (the holders of an object, the positions of a key) has one element,
// which then costs no allocation and no second memory access. T{} marks
// "no element".
template <class T>
class InlineFirstList {
public:
    void push_back(T v) {
        if (first_ == T{})
            first_ = v;
        else
            more_.push_back(v);
    }
    bool empty() const noexcept { return first_ == T{}; }
    std::size_t size() const noexcept { return empty() ? 0 : 1 + more_.size(); }
    // Replaces `from` by `to`, or removes it when `to` is T{} (the others keep
    // their order); false when `from` is not in the list.
    bool replace(T from, T to) {
        if (from == T{}) return false;
        if (first_ == from) {
            if (to != T{}) {
                first_ = to;
            } else if (more_.empty()) {
                first_ = T{};
            } else {
                first_ = more_.front();
                more_.erase(more_.begin());
            }
            return true;
        }
        for (auto it = more_.begin(); it != more_.end(); ++it)
            if (*it == from) {
                if (to != T{})
                    *it = to;
                else
                    more_.erase(it);
                return true;
            }
        return false;
    }
    template <class F>
    void for_each(F&& f) const {
        if (first_ != T{}) f(first_);
        for (T v : more_) f(v);
    }

private:
    T first_{};
    std::vector<T> more_;
};

} // namespace tr47::detail

// Depth guard of nested persistence operations (copy, pack, unpack, store,
// read): they recurse one level per nested object, so a very deep tree gets
// a clear limit error instead of exhausting the native stack.
#pragma once

namespace tr47::detail {

class PersistNesting {
public:
    PersistNesting();
    ~PersistNesting();
    PersistNesting(const PersistNesting&) = delete;
    PersistNesting& operator=(const PersistNesting&) = delete;
};

} // namespace tr47::detail

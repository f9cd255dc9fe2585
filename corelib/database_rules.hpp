// The look-up rules of a database object, run on one collection that has
// no database object: a collection makes its database object only when a
// client asks for it, and answers through the same rules until then.
#pragma once

#include "tr47ini/corelib.hpp"

namespace tr47::detail {

struct SoleSink {
    DatabaseEvents& sink;
    std::int32_t count();
    bool exists(const Variant& ID);
    ref<Object> item(const Variant& ID, bool forceIndex);
    bool remove(const Variant& ID, bool forceIndex);
    void add(const ref<tmp_Data>& entry, const Variant& ID);
};

} // namespace tr47::detail

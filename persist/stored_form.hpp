// What the stored forms, copies and packages of the model's classes share.
#pragma once

#include "model/internal.hpp"

namespace tr47::detail {

// The object a copy comes from, which must be of the same class.
template <class T>
T& same_class(const ref<tmp_Data>& other, const char* className) {
    T* t = dynamic_cast<T*>(other.get());
    if (!t) raise(hr::TYPE_MISMATCH, std::string("Type mismatch: copy into a ") + className + " from another class");
    return *t;
}

inline Packer packer() { return GlobalObject::instance().toolkit().packer(); }

inline void write_one(FileObject& f, const Variant& v) { f.write_value(v); }

// First value of every stored form; false when it is not ours to read.
inline bool read_version(FileObject& f) {
    std::string version;
    f.read_values({Target(&version)});
    return is_format_version(version);
}

inline DataObject& data_of(const ref<DataObject>& d) {
    if (!d) raise(hr::OBJECT_NOT_SET, "Object variable not set: no data object");
    return *d;
}

} // namespace tr47::detail

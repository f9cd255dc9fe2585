// cls_INIEnum: a named list of members (its IMPORT of member text lives
// with the other importers, in import/enumeration.cpp).
#include "model/internal.hpp"

namespace tr47 {

cls_INIEnum::cls_INIEnum() : Persistable("cls_INIEnum") {}
ref<cls_INIEnum> cls_INIEnum::create() { return ref<cls_INIEnum>(new cls_INIEnum()); }

ref<MemberList> cls_INIEnum::VALUES() { return detail::made_on_first_use(values_); }

std::string cls_INIEnum::NAME() const {
    ref<DataObject> d = DATA();
    if (!d) raise(hr::OBJECT_NOT_SET, "Object variable not set: the enumeration has no data object");
    return d->identifier().to_text();
}

void cls_INIEnum::NAME(const std::string& v) {
    ref<DataObject> d = DATA();
    if (!d) raise(hr::OBJECT_NOT_SET, "Object variable not set: the enumeration has no data object");
    d->identifier(Variant(v));
}

} // namespace tr47

#include "model/internal.hpp"

namespace tr47 {

cls_INIValue::cls_INIValue() : Persistable("cls_INIValue") {}
ref<cls_INIValue> cls_INIValue::create() { return ref<cls_INIValue>(new cls_INIValue()); }

void cls_INIValue::NAME(std::string v) {
    name_ = std::move(v);
    key_changed();
}

void cls_INIValue::ENUMREF(ref<cls_INIEnum> v) { enumref_ = std::move(v); }

// ---------------------------------------------------------------------------

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

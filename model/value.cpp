// cls_INIValue: one named, typed value of a group.
#include "model/internal.hpp"

namespace tr47 {

cls_INIValue::cls_INIValue() : Persistable("cls_INIValue") {}
ref<cls_INIValue> cls_INIValue::create() { return ref<cls_INIValue>(new cls_INIValue()); }

void cls_INIValue::NAME(std::string v) {
    name_ = std::move(v);
    key_changed();
}

void cls_INIValue::ENUMREF(ref<cls_INIEnum> v) { enumref_ = std::move(v); }

} // namespace tr47

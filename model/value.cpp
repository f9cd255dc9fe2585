// cls_INIValue: one named, typed value of a group.
#include "model/internal.hpp"

namespace tr47 {

const char* value_sort_name(std::int32_t sort) noexcept {
    switch (sort) {
    case ID_INIValueSort_String: return "String";
    case ID_INIValueSort_Long: return "Long";
    case ID_INIValueSort_Enum: return "Enum";
    case ID_INIValueSort_Double: return "Double";
    case ID_INIValueSort_Date: return "Date";
    case ID_INIValueSort_Boolean: return "Boolean";
    case ID_INIValueSort_Color: return "Color";
    default: return nullptr;
    }
}

cls_INIValue::cls_INIValue() : Persistable("cls_INIValue") {}
ref<cls_INIValue> cls_INIValue::create() { return ref<cls_INIValue>(new cls_INIValue()); }

void cls_INIValue::NAME(std::string v) {
    settle_identifier();
    name_ = std::move(v);
    key_changed();
}

void cls_INIValue::ENUMREF(ref<cls_INIEnum> v) { enumref_ = std::move(v); }

} // namespace tr47

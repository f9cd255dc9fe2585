// Objects of the model made from their class names, as stored forms and
// packages name them.
#include "model/internal.hpp"

namespace tr47 {

namespace detail {

ref<tmp_Data> create_by_class_name(std::string_view className) {
    const std::string& base = library_base_name();
    if (className.size() <= base.size() + 1 || className.substr(0, base.size()) != base ||
        className[base.size()] != '.')
        return nullptr;
    std::string_view cls = className.substr(base.size() + 1);
    if (cls == "cls_INI") return cls_INI::create();
    if (cls == "cls_INIGroup") return cls_INIGroup::create();
    if (cls == "cls_INIValue") return cls_INIValue::create();
    if (cls == "cls_INIEnum") return cls_INIEnum::create();
    if (cls == "cls_INIValues") return cls_INIValues::create();
    if (cls == "cls_INIGroups") return cls_INIGroups::create();
    if (cls == "cls_INIEnums") return cls_INIEnums::create();
    if (cls == "cls_MemberList") return MemberList::create();
    return nullptr;
}

} // namespace detail

} // namespace tr47

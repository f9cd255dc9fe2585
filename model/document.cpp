// cls_INI: the document, its root group and its enumerations.
#include "model/internal.hpp"

namespace tr47 {

using detail::made_on_first_use;

cls_INI::cls_INI() : Persistable("cls_INI") {}
ref<cls_INI> cls_INI::create() { return ref<cls_INI>(new cls_INI()); }

ref<cls_INIGroup> cls_INI::ROOT() { return made_on_first_use(root_); }

ref<cls_INIEnums> cls_INI::ENUMS() { return made_on_first_use(enums_); }

Variant cls_INI::VALUE(const std::string& pName, const Variant& pDefaultValue, bool pRecurse) {
    return ROOT()->VALUE(pName, pDefaultValue, pRecurse);
}

} // namespace tr47

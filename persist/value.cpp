// cls_INIValue: copy, pack, unpack, store, read and spawn.
// NAME, SORT, CONTENT, DESCRIPTION; ENUMREF only in copies.
#include "persist/stored_form.hpp"

namespace tr47 {

using detail::data_of;
using detail::kFormatVersion;
using detail::packer;
using detail::read_version;
using detail::same_class;
using detail::write_one;

void cls_INIValue::DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) {
    auto& o = same_class<cls_INIValue>(pOther, "cls_INIValue");
    ref<tmp_Data> keep = pOther;
    data_of(DATA()).identifier(data_of(o.DATA()).identifier());
    NAME(o.name_);
    sort_ = o.sort_;
    content_ = o.content_;
    description_ = o.description_;
    enumref_ = o.enumref_;
    pcDone = true;
}

void cls_INIValue::DataPACK(std::string& pcPackage) {
    pcPackage =
        packer().pack_values({PackElement(data_of(DATA()).identifier()), PackElement(Variant(name_)),
                              PackElement(Variant(sort_)), PackElement(content_), PackElement(Variant(description_))});
}

void cls_INIValue::DataUnpack(std::string& prPackage) {
    std::string id;
    packer().unpack_values(prPackage,
                           {Target(&id), Target(&name_), Target(&sort_), Target(&content_), Target(&description_)});
    key_changed();
    data_of(DATA()).identifier(Variant(id));
}

void cls_INIValue::DataStore(FileObject& f) {
    write_one(f, Variant(kFormatVersion));
    write_one(f, data_of(DATA()).identifier());
    write_one(f, Variant(name_));
    write_one(f, Variant(sort_));
    write_one(f, content_);
    write_one(f, Variant(description_));
}

void cls_INIValue::DataRead(FileObject& f) {
    if (!read_version(f)) return;
    data_of(DATA()).identifier(f.read_value());
    f.read_values({Target(&name_)});
    key_changed();
    f.read_values({Target(&sort_)});
    f.read_values({Target(&content_)});
    f.read_values({Target(&description_)});
}

void cls_INIValue::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

} // namespace tr47

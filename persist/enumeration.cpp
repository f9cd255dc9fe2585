// cls_INIEnum: copy, pack, unpack, store, read and spawn.
// the identifier is its NAME; VALUES (member list), DESCRIPTION.
#include "persist/stored_form.hpp"

namespace tr47 {

using detail::data_of;
using detail::kFormatVersion;
using detail::packer;
using detail::read_version;
using detail::same_class;
using detail::write_one;

void cls_INIEnum::DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) {
    auto& o = same_class<cls_INIEnum>(pOther, "cls_INIEnum");
    ref<tmp_Data> keep = pOther;
    data_of(DATA()).identifier(data_of(o.DATA()).identifier());
    if (&o != this) data_of(VALUES()->DATA()).copy(o.VALUES());
    description_ = o.description_;
    pcDone = true;
}

void cls_INIEnum::DataPACK(std::string& pcPackage) {
    Variant id = data_of(DATA()).identifier();
    std::string members = data_of(VALUES()->DATA()).pack();
    pcPackage =
        packer().pack_values({PackElement(id), PackElement(Variant(members)), PackElement(Variant(description_))});
}

void cls_INIEnum::DataUnpack(std::string& prPackage) {
    std::string id, members;
    packer().unpack_values(prPackage, {Target(&id), Target(&members), Target(&description_)});
    data_of(DATA()).identifier(Variant(id));
    data_of(VALUES()->DATA()).unpack(members);
}

void cls_INIEnum::DataStore(FileObject& f) {
    write_one(f, Variant(kFormatVersion));
    write_one(f, data_of(DATA()).identifier());
    write_one(f, Variant(description_));
    data_of(VALUES()->DATA()).store(f);
}

void cls_INIEnum::DataRead(FileObject& f) {
    if (!read_version(f)) return;
    data_of(DATA()).identifier(f.read_value());
    f.read_values({Target(&description_)});
    data_of(VALUES()->DATA()).read(f);
}

void cls_INIEnum::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

} // namespace tr47

// cls_INI: copy, pack, unpack, store, read and spawn.
// children ROOT, ENUMS before VERSION, CONTENT in copies and
// packages; the fields before the children in stored forms.
#include "persist/stored_form.hpp"

namespace tr47 {

using detail::data_of;
using detail::kFormatVersion;
using detail::packer;
using detail::read_version;
using detail::same_class;
using detail::write_one;

void cls_INI::DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) {
    auto& o = same_class<cls_INI>(pOther, "cls_INI");
    ref<tmp_Data> keep = pOther;
    data_of(DATA()).identifier(data_of(o.DATA()).identifier());
    if (&o != this) {
        data_of(ROOT()->DATA()).copy(o.ROOT());
        data_of(ENUMS()->DATA()).copy(o.ENUMS());
    }
    version_ = o.version_;
    content_ = o.content_;
    pcDone = true;
}

void cls_INI::DataPACK(std::string& pcPackage) {
    Variant id = data_of(DATA()).identifier();
    std::string root = data_of(ROOT()->DATA()).pack();
    std::string enums = data_of(ENUMS()->DATA()).pack();
    pcPackage = packer().pack_values({PackElement(id), PackElement(Variant(std::move(root))),
                                      PackElement(Variant(std::move(enums))), PackElement(Variant(version_)),
                                      PackElement(Variant(content_))});
}

void cls_INI::DataUnpack(std::string& prPackage) {
    std::string id, root, enums;
    packer().unpack_values(prPackage,
                           {Target(&id), Target(&root), Target(&enums), Target(&version_), Target(&content_)});
    data_of(DATA()).identifier(Variant(id));
    data_of(ROOT()->DATA()).unpack(root);
    data_of(ENUMS()->DATA()).unpack(enums);
}

void cls_INI::DataStore(FileObject& f) {
    write_one(f, Variant(kFormatVersion));
    write_one(f, data_of(DATA()).identifier());
    write_one(f, Variant(version_));
    write_one(f, Variant(content_));
    data_of(ROOT()->DATA()).store(f);
    data_of(ENUMS()->DATA()).store(f);
}

void cls_INI::DataRead(FileObject& f) {
    if (!read_version(f)) return;
    data_of(DATA()).identifier(f.read_value());
    f.read_values({Target(&version_)});
    f.read_values({Target(&content_)});
    data_of(ROOT()->DATA()).read(f);
    data_of(ENUMS()->DATA()).read(f);
}

void cls_INI::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

} // namespace tr47

// cls_INIGroup: copy, pack, unpack, store, read and spawn.
// SORT, NAME, DESCRIPTION; children VALUES, CHILDREN.
#include "persist/stored_form.hpp"

namespace tr47 {

using detail::data_of;
using detail::kFormatVersion;
using detail::packer;
using detail::read_version;
using detail::same_class;
using detail::write_one;

void cls_INIGroup::DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) {
    auto& o = same_class<cls_INIGroup>(pOther, "cls_INIGroup");
    ref<tmp_Data> keep = pOther;
    data_of(DATA()).identifier(data_of(o.DATA()).identifier());
    SORT(o.SORT());
    name_ = o.name_;
    DESCRIPTION(o.DESCRIPTION());
    // Copying a group onto itself must not empty its collections first.
    if (&o != this) {
        data_of(VALUES()->DATA()).copy(o.VALUES());
        data_of(CHILDREN()->DATA()).copy(o.CHILDREN());
    }
    pcDone = true;
}

void cls_INIGroup::DataPACK(std::string& pcPackage) {
    Variant id = data_of(DATA()).identifier();
    std::string values = data_of(VALUES()->DATA()).pack();
    std::string children = data_of(CHILDREN()->DATA()).pack();
    pcPackage = packer().pack_values({PackElement(id), PackElement(Variant(SORT())), PackElement(Variant(name_)),
                                      PackElement(Variant(DESCRIPTION())), PackElement(Variant(std::move(values))),
                                      PackElement(Variant(std::move(children)))});
}

void cls_INIGroup::DataUnpack(std::string& prPackage) {
    std::string id, values, children;
    // Unpacked in place, so that the fields read stay read when a later one fails.
    if (!extra_) extra_ = std::make_unique<Extra>();
    packer().unpack_values(prPackage, {Target(&id), Target(&extra_->sort), Target(&name_), Target(&extra_->description),
                                       Target(&values), Target(&children)});
    data_of(DATA()).identifier(Variant(id));
    data_of(VALUES()->DATA()).unpack(values);
    data_of(CHILDREN()->DATA()).unpack(children);
}

void cls_INIGroup::DataStore(FileObject& f) {
    write_one(f, Variant(kFormatVersion));
    write_one(f, data_of(DATA()).identifier());
    write_one(f, Variant(SORT()));
    write_one(f, Variant(name_));
    write_one(f, Variant(DESCRIPTION()));
    data_of(VALUES()->DATA()).store(f);
    data_of(CHILDREN()->DATA()).store(f);
}

void cls_INIGroup::DataRead(FileObject& f) {
    if (!read_version(f)) return;
    data_of(DATA()).identifier(f.read_value());
    std::string text;
    f.read_values({Target(&text)});
    SORT(std::move(text));
    f.read_values({Target(&name_)});
    text.clear();
    f.read_values({Target(&text)});
    DESCRIPTION(std::move(text));
    data_of(VALUES()->DATA()).read(f);
    data_of(CHILDREN()->DATA()).read(f);
}

void cls_INIGroup::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

} // namespace tr47

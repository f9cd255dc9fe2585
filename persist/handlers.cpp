// The class-specific side of copy, pack, unpack, store, read and spawn:
// which fields and child objects take part, and in which order.
#include "model/internal.hpp"

namespace tr47 {

namespace {

using detail::kFormatVersion;

template <class T>
T& same_class(const ref<tmp_Data>& other, const char* className) {
    T* t = dynamic_cast<T*>(other.get());
    if (!t) raise(hr::TYPE_MISMATCH, std::string("Type mismatch: copy into a ") + className + " from another class");
    return *t;
}

Packer packer() { return GlobalObject::instance().toolkit().packer(); }

void write_one(FileObject& f, const Variant& v) { f.write_value(v); }

// First value of every stored form; false when it is not ours to read.
bool read_version(FileObject& f) {
    std::string version;
    f.read_values({Target(&version)});
    return detail::is_format_version(version);
}

DataObject& data_of(const ref<DataObject>& d) {
    if (!d) raise(hr::OBJECT_NOT_SET, "Object variable not set: no data object");
    return *d;
}

} // namespace

// ---------------------------------------------------------------------------
// cls_INIValue: NAME, SORT, CONTENT, DESCRIPTION; ENUMREF only in copies.

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

// ---------------------------------------------------------------------------
// cls_INIEnum: the identifier is its NAME; VALUES (member list), DESCRIPTION.

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

// ---------------------------------------------------------------------------
// cls_INIGroup: SORT, NAME, DESCRIPTION; children VALUES, CHILDREN.

void cls_INIGroup::DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) {
    auto& o = same_class<cls_INIGroup>(pOther, "cls_INIGroup");
    ref<tmp_Data> keep = pOther;
    data_of(DATA()).identifier(data_of(o.DATA()).identifier());
    sort_ = o.sort_;
    name_ = o.name_;
    description_ = o.description_;
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
    pcPackage = packer().pack_values({PackElement(id), PackElement(Variant(sort_)), PackElement(Variant(name_)),
                                      PackElement(Variant(description_)), PackElement(Variant(std::move(values))),
                                      PackElement(Variant(std::move(children)))});
}

void cls_INIGroup::DataUnpack(std::string& prPackage) {
    std::string id, values, children;
    packer().unpack_values(prPackage, {Target(&id), Target(&sort_), Target(&name_), Target(&description_),
                                       Target(&values), Target(&children)});
    data_of(DATA()).identifier(Variant(id));
    data_of(VALUES()->DATA()).unpack(values);
    data_of(CHILDREN()->DATA()).unpack(children);
}

void cls_INIGroup::DataStore(FileObject& f) {
    write_one(f, Variant(kFormatVersion));
    write_one(f, data_of(DATA()).identifier());
    write_one(f, Variant(sort_));
    write_one(f, Variant(name_));
    write_one(f, Variant(description_));
    data_of(VALUES()->DATA()).store(f);
    data_of(CHILDREN()->DATA()).store(f);
}

void cls_INIGroup::DataRead(FileObject& f) {
    if (!read_version(f)) return;
    data_of(DATA()).identifier(f.read_value());
    f.read_values({Target(&sort_)});
    f.read_values({Target(&name_)});
    f.read_values({Target(&description_)});
    data_of(VALUES()->DATA()).read(f);
    data_of(CHILDREN()->DATA()).read(f);
}

void cls_INIGroup::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

// ---------------------------------------------------------------------------
// cls_INI: children ROOT, ENUMS before VERSION, CONTENT in copies and
// packages; the fields before the children in stored forms.

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

// ---------------------------------------------------------------------------

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

// The three keyed collections (cls_INIValues, cls_INIGroups, cls_INIEnums)
// and the binding that every object of the model shares (Persistable).
#include "model/collection_core.hpp"
#include "model/internal.hpp"

namespace tr47 {

namespace detail {

// ---------------------------------------------------------------------------
// Persistable

Persistable::Persistable(const char* className) : class_name_(className) {}

ref<DataObject> Persistable::DATA() const {
    if (DataObject* d = data_.load_acquire()) return ref<DataObject>(d);
    if (data_assigned_) return nullptr;
    ref<DataObject> fresh = DataObject::create();
    // Millions of objects are made per import: look the full class name up
    // once per class (and thread), not once per object. The cache is plain
    // data: a thread-local object with a destructor would pin the library
    // in memory until the thread ends.
    struct NameCache {
        const char* key[8];
        const std::string* interned[8];
        unsigned count;
    };
    thread_local NameCache names{};
    const std::string* interned = nullptr;
    for (unsigned i = 0; i < names.count && !interned; ++i)
        if (names.key[i] == class_name_) interned = names.interned[i];
    if (!interned) {
        interned = DataObject::intern_class_name(library_base_name() + "." + class_name_);
        if (names.count < 8) {
            names.key[names.count] = class_name_;
            names.interned[names.count++] = interned;
        }
    }
    fresh->class_name(interned);
    if (const std::string* name = name_as_identifier()) fresh->init_identifier(Variant(*name));
    // Whichever thread asks first makes it; the others take the same one.
    auto* self = const_cast<Persistable*>(this);
    fresh->bind(self);
    if (!data_.publish(fresh.get())) fresh->unbind(self);
    return ref<DataObject>(data_.load_acquire());
}

void Persistable::key_changed() noexcept { CollectionCore::key_changed(*this); }

Persistable::~Persistable() {
    if (data_) data_->unbind(this);
}

void Persistable::DATA(ref<DataObject> data) {
    if (data_) data_->unbind(this);
    data_ = std::move(data);
    data_assigned_ = true;
    if (data_) data_->bind(this);
    key_changed();
}

// ---------------------------------------------------------------------------
// CollectionBase: the public members, each handed to the core.

CollectionBase::CollectionBase(const char* className, Kind kind)
        : Persistable(className), core_(std::make_unique<CollectionCore>(*this, kind)) {}

CollectionBase::~CollectionBase() = default;

ref<DatabaseObject> CollectionBase::DATABASE() const { return core_->database_object(); }
void CollectionBase::DATABASE(ref<DatabaseObject> database) { core_->set_database(std::move(database)); }

bool CollectionBase::EXISTS(const Variant& pID) { return core_->exists(pID); }
std::int32_t CollectionBase::COUNT() { return core_->count(); }
bool CollectionBase::REMOVE(const Variant& pID, bool pForceIndex) { return core_->remove(pID, pForceIndex); }

bool CollectionBase::allocated() const { return core_->allocated(); }
std::int32_t CollectionBase::upper_bound() const { return core_->upper_bound(); }
ref<tmp_Data> CollectionBase::slot(std::int32_t position) { return core_->entry_at(position); }
void CollectionBase::rebuild(std::int32_t n) { core_->rebuild(n); }
const std::string& CollectionBase::entry_class_name() const { return core_->entry_class_name(); }

ref<Object> CollectionBase::item_object(const Variant& pID, bool pForceIndex) {
    return core_->item_object(pID, pForceIndex);
}
void CollectionBase::add_entry(const ref<tmp_Data>& entry, const Variant& ID) { core_->add(entry, ID); }

void CollectionBase::DatabaseClear() { core_->clear(); }
void CollectionBase::DatabaseCount(std::int32_t& ret) {
    // A groups collection without an array leaves the count to the others
    // that share its database object.
    if (core_->allocated()) ret = core_->upper_bound();
}
void CollectionBase::DatabaseImport(const ref<tmp_Data>& NewEntry, const Variant& ID) { core_->import(NewEntry, ID); }
void CollectionBase::DatabaseItem(ref<tmp_Data>& rRet, std::int32_t pIndex) { rRet = core_->entry_at(pIndex); }
void CollectionBase::DatabaseItemObj(ref<Object>& rRet, std::int32_t pIndex) { rRet = core_->entry_at(pIndex); }
void CollectionBase::DatabaseRemove(std::int32_t ID) { core_->remove(ID); }
void CollectionBase::DatabaseSearch(std::int32_t& ret, const Variant& ID) {
    if (core_->allocated()) ret = core_->search(ID);
}

void CollectionBase::DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) {
    auto* other = dynamic_cast<CollectionBase*>(pOther.get());
    if (!other) raise(hr::TYPE_MISMATCH, "Type mismatch: copy of a collection from another class");
    ref<tmp_Data> keep = pOther;
    core_->copy_from(*other);
    pcDone = true;
}

void CollectionBase::DataPACK(std::string& pcPackage) {
    Variant id = DATA()->identifier();
    pcPackage = GlobalObject::instance().toolkit().packer().pack_values({PackElement(id), PackElement(this)});
}

void CollectionBase::DataUnpack(std::string& prPackage) {
    std::string id;
    GlobalObject::instance().toolkit().packer().unpack_values(prPackage, {Target(&id), Target(this)});
    DATA()->identifier(Variant(id));
}

void CollectionBase::DataStore(FileObject& f) { core_->store(f); }
void CollectionBase::DataRead(FileObject& f) { core_->read(f); }

} // namespace detail

// ---------------------------------------------------------------------------
// The three collection classes

cls_INIValues::cls_INIValues() : CollectionBase("cls_INIValues", Kind::Values) {}
ref<cls_INIValues> cls_INIValues::create() { return ref<cls_INIValues>(new cls_INIValues()); }

ref<cls_INIValue> cls_INIValues::Item(const Variant& pID, bool pForceIndex) {
    return ref<cls_INIValue>(static_cast<cls_INIValue*>(item_object(pID, pForceIndex).get()));
}

ref<cls_INIValue> cls_INIValues::ADD(const ref<tmp_Data>& pEntry, const Variant& pID) {
    add_entry(pEntry, pID);
    return Item(Variant(COUNT()), true);
}

ref<cls_INIValue> cls_INIValues::CREATE(const std::string& pName, const Variant& pContent, std::int32_t pType) {
    ref<cls_INIValue> v = cls_INIValue::create();
    v->NAME(pName);
    v->CONTENT(pContent);
    v->SORT(pType);
    add_entry(v, Variant(pName));
    return Item(Variant(COUNT()), true);
}

void cls_INIValues::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

cls_INIEnums::cls_INIEnums() : CollectionBase("cls_INIEnums", Kind::Enums) {}
ref<cls_INIEnums> cls_INIEnums::create() { return ref<cls_INIEnums>(new cls_INIEnums()); }

ref<cls_INIEnum> cls_INIEnums::Item(const Variant& pID, bool pForceIndex) {
    return ref<cls_INIEnum>(static_cast<cls_INIEnum*>(item_object(pID, pForceIndex).get()));
}

ref<cls_INIEnum> cls_INIEnums::ADD(const ref<tmp_Data>& pEntry, const Variant& pID) {
    add_entry(pEntry, pID);
    return Item(Variant(COUNT()), false);
}

ref<cls_INIEnum> cls_INIEnums::CREATE(const std::string& pName) {
    ref<cls_INIEnum> e = cls_INIEnum::create();
    e->NAME(pName);
    add_entry(e, Variant(pName));
    return Item(Variant(COUNT()), false);
}

void cls_INIEnums::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

cls_INIGroups::cls_INIGroups() : CollectionBase("cls_INIGroups", Kind::Groups) {}
ref<cls_INIGroups> cls_INIGroups::create() { return ref<cls_INIGroups>(new cls_INIGroups()); }

ref<cls_INIGroup> cls_INIGroups::Item(const Variant& pID, bool pForceIndex) {
    return ref<cls_INIGroup>(static_cast<cls_INIGroup*>(item_object(pID, pForceIndex).get()));
}

ref<cls_INIGroup> cls_INIGroups::ADD(const ref<tmp_Data>& pEntry, const Variant& pID) {
    add_entry(pEntry, pID);
    return Item(Variant(COUNT()), true);
}

ref<cls_INIGroup> cls_INIGroups::CREATE(const std::string& pName, const std::string& pSort) {
    ref<cls_INIGroup> g = cls_INIGroup::create();
    g->SORT(pSort);
    g->NAME(pName);
    add_entry(g, Variant(pName));
    return Item(Variant(COUNT()), true);
}

void cls_INIGroups::DataSpawn(ref<tmp_Data>& pcNewInstance) { pcNewInstance = create(); }

} // namespace tr47

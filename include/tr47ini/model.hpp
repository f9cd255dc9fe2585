// The object model: document, groups, values, enumerations and the keyed
// collections that hold them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tr47ini/corelib.hpp"

namespace tr47 {

/// Kind of a value. The numbers are fixed (there is no 5).
enum enm_INIValueSort : std::int32_t {
    ID_INIValueSort_String = 0,
    ID_INIValueSort_Long = 1,
    ID_INIValueSort_Enum = 2,
    ID_INIValueSort_Double = 3,
    ID_INIValueSort_Date = 4,
    ID_INIValueSort_Boolean = 6,
    ID_INIValueSort_Color = 7,
};

/// The name of a kind ("String", "Long", "Enum", "Double", "Date",
/// "Boolean", "Color"); null for a number that names no kind.
TR47_INI_API const char* value_sort_name(std::int32_t sort) noexcept;

class cls_INI;
class cls_INIEnum;
class cls_INIEnums;
class cls_INIGroup;
class cls_INIGroups;
class cls_INIValue;
class cls_INIValues;

/// One problem found while importing an INI file.
struct TR47_INI_API Diagnostic {
    std::string file;
    std::int64_t line = 0; ///< line number of the statement's last physical line
    std::string statement; ///< the logical line as the parser saw it
    std::string message; ///< the message text, as shown to the user
};

namespace detail {

class CollectionBase;
class CollectionCore;

/// Common part of the seven classes: the data object binding.
class TR47_INI_API Persistable : public tmp_Data, protected DataEvents {
public:
    /// The data object, made on first use (null after DATA was set to Nothing).
    ref<DataObject> DATA() const override;
    /// Moves the event binding to the new data object.
    void DATA(ref<DataObject> data);

protected:
    explicit Persistable(const char* className);
    ~Persistable() override;
    /// This object's key (its NAME or identifier) changed: the collections
    /// that hold it look their indexes over again.
    void key_changed() noexcept;
    void DataKeyChanged() override { key_changed(); }

private:
    friend class CollectionCore;
    // Made on first use: most collections of a large tree are never asked
    // for theirs.
    mutable ref<DataObject> data_;
    const char* class_name_;
    // The collection slots holding this object, and their collection when
    // that is exactly one, so that a key change touches one index only.
    std::uint32_t in_collections_ = 0;
    bool data_assigned_ = false; // DATA was set (Nothing included)
    CollectionBase* holder_ = nullptr;
};

/// What the three collections share: the database object that answers
/// their look-ups, and the members every keyed collection has.
class TR47_INI_API CollectionBase : public Persistable,
                                    public tmp_Database,
                                    protected DatabaseEvents,
                                    public SlotArray {
public:
    ref<DatabaseObject> DATABASE() const override;
    /// Moves the event binding to the new database object.
    void DATABASE(ref<DatabaseObject> database);

    /// Whether an entry has that key (or is at that position, for a long).
    bool EXISTS(const Variant& pID);
    /// Number of entries (0 for groups that hold no array).
    std::int32_t COUNT();
    /// Removes the entry of that key or position (the last entry takes its
    /// place); false when no key matches, error 9 for a position outside.
    bool REMOVE(const Variant& pID, bool pForceIndex = false);
    /// Replaces the entries with those of a file written by SAVE; false when
    /// the file is not of this class, errors otherwise.
    bool LOAD(const std::string& pFile, const std::string& pPW = {});
    /// Writes the collection and everything below it to a file; an empty
    /// password writes it unprotected.
    bool SAVE(const std::string& pFile, const std::string& pPW = {});

    // The entries as the packer and the stored form reach them.
    bool allocated() const override;
    std::int32_t upper_bound() const override;
    ref<tmp_Data> slot(std::int32_t position) override;
    void rebuild(std::int32_t n) override;
    const std::string& entry_class_name() const override;

protected:
    enum class Kind { Values, Groups, Enums };
    CollectionBase(const char* className, Kind kind);
    ~CollectionBase() override;

    /// The entry that the database object finds for a key or position.
    ref<Object> item_object(const Variant& pID, bool pForceIndex);
    void add_entry(const ref<tmp_Data>& entry, const Variant& ID);

    void DatabaseClear() override;
    void DatabaseCount(std::int32_t& ret) override;
    void DatabaseImport(const ref<tmp_Data>& NewEntry, const Variant& ID) override;
    void DatabaseItem(ref<tmp_Data>& rRet, std::int32_t pIndex) override;
    void DatabaseItemObj(ref<Object>& rRet, std::int32_t pIndex) override;
    void DatabaseRemove(std::int32_t ID) override;
    void DatabaseSearch(std::int32_t& ret, const Variant& ID) override;

    void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) override;
    void DataPACK(std::string& pcPackage) override;
    void DataUnpack(std::string& prPackage) override;
    void DataStore(FileObject& pFile) override;
    void DataRead(FileObject& pFile) override;

private:
    friend class CollectionCore;
    std::unique_ptr<CollectionCore> core_;
};

} // namespace detail

// ---------------------------------------------------------------------------

class TR47_INI_API cls_INIValue final : public detail::Persistable {
public:
    static ref<cls_INIValue> create();

    const std::string& NAME() const noexcept { return name_; }
    void NAME(std::string v);
    std::int32_t SORT() const noexcept { return sort_; }
    void SORT(std::int32_t v) noexcept { sort_ = v; }
    const Variant& CONTENT() const noexcept { return content_; }
    void CONTENT(Variant v) { content_ = std::move(v); }
    const std::string& DESCRIPTION() const noexcept { return description_; }
    void DESCRIPTION(std::string v) { description_ = std::move(v); }
    const ref<cls_INIEnum>& ENUMREF() const noexcept { return enumref_; }
    void ENUMREF(ref<cls_INIEnum> v);
    using Persistable::DATA;

private:
    cls_INIValue();
    void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) override;
    void DataPACK(std::string& pcPackage) override;
    void DataUnpack(std::string& prPackage) override;
    void DataStore(FileObject& pFile) override;
    void DataRead(FileObject& pFile) override;
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;

    std::string name_;
    std::int32_t sort_ = ID_INIValueSort_String;
    Variant content_;
    std::string description_;
    ref<cls_INIEnum> enumref_;
};

class TR47_INI_API cls_INIEnum final : public detail::Persistable {
public:
    static ref<cls_INIEnum> create();

    ref<MemberList> VALUES();
    void VALUES(ref<MemberList> v) { values_ = std::move(v); }
    const std::string& DESCRIPTION() const noexcept { return description_; }
    void DESCRIPTION(std::string v) { description_ = std::move(v); }
    using Persistable::DATA;
    std::string NAME() const;
    void NAME(const std::string& v);

    bool IMPORT(const std::string& pData);

private:
    cls_INIEnum();
    void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) override;
    void DataPACK(std::string& pcPackage) override;
    void DataUnpack(std::string& prPackage) override;
    void DataStore(FileObject& pFile) override;
    void DataRead(FileObject& pFile) override;
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;

    ref<MemberList> values_;
    std::string description_;
};

class TR47_INI_API cls_INIValues final : public detail::CollectionBase {
public:
    static ref<cls_INIValues> create();

    ref<cls_INIValue> Item(const Variant& pID, bool pForceIndex = true);
    ref<cls_INIValue> ADD(const ref<tmp_Data>& pEntry, const Variant& pID = Variant::omitted());
    ref<cls_INIValue> CREATE(const std::string& pName, const Variant& pContent,
                             std::int32_t pType = ID_INIValueSort_String);

private:
    cls_INIValues();
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;
};

class TR47_INI_API cls_INIEnums final : public detail::CollectionBase {
public:
    static ref<cls_INIEnums> create();

    ref<cls_INIEnum> Item(const Variant& pID, bool pForceIndex = false);
    ref<cls_INIEnum> ADD(const ref<tmp_Data>& pEntry, const Variant& pID = Variant::omitted());
    ref<cls_INIEnum> CREATE(const std::string& pName);

private:
    cls_INIEnums();
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;
};

class TR47_INI_API cls_INIGroups final : public detail::CollectionBase {
public:
    static ref<cls_INIGroups> create();

    ref<cls_INIGroup> Item(const Variant& pID, bool pForceIndex = true);
    ref<cls_INIGroup> ADD(const ref<tmp_Data>& pEntry, const Variant& pID = Variant::omitted());
    ref<cls_INIGroup> CREATE(const std::string& pName = {}, const std::string& pSort = {});
    /// Reads the top-level "BEGIN" blocks of an INI file into this collection.
    bool IMPORT(const std::string& pFile, bool pOutputErrors = true, const ref<cls_INI>& pRoot = nullptr);

private:
    cls_INIGroups();
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;
};

class TR47_INI_API cls_INIGroup final : public detail::Persistable {
public:
    static ref<cls_INIGroup> create();

    const std::string& SORT() const noexcept { return sort_; }
    void SORT(std::string v) { sort_ = std::move(v); }
    const std::string& NAME() const noexcept { return name_; }
    void NAME(std::string v) { name_ = std::move(v); }
    const std::string& DESCRIPTION() const noexcept { return description_; }
    void DESCRIPTION(std::string v) { description_ = std::move(v); }
    ref<cls_INIValues> VALUES();
    void VALUES(ref<cls_INIValues> v) { values_ = std::move(v); }
    ref<cls_INIGroups> CHILDREN();
    void CHILDREN(ref<cls_INIGroups> v) { children_ = std::move(v); }
    using Persistable::DATA;

    /// Reads this group's block from an open reader (see the import docs).
    bool IMPORT(const ref<ReaderObject>& vAcc, bool pOutputErrors = true, const ref<cls_INI>& pRoot = nullptr);
    /// Whether a value or a child group of that name is here or, with
    /// pRecurse, anywhere below. A group reached twice (a client linked a
    /// group into its own subtree) is searched only the first time.
    bool EXISTS(const std::string& pName, bool pRecurse = false);
    /// Content of the value of that name; the default (or the omitted-argument
    /// marker) when there is none.
    Variant VALUE(const std::string& pName, const Variant& pDefaultValue = Variant::omitted(), bool pRecurse = false);

    /// The collections if they exist, without creating them.
    cls_INIValues* values_if_any() const noexcept { return values_.load_acquire(); }
    cls_INIGroups* children_if_any() const noexcept { return children_.load_acquire(); }

private:
    cls_INIGroup();
    void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) override;
    void DataPACK(std::string& pcPackage) override;
    void DataUnpack(std::string& prPackage) override;
    void DataStore(FileObject& pFile) override;
    void DataRead(FileObject& pFile) override;
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;

    std::string sort_;
    std::string name_;
    std::string description_;
    ref<cls_INIValues> values_;
    ref<cls_INIGroups> children_;
};

class TR47_INI_API cls_INI final : public detail::Persistable {
public:
    static ref<cls_INI> create();

    ref<cls_INIGroup> ROOT();
    void ROOT(ref<cls_INIGroup> v) { root_ = std::move(v); }
    ref<cls_INIEnums> ENUMS();
    void ENUMS(ref<cls_INIEnums> v) { enums_ = std::move(v); }
    const std::string& VERSION() const noexcept { return version_; }
    void VERSION(std::string v) { version_ = std::move(v); }
    const std::string& CONTENT() const noexcept { return content_; }
    void CONTENT(std::string v) { content_ = std::move(v); }
    using Persistable::DATA;

    bool LOAD(const std::string& pFile, const std::string& pPW = {});
    bool SAVE(const std::string& pFile, const std::string& pPW = {});
    bool IMPORT(const std::string& pFile, bool pOutputErrors = true);
    Variant VALUE(const std::string& pName, const Variant& pDefaultValue = Variant::omitted(), bool pRecurse = true);

    /// Problems found by the last IMPORT, whether or not they were shown.
    const std::vector<Diagnostic>& diagnostics() const noexcept { return diagnostics_; }

private:
    cls_INI();
    void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) override;
    void DataPACK(std::string& pcPackage) override;
    void DataUnpack(std::string& prPackage) override;
    void DataStore(FileObject& pFile) override;
    void DataRead(FileObject& pFile) override;
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;

    ref<cls_INIGroup> root_;
    ref<cls_INIEnums> enums_;
    std::string version_;
    std::string content_;
    std::vector<Diagnostic> diagnostics_;
};

} // namespace tr47

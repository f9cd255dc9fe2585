// The object model: document, groups, values, enumerations and the keyed
// collections that hold them.
#pragma once

#include <atomic>
#include <string>
#include <unordered_map>
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
struct PackedAccess;
struct PackedSlots;
struct PackedValue;
struct PackedGroup;
template <class T>
class RecordList;
class PackedPool;

/// Common part of the seven classes: the data object binding.
class TR47_INI_API Persistable : public tmp_Data, protected DataEvents {
public:
    ref<DataObject> DATA() const override { return data_; }
    /// Moves the event binding to the new data object.
    void DATA(ref<DataObject> data);

protected:
    explicit Persistable(const char* className);
    ~Persistable() override;

private:
    friend class CollectionBase;
    ref<DataObject> data_;

protected:
    /// Number of collection slots that hold this object, and the collection
    /// when that is exactly one (else null). A key change of an object held
    /// in collections makes their key indexes stale: its one holder's alone
    /// when it is known, every index otherwise.
    std::uint32_t in_collections_ = 0;
    CollectionBase* holder_ = nullptr;
    void joined(CollectionBase* collection) noexcept { holder_ = in_collections_++ == 0 ? collection : nullptr; }
    void left() noexcept {
        --in_collections_;
        holder_ = nullptr;
    }
    void key_changed() noexcept;
    void DataKeyChanged() override { key_changed(); }
};

/// Storage and lookup shared by the three collections: a slot array with a
/// placeholder slot 0 (amortised growth behind it), the seven database
/// events, and a key index that keeps look-ups O(1) on average while the
/// first match in position order still wins.
class TR47_INI_API CollectionBase : public Persistable,
                                    public tmp_Database,
                                    protected DatabaseEvents,
                                    public SlotArray {
public:
    ref<DatabaseObject> DATABASE() const override { return database_; }
    void DATABASE(ref<DatabaseObject> database);

    bool EXISTS(const Variant& pID);
    std::int32_t COUNT();
    bool REMOVE(const Variant& pID, bool pForceIndex = false);
    bool LOAD(const std::string& pFile, const std::string& pPW = {});
    bool SAVE(const std::string& pFile, const std::string& pPW = {});

    /// Whether entries may be appended in packed form: the database object
    /// raises its events on this collection alone, so appending past it is
    /// the same as adding through it.
    bool accepts_packed() const noexcept;
    void append_packed(PackedValue&& record, const ref<PackedPool>& pool);
    void append_packed(PackedGroup&& record, const ref<PackedPool>& pool);
    /// Appends records (with the pools their texts live in) at the end.
    void adopt(RecordList<PackedValue>&& records, const std::vector<ref<PackedPool>>& pools);
    void adopt(RecordList<PackedGroup>&& records, const std::vector<ref<PackedPool>>& pools);

    /// SlotArray
    bool allocated() const override { return kind_ != Kind::Groups || allocated_; }
    std::int32_t upper_bound() const override {
        return slots_.empty() ? 0 : static_cast<std::int32_t>(slots_.size()) - 1;
    }
    ref<tmp_Data> slot(std::int32_t position) override;
    void rebuild(std::int32_t n) override;
    const std::string& entry_class_name() const override;

    /// VALUE's look-up in a values collection: the content of the first
    /// value of that NAME, found in one search and read without making a
    /// packed value real; false when there is none.
    bool value_content(const Variant& name, Variant& out);

    /// The key of an entry held here alone changed: the index looks again.
    void keys_changed() noexcept { local_generation_.fetch_add(1, std::memory_order_relaxed); }

    /// Walks over the tree read group records in place instead of making
    /// every group real. While a walk holds a pin on a collection whose
    /// search is its own, a thread that would take one of its records over
    /// waits; a pin is refused while a slot is being filled (false).
    bool pin_records() noexcept;
    void unpin_records() noexcept { walkers_.fetch_sub(1, std::memory_order_release); }
    /// What a pinned walk finds at a position without making anything real:
    /// the real entry, the packed record, or neither (the entry must be
    /// made real first).
    struct Peek {
        Persistable* real = nullptr;
        const PackedGroup* packed = nullptr;
    };
    Peek peek(std::int32_t position) const noexcept;

protected:
    enum class Kind { Values, Groups, Enums };
    CollectionBase(const char* className, Kind kind);
    ~CollectionBase() override;

    /// Entry at a position as the model sees it (create-on-read for values
    /// and enumerations); out-of-range raises.
    ref<Persistable> entry_at(std::int32_t position);
    ref<Persistable> new_entry() const;
    ref<Object> item_object(const Variant& pID, bool pForceIndex);
    void add_entry(const ref<tmp_Data>& entry, const Variant& ID);

    /// DatabaseEvents
    void DatabaseClear() override;
    void DatabaseCount(std::int32_t& ret) override;
    void DatabaseImport(const ref<tmp_Data>& NewEntry, const Variant& ID) override;
    void DatabaseItem(ref<tmp_Data>& rRet, std::int32_t pIndex) override;
    void DatabaseItemObj(ref<Object>& rRet, std::int32_t pIndex) override;
    void DatabaseRemove(std::int32_t ID) override;
    void DatabaseSearch(std::int32_t& ret, const Variant& ID) override;

    /// DataEvents
    void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) override;
    void DataPACK(std::string& pcPackage) override;
    void DataUnpack(std::string& prPackage) override;
    void DataStore(FileObject& pFile) override;
    void DataRead(FileObject& pFile) override;

    Kind kind_;

private:
    friend struct PackedAccess;
    Variant key_of(Persistable* entry) const;
    /// Key of the entry at a position without making a packed one real: a
    /// text in `text` (true) or another value in `other`.
    bool key_at(std::int32_t position, std::string_view& text, Variant& other);
    bool packed_at(std::int32_t position) const noexcept;
    /// Fills an empty slot on first read (from its packed record, or a new
    /// entry), published once for all reading threads.
    ref<Persistable> fill_slot(std::int32_t position);
    void make_real(std::int32_t position);
    /// Groups: the slot array (with its placeholder) exists.
    void ensure_array();
    PackedSlots& packed_slots();
    void check_position(std::int32_t position) const;
    void set_slot(std::size_t position, ref<Persistable> entry);
    void drop_index() noexcept;
    /// The current index, built when there is none and no other thread is
    /// building one; null when another thread is.
    struct Index;
    Index* current_index();
    bool is_current(const Index* index) const noexcept;
    std::int32_t search_linear(const Variant& ID);

    ref<DatabaseObject> database_;
    std::vector<ref<Persistable>> slots_; ///< slot 0 is the placeholder
    bool allocated_ = false; ///< groups: whether the array exists

    struct Index {
        std::uint64_t generation = 0; ///< the library-wide key generation
        std::uint64_t local_generation = 0; ///< this collection's
        /// Positions that share one key.
        std::unordered_map<std::string, InlineFirstList<std::int32_t>> positions;
        InlineFirstList<std::int32_t> non_text; ///< positions whose key is no string
        Index* retired_next = nullptr;
    };
    /// Readers on several threads may build and publish an index; one that
    /// a newer index replaced stays until the next change of the collection,
    /// as a reader may still be using it.
    std::atomic<Index*> index_{nullptr};
    std::atomic<Index*> retired_{nullptr};
    std::atomic<bool> building_index_{false};
    std::atomic<bool> filling_slot_{false};
    std::atomic<std::uint32_t> walkers_{0}; // pins of walks reading records in place
    std::atomic<std::uint64_t> local_generation_{0};
    std::atomic<std::uint32_t> empty_slots_{0}; ///< slots that hold no entry (groups)
    /// Packed records of the slots not made real yet (values and groups).
    std::unique_ptr<PackedSlots> packed_;
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
    friend class detail::CollectionBase;
    friend struct detail::PackedAccess;
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
    friend struct detail::PackedAccess;
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

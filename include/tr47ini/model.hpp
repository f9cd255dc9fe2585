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
    std::string file; ///< the file's path, as IMPORT (or the reader) was given it
    std::int64_t line = 0; ///< line number of the statement's last physical line; 0 for the file itself
    std::string statement; ///< the logical line as the parser saw it; empty for the file itself
    std::string message; ///< the message text, as shown to the user
};

namespace detail {

class CollectionBase;
class CollectionCore;
struct GroupAccess;
struct PendingValues;

/// Common part of the seven classes: the data object binding.
class TR47_INI_API Persistable : public tmp_Data, protected DataEvents {
public:
    /// The data object this object is bound to (identifier, class name, copy, pack and store), made on first
    /// use. Empty after DATA(nullptr); the members that need it then fail (hr::OBJECT_NOT_SET).
    ref<DataObject> DATA() const override;
    /// Moves the event binding to the new data object (nullptr unbinds); the collections holding this object
    /// look its key up again.
    void DATA(ref<DataObject> data);

protected:
    /// @cond internal
    explicit Persistable(const char* className);
    ~Persistable() override;
    /// This object's key (its NAME or identifier) changed: the collections
    /// that hold it look their indexes over again.
    void key_changed() noexcept;
    void DataKeyChanged() override { key_changed(); }
    /// Makes the data object now if its identifier is still to come from the name, so that a change of the name
    /// does not change the identifier.
    void settle_identifier() const {
        if (name_as_identifier()) DATA();
    }
    /// @endcond

private:
    friend class CollectionCore;
    // The name that an identifier which follows the name takes (null: none).
    virtual const std::string* identifier_name() const noexcept { return nullptr; }
    // The name, while no data object holds the identifier yet and the
    // identifier is still that name (null otherwise).
    const std::string* name_as_identifier() const noexcept {
        return identifier_is_name_ && !data_assigned_ && !data_.load_acquire() ? identifier_name() : nullptr;
    }
    // Made on first use: most collections of a large tree are never asked
    // for theirs.
    mutable ref<DataObject> data_;
    const char* class_name_;
    // The collection slots holding this object, and their collection when
    // that is exactly one, so that a key change touches one index only.
    std::uint32_t in_collections_ = 0;
    bool data_assigned_ = false; // DATA was set (Nothing included)
    // Groups and values made by the thousand from packed records: until the
    // data object is made, the identifier is the name, and no data object
    // is needed to find the entry by its key.
    bool identifier_is_name_ = false;
    CollectionBase* holder_ = nullptr;
};

/// What the three collections share: the database object that answers
/// their look-ups, and the members every keyed collection has.
class TR47_INI_API CollectionBase : public Persistable,
                                    public tmp_Database,
                                    protected DatabaseEvents,
                                    public SlotArray {
public:
    /// The database object that answers the look-ups; each collection has its own (made when first asked for)
    /// until another is set. EXISTS,
    /// COUNT, REMOVE, Item, ADD and CREATE raise hr::OBJECT_NOT_SET while there is none.
    ref<DatabaseObject> DATABASE() const override;
    /// Moves the event binding to the new database object (which other collections may share; nullptr unbinds).
    void DATABASE(ref<DatabaseObject> database);

    /// Whether an entry has that key (blanks at the ends and case ignored) or, for a long, whether 1..COUNT holds
    /// that position; never raises for a position. hr::OBJECT_NOT_SET when the search meets an empty group slot.
    bool EXISTS(const Variant& pID);
    /// Number of entries (0 for groups that hold no array).
    std::int32_t COUNT();
    /// Removes the entry of that key (the first match) or position, the last entry taking its place; false when no
    /// key matches, hr::OUT_OF_RANGE (9) for a position outside 1..COUNT. pForceIndex (default false): see Item.
    bool REMOVE(const Variant& pID, bool pForceIndex = false);
    /// Replaces the entries with those that SAVE wrote to pFile under pPW (default none); false on any failure. A
    /// missing or damaged file or a wrong password changes nothing; the file's class is not checked.
    bool LOAD(const std::string& pFile, const std::string& pPW = {});
    /// Writes the collection and everything below it to pFile, encrypted under pPW (default none: unprotected);
    /// the file is replaced only when complete. False on any failure.
    bool SAVE(const std::string& pFile, const std::string& pPW = {});

    /// False for a groups collection that holds no array (none made yet, or its last entry removed).
    bool allocated() const override;
    /// Highest position (0 when empty).
    std::int32_t upper_bound() const override;
    /// The entry at a position, made on first read (an empty group slot gives an empty reference);
    /// hr::OUT_OF_RANGE (9) outside 1..upper_bound().
    ref<tmp_Data> slot(std::int32_t position) override;
    /// Drops every entry and fills positions 1..n with new default entries (n = 0 drops a groups array).
    void rebuild(std::int32_t n) override;
    /// Class name of the entries ("TR47_INI.cls_INIValue", "TR47_INI.cls_INIGroup" or "TR47_INI.cls_INIEnum").
    const std::string& entry_class_name() const override;

protected:
    /// @cond internal
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
    /// @endcond

private:
    friend class CollectionCore;
    std::unique_ptr<CollectionCore> core_;
};

} // namespace detail

// ---------------------------------------------------------------------------

/// A named, typed value of a group.
class TR47_INI_API cls_INIValue final : public detail::Persistable {
public:
    /// A new value: empty NAME, SORT ID_INIValueSort_String, Empty CONTENT, no ENUMREF.
    static ref<cls_INIValue> create();

    /// Name, the value's key in its collection (compared trimmed, case ignored); default empty. Setting it makes
    /// the collections holding the value find it by the new name.
    const std::string& NAME() const noexcept { return name_; }
    void NAME(std::string v);
    /// Kind (enm_INIValueSort); default ID_INIValueSort_String. Any number is kept as set.
    std::int32_t SORT() const noexcept { return sort_; }
    void SORT(std::int32_t v) noexcept { sort_ = v; }
    /// Content as imported or set (imported numbers are doubles, colours longs); default Empty.
    const Variant& CONTENT() const noexcept { return content_; }
    void CONTENT(Variant v) { content_ = std::move(v); }
    /// Free text; default empty. The INI text has no form for it.
    const std::string& DESCRIPTION() const noexcept { return description_; }
    void DESCRIPTION(std::string v) { description_ = std::move(v); }
    /// The enumeration of an Enum value; empty by default, and after LOAD (the stored form does not keep it).
    const ref<cls_INIEnum>& ENUMREF() const noexcept { return enumref_; }
    void ENUMREF(ref<cls_INIEnum> v);
    using Persistable::DATA;

private:
    cls_INIValue();
    const std::string* identifier_name() const noexcept override { return &name_; }
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

/// An enumeration: a named list of members, each a name and a value text.
class TR47_INI_API cls_INIEnum final : public detail::Persistable {
public:
    /// A new enumeration: no members, empty NAME and DESCRIPTION.
    static ref<cls_INIEnum> create();

    /// The members in declaration order, made on first use.
    ref<MemberList> VALUES();
    void VALUES(ref<MemberList> v) { values_ = std::move(v); }
    /// Free text; default empty.
    const std::string& DESCRIPTION() const noexcept { return description_; }
    void DESCRIPTION(std::string v) { description_ = std::move(v); }
    using Persistable::DATA;
    /// Name: the data object's identifier as text (default empty), so setting it changes the key in the
    /// collections. hr::OBJECT_NOT_SET without a data object.
    std::string NAME() const;
    void NAME(const std::string& v);

    /// Appends members from the text "name, value, name, value, ..." (outer quotes or brackets of an item
    /// removed; a last name without value gets the empty text); true. hr::LIMIT_EXCEEDED beyond 4,194,304 items.
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

/// The values of a group, keyed by their NAME.
class TR47_INI_API cls_INIValues final : public detail::CollectionBase {
public:
    /// A new, empty collection.
    static ref<cls_INIValues> create();

    /// The first value of that NAME (trimmed, case ignored) or at that position (a long; with pForceIndex, default
    /// true, also a double or boolean); an empty reference when no name matches, hr::OUT_OF_RANGE (9) outside 1..COUNT.
    ref<cls_INIValue> Item(const Variant& pID, bool pForceIndex = true);
    /// Appends pEntry (nullptr: a new default value) and returns it; a given pID becomes its identifier, its key
    /// stays its NAME. hr::TYPE_MISMATCH for an object of another class.
    ref<cls_INIValue> ADD(const ref<tmp_Data>& pEntry, const Variant& pID = Variant::omitted());
    /// Appends a new value of that name, content and kind (default ID_INIValueSort_String) and returns it; a name
    /// already there is not checked (look-ups find the first).
    ref<cls_INIValue> CREATE(const std::string& pName, const Variant& pContent,
                             std::int32_t pType = ID_INIValueSort_String);

private:
    cls_INIValues();
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;
};

/// The enumerations of a document, keyed by their NAME.
class TR47_INI_API cls_INIEnums final : public detail::CollectionBase {
public:
    /// A new, empty collection.
    static ref<cls_INIEnums> create();

    /// The first enumeration of that NAME (trimmed, case ignored) or at that position (a long; with pForceIndex,
    /// default false, also a double or boolean); an empty reference when no name matches, hr::OUT_OF_RANGE (9) outside.
    ref<cls_INIEnum> Item(const Variant& pID, bool pForceIndex = false);
    /// Appends pEntry (nullptr: a new enumeration) and returns it; a given pID becomes its identifier, that is its
    /// NAME. hr::TYPE_MISMATCH for an object of another class.
    ref<cls_INIEnum> ADD(const ref<tmp_Data>& pEntry, const Variant& pID = Variant::omitted());
    /// Appends a new enumeration of that name and returns it; a name already there is not checked (look-ups find
    /// the first).
    ref<cls_INIEnum> CREATE(const std::string& pName);

private:
    cls_INIEnums();
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;
};

/// The child groups of a group, keyed by their identifier (which CREATE and IMPORT set to the NAME).
class TR47_INI_API cls_INIGroups final : public detail::CollectionBase {
public:
    /// A new, empty collection (it holds no array until the first entry comes).
    static ref<cls_INIGroups> create();

    /// The first group of that key (trimmed, case ignored) or at that position (a long; with pForceIndex, default
    /// true, also a double or boolean); an empty reference when no key matches, hr::OUT_OF_RANGE (9) outside 1..COUNT.
    ref<cls_INIGroup> Item(const Variant& pID, bool pForceIndex = true);
    /// Appends pEntry and returns it (nullptr keeps an empty slot and returns an empty reference); a given pID
    /// becomes its identifier, so its key. hr::TYPE_MISMATCH for an object of another class.
    ref<cls_INIGroup> ADD(const ref<tmp_Data>& pEntry, const Variant& pID = Variant::omitted());
    /// Appends a new group of that NAME and SORT (both default empty), keyed by pName, and returns it; a key
    /// already there is not checked (look-ups find the first).
    ref<cls_INIGroup> CREATE(const std::string& pName = {}, const std::string& pSort = {});
    /// Appends a group per "BEGIN name sort" line outside blocks, each read by cls_INIGroup::IMPORT with pOutputErrors
    /// (default true) and pRoot (default none); false for a missing or unreadable file, and at the first failed block.
    bool IMPORT(const std::string& pFile, bool pOutputErrors = true, const ref<cls_INI>& pRoot = nullptr);

private:
    cls_INIGroups();
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;
};

/// A group: its values and child groups.
///
/// The recursive look-ups (EXISTS, VALUE) search the group's own entries, then the groups below in depth-first
/// pre-order, each group once. VALUE takes the value from the first group that holds one of the name; a group that
/// holds a child group of the name first confines the rest of the search to its own subtree.
///
/// An import returns false, with a German message, for a statement not understood or an undeclared enumeration.
/// Other failures raise tr47::Error before a block's first value, and after it are passed over, kept as
/// diagnostics only.
class TR47_INI_API cls_INIGroup final : public detail::Persistable {
public:
    /// A new group: empty SORT, NAME and DESCRIPTION, no values, no child groups.
    static ref<cls_INIGroup> create();

    /// Sort: the first item of "BEGIN sort, name"; default empty.
    const std::string& SORT() const noexcept { return extra_ ? extra_->sort : no_text(); }
    void SORT(std::string v);
    /// Name; default empty. The key in a groups collection is the identifier, which CREATE and IMPORT set to the
    /// name: setting NAME alone does not change it.
    const std::string& NAME() const noexcept { return name_; }
    void NAME(std::string v);
    /// Free text; default empty. The INI text has no form for it.
    const std::string& DESCRIPTION() const noexcept { return extra_ ? extra_->description : no_text(); }
    void DESCRIPTION(std::string v);
    /// The group's own values, made on first use.
    ref<cls_INIValues> VALUES();
    void VALUES(ref<cls_INIValues> v);
    /// The child groups, made on first use.
    ref<cls_INIGroups> CHILDREN();
    void CHILDREN(ref<cls_INIGroups> v) { children_ = std::move(v); }
    using Persistable::DATA;

    /// Reads a block from a text reader up to its "END" or the file's end (true), pRoot (default none) holding its
    /// "ENUM"s; fails as the class says, with messages if pOutputErrors (default true). No reader: hr::OBJECT_NOT_SET.
    bool IMPORT(const ref<ReaderObject>& vAcc, bool pOutputErrors = true, const ref<cls_INI>& pRoot = nullptr);
    /// Whether a value or a child group of that name (trimmed, case ignored) is here or, with pRecurse (default
    /// false), anywhere below. A group reached twice (linked into its own subtree) is searched the first time only.
    bool EXISTS(const std::string& pName, bool pRecurse = false);
    /// Content of the first value of that name (trimmed, case ignored), else pDefaultValue (none given: the
    /// omitted-argument marker). pRecurse (default false) goes on below, as the class says.
    /// @code
    /// tr47::ref<tr47::cls_INIGroup> fonts = doc->ROOT()->CHILDREN()->Item("Fonts");
    /// if (fonts) std::cout << fonts->VALUE("Face", "Arial").to_text() << '\n'; // its own values only
    /// tr47::Variant size = doc->ROOT()->VALUE("Size", 10, true);              // the whole tree
    /// @endcode
    Variant VALUE(const std::string& pName, const Variant& pDefaultValue = Variant::omitted(), bool pRecurse = false);

    /// The values if the group has any (null otherwise): a group that holds none has no collection made for it.
    cls_INIValues* values_if_any() const;
    /// The child groups if they exist (null otherwise), without making them.
    cls_INIGroups* children_if_any() const noexcept { return children_.load_acquire(); }

    ~cls_INIGroup() override;

private:
    friend struct detail::GroupAccess;
    cls_INIGroup();
    const std::string* identifier_name() const noexcept override { return &name_; }
    void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) override;
    void DataPACK(std::string& pcPackage) override;
    void DataUnpack(std::string& prPackage) override;
    void DataStore(FileObject& pFile) override;
    void DataRead(FileObject& pFile) override;
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;

    static const std::string& no_text() noexcept {
        static const std::string empty;
        return empty;
    }
    // SORT and DESCRIPTION, which most groups leave empty, out of line.
    struct Extra {
        std::string sort, description;
    };
    std::unique_ptr<Extra> extra_;
    std::string name_;
    ref<cls_INIValues> values_;
    ref<cls_INIGroups> children_;
    // A few values made real from the import's records wait here until the
    // collection is first asked for: VALUE reads them in place.
    std::unique_ptr<detail::PendingValues> pending_values_;
};

/// A document: the root group that an INI file's top level imports into, and its enumerations.
class TR47_INI_API cls_INI final : public detail::Persistable {
public:
    /// A new, empty document.
    static ref<cls_INI> create();

    /// The root group, made on first use (again after ROOT(nullptr)).
    ref<cls_INIGroup> ROOT();
    void ROOT(ref<cls_INIGroup> v) { root_ = std::move(v); }
    /// The enumerations that "ENUM" statements declare, made on first use (again after ENUMS(nullptr)).
    ref<cls_INIEnums> ENUMS();
    void ENUMS(ref<cls_INIEnums> v) { enums_ = std::move(v); }
    /// Free text, kept by IMPORT and stored by SAVE; default empty.
    const std::string& VERSION() const noexcept { return version_; }
    void VERSION(std::string v) { version_ = std::move(v); }
    /// Free text, kept by IMPORT and stored by SAVE; default empty.
    const std::string& CONTENT() const noexcept { return content_; }
    void CONTENT(std::string v) { content_ = std::move(v); }
    using Persistable::DATA;

    /// Replaces the document with the one that SAVE wrote to pFile under pPW (default none); false on any failure.
    /// A missing or damaged file or a wrong password changes nothing; the file's class is not checked.
    /// @code
    /// tr47::ref<tr47::cls_INI> doc = tr47::cls_INI::create();
    /// if (!doc->LOAD("settings.tr47", "secret")) return false; // missing, damaged or another password
    /// std::string face = doc->VALUE("Face", "Arial").to_text();
    /// @endcode
    bool LOAD(const std::string& pFile, const std::string& pPW = {});
    /// Writes the document to pFile, encrypted under pPW (default none: unprotected); the file is replaced only
    /// when complete. False on any failure (no such folder, no permission, a tree too deep to store).
    /// @code
    /// tr47::ref<tr47::cls_INI> doc = tr47::cls_INI::create();
    /// doc->ROOT()->VALUES()->CREATE("Port", 8080, tr47::ID_INIValueSort_Long);
    /// if (!doc->SAVE("settings.tr47", "secret")) std::cerr << "settings.tr47 not written\n";
    /// @endcode
    bool SAVE(const std::string& pFile, const std::string& pPW = {});
    /// Adds an INI file's statements to ROOT and ENUMS. False for a missing or unreadable file and as cls_INIGroup
    /// says, with German messages when pOutputErrors (default true); diagnostics() keeps the problems.
    /// @code
    /// tr47::ref<tr47::cls_INI> doc = tr47::cls_INI::create();
    /// if (!doc->IMPORT("settings.ini", false)) // no messages; read the problems instead
    ///     for (const tr47::Diagnostic& d : doc->diagnostics()) std::cerr << d.line << ": " << d.message << '\n';
    /// @endcode
    bool IMPORT(const std::string& pFile, bool pOutputErrors = true);
    /// Content of the value of that name in the whole tree (pRecurse, default true) or in ROOT's own values, else
    /// pDefaultValue (none given: the omitted-argument marker): ROOT()->VALUE with the same arguments.
    /// @code
    /// std::int32_t port = doc->VALUE("Port", 8080).to_long();         // anywhere in the tree
    /// tr47::Variant face = doc->VALUE("Face", tr47::Variant(), false); // the root group's own values only
    /// if (doc->VALUE("Timeout").is_omitted()) std::cout << "no timeout\n";
    /// @endcode
    Variant VALUE(const std::string& pName, const Variant& pDefaultValue = Variant::omitted(), bool pRecurse = true);

    /// Problems found by the last IMPORT, whether or not they were shown (at most 10,000).
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

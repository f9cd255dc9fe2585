// The core library layer: data objects, database objects, the reader object,
// the text services and the global object through which the model reaches
// them.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tr47ini/core.hpp"

namespace tr47 {

class DataObject;
class DatabaseObject;
class FileObject;

// ---------------------------------------------------------------------------
// Persistable and collection interfaces implemented by the model.

/// Every persistable object: exposes the data object it is bound to.
class TR47_INI_API tmp_Data : public Object {
public:
    /// The data object this object is bound to (empty when it has none).
    virtual ref<DataObject> DATA() const = 0;
};

/// Every keyed collection: exposes its database object.
class TR47_INI_API tmp_Database {
public:
    /// The database object that answers the collection's look-ups (empty when it has none).
    virtual ref<DatabaseObject> DATABASE() const = 0;

protected:
    ~tmp_Database() = default;
};

/// The six events a data object raises on the object that holds it.
class TR47_INI_API DataEvents {
public:
    /// Copy: take over pOther's state (of the same class, else hr::TYPE_MISMATCH) and set pcDone.
    virtual void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) = 0;
    /// Pack: the state, and everything below it, as a package text into pcPackage.
    virtual void DataPACK(std::string& pcPackage) = 0;
    /// Unpack: the state back from a package; hr::BAD_FILE_FORMAT when it is malformed.
    virtual void DataUnpack(std::string& prPackage) = 0;
    /// Store: the stored form, and everything below it, written to pFile.
    virtual void DataStore(FileObject& pFile) = 0;
    /// Read: the stored form read back from pFile (one of another format version is passed over).
    virtual void DataRead(FileObject& pFile) = 0;
    /// Spawn: a new object of the same class into pcNewInstance.
    virtual void DataSpawn(ref<tmp_Data>& pcNewInstance) = 0;
    /// The identifier changed. Collections that index their entries by it
    /// must look again; an object that cannot tell which ones do makes every
    /// index look again.
    virtual void DataKeyChanged();

protected:
    ~DataEvents() = default;
};

/// The seven events a database object raises on its collection.
class TR47_INI_API DatabaseEvents {
public:
    /// Remove every entry.
    virtual void DatabaseClear() = 0;
    /// The number of entries into ret.
    virtual void DatabaseCount(std::int32_t& ret) = 0;
    /// Append NewEntry (null: a new entry) and, unless ID is an error value, make ID its identifier.
    virtual void DatabaseImport(const ref<tmp_Data>& NewEntry, const Variant& ID) = 0;
    /// The entry at position pIndex into rRet; hr::OUT_OF_RANGE outside.
    virtual void DatabaseItem(ref<tmp_Data>& rRet, std::int32_t pIndex) = 0;
    /// The same as an object reference.
    virtual void DatabaseItemObj(ref<Object>& rRet, std::int32_t pIndex) = 0;
    /// Remove the entry at position ID, the last entry taking its place; hr::OUT_OF_RANGE outside.
    virtual void DatabaseRemove(std::int32_t ID) = 0;
    /// The first position whose key matches ID into ret (0: none).
    virtual void DatabaseSearch(std::int32_t& ret, const Variant& ID) = 0;

protected:
    ~DatabaseEvents() = default;
};

/// Binding of a holder to the events of a data or database object. A holder
/// binds in its constructor and whenever its DATA (DATABASE) is reassigned.
template <class Events>
class EventSource {
public:
    /// Adds a sink (null is ignored); a sink bound twice receives every event twice.
    void bind(Events* sink);
    /// Removes one binding of that sink; nothing when it is not bound.
    void unbind(Events* sink) noexcept;
    /// Whether any sink is bound.
    bool bound() const noexcept { return first_ != nullptr; }
    /// Whether that sink is the only one: events reach nobody else.
    bool bound_only_to(const Events* sink) const noexcept { return first_ == sink && more_.empty(); }

protected:
    /// Calls f on every sink (on a copy of the list when there are several:
    /// a handler may rebind while the event runs).
    template <class F>
    void raise_each(F&& f);

private:
    // Nearly every source has one sink: it costs no allocation.
    Events* first_ = nullptr;
    std::vector<Events*> more_;
};
extern template class TR47_INI_API EventSource<DataEvents>;
extern template class TR47_INI_API EventSource<DatabaseEvents>;

// ---------------------------------------------------------------------------
// Data object: identifier, class name and the persistence operations.

/// The identifier, class name and persistence of the object bound to it (its holder), which carries each
/// operation out when the data object raises the matching event.
class TR47_INI_API DataObject : public Object, public EventSource<DataEvents> {
public:
    /// A new data object: Empty identifier, empty class name, nothing bound.
    static ref<DataObject> create();

    /// The identifier: the key of a group or enumeration in its collection; default Empty.
    const Variant& identifier() const noexcept { return identifier_; }
    /// Sets the identifier; the collections holding the object see its key change.
    void identifier(Variant id);
    /// Sets the identifier of an object that no collection holds yet, so no
    /// key index can have gone stale.
    void init_identifier(Variant id) noexcept { identifier_ = std::move(id); }

    /// Full class name of the holder ("TR47_INI.cls_INIGroup"); empty for a data object made on its own.
    const std::string& class_name() const noexcept { return *class_name_; }
    /// Sets the class name. Class names are interned: objects of one class share one string.
    void class_name(std::string_view name);
    /// Sets a name already interned by intern_class_name (no look-up).
    void class_name(const std::string* interned) noexcept { class_name_ = interned; }
    /// The one shared string of that class name; it lives as long as the process.
    static const std::string* intern_class_name(std::string_view name);

    /// Makes the holder a deep copy of source (same class, else hr::TYPE_MISMATCH); hr::OBJECT_NOT_SET for no
    /// source. This and the four below raise hr::LIMIT_EXCEEDED when objects nest more than 4,000 deep.
    void copy(const ref<tmp_Data>& source);
    /// The holder and everything below it as one package text (see docs/stored-file-format.md).
    std::string pack();
    /// Restores the holder from a package made by pack(); hr::BAD_FILE_FORMAT when it is malformed.
    void unpack(std::string& package);
    /// Writes the holder's stored form, and everything below it, to a file object.
    void store(FileObject& file);
    /// Reads the holder's stored form back; the file object's errors pass through.
    void read(FileObject& file);
    /// A new object of the holder's class; empty when nothing is bound.
    ref<tmp_Data> spawn();

private:
    DataObject();
    Variant identifier_;
    const std::string* class_name_;
};

// ---------------------------------------------------------------------------
/// Database object: the lookup rules of every keyed collection.
///
/// A long-integer ID is a position (1..count) under either force flag; with
/// the force flag a double or boolean ID is a position too. Every other ID is
/// a key resolved through DatabaseSearch. A key that matches nothing gives no
/// object from item and false from remove and exists; a position outside
/// 1..count raises an out-of-range error from item and remove and gives false
/// from exists. add appends without looking for a duplicate key.
class TR47_INI_API DatabaseObject : public Object, public EventSource<DatabaseEvents> {
public:
    /// A new database object with no collection bound.
    static ref<DatabaseObject> create();

    /// Number of entries (0 with nothing bound).
    std::int32_t count();
    /// Whether a key matches an entry, or a long position lies in 1..count.
    bool exists(const Variant& ID);
    /// The entry of that key or position: none for a key that matches nothing, hr::OUT_OF_RANGE outside 1..count.
    ref<Object> item(const Variant& ID, bool forceIndex);
    /// Removes the entry of that key or position: false for a key that matches nothing, hr::OUT_OF_RANGE outside.
    bool remove(const Variant& ID, bool forceIndex);
    /// Appends entry (null: a new default entry, an empty slot for groups); an ID other than an error value
    /// becomes its identifier. hr::TYPE_MISMATCH for an entry of another class.
    void add(const ref<tmp_Data>& entry, const Variant& ID);
    /// Removes every entry.
    void clear();

private:
    DatabaseObject() = default;
};

// ---------------------------------------------------------------------------
// Slot arrays as the packer and the persistence handlers see them.

/// The entries of a collection as the packer and the persistence handlers reach them.
class TR47_INI_API SlotArray {
public:
    /// False for a groups collection that holds no array.
    virtual bool allocated() const = 0;
    /// Highest position (0 when empty).
    virtual std::int32_t upper_bound() const = 0;
    /// The entry at a position in 1..upper_bound().
    virtual ref<tmp_Data> slot(std::int32_t position) = 0;
    /// Re-create the array with positions 1..n holding new entries.
    virtual void rebuild(std::int32_t n) = 0;
    /// Class name of the entries, as packages and stored forms name them.
    virtual const std::string& entry_class_name() const = 0;

protected:
    ~SlotArray() = default;
};

/// One element of a pack list or of a stored-form write.
struct TR47_INI_API PackElement {
    /// The value, when slots is null.
    Variant value;
    /// A slot array written whole (its count, then each entry), or null.
    SlotArray* slots = nullptr;
    /// A value.
    PackElement(Variant v) : value(std::move(v)) {}
    /// A slot array.
    PackElement(SlotArray* s) : slots(s) {}
};

/// One target of an unpack or a read: a text, a long integer, a variant or
/// a slot array. Values are converted to the target's type.
struct TR47_INI_API Target {
    /// Kinds of target.
    enum class Kind { Text, Long, AnyVariant, Slots } kind; ///< what where points to
    /// The target itself.
    void* where;
    /// A text.
    Target(std::string* s) : kind(Kind::Text), where(s) {}
    /// A long integer.
    Target(std::int32_t* l) : kind(Kind::Long), where(l) {}
    /// A variant, taking any value unchanged.
    Target(Variant* v) : kind(Kind::AnyVariant), where(v) {}
    /// A slot array.
    Target(SlotArray* a) : kind(Kind::Slots), where(a) {}
    /// Stores v: a text by Variant::to_text(), a long by Variant::to_long() (with their errors); a slot array
    /// takes no single value (hr::TYPE_MISMATCH).
    void assign(const Variant& v) const;
};

// ---------------------------------------------------------------------------
// File object: a sequential stream of typed values.

/// A sequential stream of typed values, as stored forms are written and read.
class TR47_INI_API FileObject {
public:
    /// Writes the values in order.
    virtual void write_values(const std::vector<PackElement>& values) = 0;
    /// Reads one value per target, converted to its type (Target::assign).
    virtual void read_values(const std::vector<Target>& targets) = 0;
    /// Reads the next value.
    virtual Variant read_value() = 0;

    /// Shortcuts for one value at a time; a file may serve them without
    /// building a list or copying a text.
    virtual void write_value(const Variant& value) { write_values({PackElement(value)}); }
    /// Writes one text (see write_value).
    virtual void write_text(std::string_view text) { write_value(Variant(text)); }
    /// Reads the next value: a text comes back as true with `text` viewing it
    /// (valid until the next read; `scratch` may hold it), any other value as
    /// false in `other`.
    virtual bool read_text(std::string_view& text, std::string& scratch, Variant& other) {
        other = read_value();
        if (!other.is_string()) return false;
        scratch = other.string();
        text = scratch;
        return true;
    }

    /// Spans: a writer may frame the stored form of one object, so that a
    /// reader can keep it unread and read it later on its own. Reading value
    /// by value passes over the framing. A file without the support writes
    /// and reads the values themselves. begin_span opens a span and gives its mark.
    virtual std::size_t begin_span() { return 0; }
    /// Closes the span that begin_span opened at that mark.
    virtual void end_span(std::size_t /*mark*/) {}
    /// Writes a span read earlier (its values, framed again where possible).
    virtual void write_span(std::string_view bytes);
    /// Takes the span that comes next: its bytes, and an object that keeps
    /// them alive. False (nothing consumed) when no span comes next.
    virtual bool read_span(std::string_view& /*bytes*/, ref<Object>& /*keeper*/) { return false; }
    /// Bytes of stored form still to read (every value takes one at least),
    /// so that a reader may reserve for a count the file can back; 0 when
    /// unknown.
    virtual std::size_t bytes_left() const { return 0; }

protected:
    ~FileObject() = default;
};

// ---------------------------------------------------------------------------
// Text list produced by the list splitter.

/// Texts in order, as Toolkit::split gives them.
class TR47_INI_API TextList : public Object {
public:
    /// Number of items.
    std::int32_t COUNT() const noexcept { return static_cast<std::int32_t>(items_.size()); }
    /// A position outside 1..COUNT reads as the empty text.
    const std::string& Item(std::int32_t position) const noexcept;
    /// Replaces the item at a position; hr::OUT_OF_RANGE (9) outside 1..COUNT.
    void Item(std::int32_t position, std::string text);
    /// The items themselves.
    std::vector<std::string>& items() noexcept { return items_; }

private:
    std::vector<std::string> items_;
};

// ---------------------------------------------------------------------------
// Packer: ordered lists of values to a package text and back.

/// Packs ordered lists of values into a package text and back.
class TR47_INI_API Packer {
public:
    /// The elements as one package text; hr::OBJECT_NOT_SET for an empty slot of a slot array.
    std::string pack_values(const std::vector<PackElement>& elements) const;
    /// The package must hold exactly as many elements as there are targets, each of the target's kind;
    /// hr::BAD_FILE_FORMAT otherwise or when it is malformed, and Target::assign's errors.
    void unpack_values(const std::string& package, const std::vector<Target>& targets) const;
};

/// Toolkit of the global object.
class TR47_INI_API Toolkit {
public:
    /// A packer.
    Packer packer() const { return {}; }

    /// Cuts at every separator outside the brackets and the quotes; brackets
    /// and quotes stay in the items, blanks around items are removed. With a
    /// blank as separator a run of blanks is one separator.
    /// With maxItems, at most that many items: the last one is the rest of
    /// the text, uncut. A list may hold at most 4,194,304 items (hr::LIMIT_EXCEEDED). An empty separator gives the
    /// whole text, trimmed, as one item.
    ref<TextList> split(std::string_view text, std::string_view separator, std::string_view open,
                        std::string_view close, std::string_view quote, std::size_t maxItems = 0) const;
    /// The same into an existing list, whose storage is reused.
    void split_into(std::vector<std::string>& items, std::string_view text, std::string_view separator,
                    std::string_view open, std::string_view close, std::string_view quote,
                    std::size_t maxItems = 0) const;
    /// The same split, item by item, without a list: `each` sees every item
    /// as it is found.
    void split_each(std::string_view text, std::string_view separator, std::string_view open, std::string_view close,
                    std::string_view quote, std::size_t maxItems,
                    const std::function<void(std::string_view)>& each) const;

    /// The text inside the outer double quotes (a doubled quote inside stands
    /// for one); a text without outer quotes comes back unchanged.
    std::string unquote(std::string_view text) const;

    /// 3: stays a text; 2: a date candidate; 1: number, boolean word or
    /// "ENUM(" reference; 0: empty. decimalMark is not used: "." and "," both count as marks.
    std::int32_t classify(std::string_view text, std::string_view decimalMark) const;
};

// ---------------------------------------------------------------------------
// Member list of an enumeration.

/// The members of an enumeration: names and value texts, in order.
class TR47_INI_API MemberList : public tmp_Data, private DataEvents {
public:
    /// A new, empty list.
    static ref<MemberList> create();
    /// Unbinds from the data object.
    ~MemberList() override;

    /// The data object (identifier, class name "TR47_INI.cls_MemberList", persistence).
    ref<DataObject> DATA() const override { return data_; }
    /// Moves the event binding to the new data object (nullptr unbinds).
    void DATA(ref<DataObject> d);

    /// Appends a member whose value is the first argument as text (none: the empty text), with
    /// Variant::to_text()'s errors; hr::LIMIT_EXCEEDED when the list's texts would pass 4 GiB.
    void add_member(std::string_view name, const std::vector<Variant>& args);
    /// A member whose value is a text, as an imported enumeration adds it; hr::LIMIT_EXCEEDED past 4 GiB of text.
    void add_member(std::string_view name, std::string_view value);
    /// Room for n more members holding `text` bytes in all.
    void reserve(std::size_t n, std::size_t text);
    /// Number of members.
    std::int32_t COUNT() const noexcept { return static_cast<std::int32_t>(entries_.size()); }
    /// Name of the member at a position; hr::OUT_OF_RANGE (9) outside 1..COUNT.
    std::string_view NAME(std::int32_t position) const;
    /// Value text of the member at a position; hr::OUT_OF_RANGE (9) outside 1..COUNT.
    std::string_view VALUE(std::int32_t position) const;
    /// Whether a member has that name (blanks at the ends and case ignored).
    bool EXISTS(std::string_view name) const;
    /// Value of the first member of that name (blanks and case ignored); empty when there is none.
    std::string value_of(std::string_view name) const;

    /// A member: name and value text.
    struct Member {
        /// The name.
        std::string name;
        /// The value text.
        std::string value;
        /// Same name and value text.
        friend bool operator==(const Member&, const Member&) = default;
    };
    /// The members as a list of their own (a copy).
    std::vector<Member> members() const;

private:
    MemberList();
    void DataCopy(const ref<tmp_Data>& pOther, bool& pcDone) override;
    void DataPACK(std::string& pcPackage) override;
    void DataUnpack(std::string& prPackage) override;
    void DataStore(FileObject& pFile) override;
    void DataRead(FileObject& pFile) override;
    void DataSpawn(ref<tmp_Data>& pcNewInstance) override;

    std::string_view name_at(std::size_t i) const noexcept {
        return std::string_view(text_).substr(entries_[i].name_at, entries_[i].value_at - entries_[i].name_at);
    }
    std::string_view value_at(std::size_t i) const noexcept {
        const std::size_t end = i + 1 < entries_.size() ? entries_[i + 1].name_at : text_.size();
        return std::string_view(text_).substr(entries_[i].value_at, end - entries_[i].value_at);
    }
    void set_members(const std::vector<Member>& members);

    ref<DataObject> data_;
    // An enumeration may hold millions of members: their texts follow each
    // other in one string, each member 8 bytes besides (a member ends where
    // the next one's name starts).
    struct Entry {
        std::uint32_t name_at;
        std::uint32_t value_at;
    };
    std::string text_;
    std::vector<Entry> entries_;
};

// ---------------------------------------------------------------------------
// Reader object: text lines for import, typed values for LOAD and SAVE.

class ReaderObject;
namespace detail {
class TextLines;
// The lines of a reader open on a text file, for the import; null otherwise.
TextLines* text_lines_of(ReaderObject& reader) noexcept;
} // namespace detail

/// The mode numbers of ReaderObject::open.
enum class ReaderMode : std::int32_t { Read = 1, Write = 2 };

/// Reads an INI text file line by line, or reads and writes the stored file of LOAD and SAVE.
class TR47_INI_API ReaderObject : public Object, public FileObject {
public:
    /// A reader not open yet.
    static ref<ReaderObject> create();
    /// Closes the file; a stored write that close() did not commit is dropped.
    ~ReaderObject() override;

    /// binary false: an INI text file for reading line by line (UTF-8 with
    /// or without BOM, UTF-16 with BOM, Windows-1252 for lines that are not
    /// UTF-8). binary true: the stored-value file of LOAD and SAVE under the
    /// password. mode: 1 to read, 2 to write (stored mode only); shared and none are not used. Text mode reports
    /// failure by returning false; stored mode raises an error carrying the reason (hr::FILE_NOT_FOUND,
    /// hr::PERMISSION_DENIED for no access or a wrong or missing password, hr::BAD_FILE_FORMAT for damage, ...).
    bool open(const std::string& path, std::int32_t mode, const std::string& password, bool binary, bool shared,
              Object* none = nullptr);
    /// Closes the reader; in stored mode, writing, first commits the values atomically to the path
    /// (hr::PATH_ACCESS when it cannot).
    void close();

    /// Whether nothing is left to read.
    bool eof();
    /// The next line without its line break (LF, CR LF or CR), as UTF-8; empty at the end and in stored mode.
    /// hr::LIMIT_EXCEEDED for a line longer than 256 MiB.
    std::string read_line();
    /// The same into a caller's buffer (its storage is reused).
    void read_line(std::string& line);
    /// The same as a view, valid until the next read; `converted` holds a
    /// line that had to be converted to UTF-8.
    void read_line(std::string_view& line, std::string& converted);
    /// Number of the line that read_line returned last (1-based).
    std::int64_t line_number() const noexcept;
    /// Whether the line that read_line returned last is known to hold no byte below 0x0E (tab, backspace, ...);
    /// false when not known.
    bool line_known_free_of_controls() const noexcept;
    /// The path given to open.
    const std::string& path() const noexcept;

    /// Writes the values; hr::INVALID_CALL unless open for writing stored values, hr::TYPE_MISMATCH for a slot
    /// array or an object that is not persistable.
    void write_values(const std::vector<PackElement>& values) override;
    /// Reads one value per target (see read_value and Target::assign).
    void read_values(const std::vector<Target>& targets) override;
    /// The next stored value; hr::INVALID_CALL unless open for reading stored values, hr::BAD_FILE_FORMAT past the
    /// end or for damage, hr::TYPE_MISMATCH for an object of an unknown class.
    Variant read_value() override;
    /// Writes one value (see write_values).
    void write_value(const Variant& value) override;
    /// Writes one text; hr::INVALID_CALL unless open for writing stored values.
    void write_text(std::string_view text) override;
    /// See FileObject::read_text; the errors of read_value.
    bool read_text(std::string_view& text, std::string& scratch, Variant& other) override;
    /// Opens a span and gives its mark; hr::INVALID_CALL unless open for writing stored values.
    std::size_t begin_span() override;
    /// Closes the span opened at mark; hr::INVALID_CALL when no span was opened there.
    void end_span(std::size_t mark) override;
    /// Writes a span read earlier, framed; hr::INVALID_CALL unless open for writing stored values.
    void write_span(std::string_view bytes) override;
    /// Takes the span that comes next (false: none); hr::BAD_FILE_FORMAT for a span longer than the file.
    bool read_span(std::string_view& bytes, ref<Object>& keeper) override;
    /// Bytes of stored values still to read (0 unless reading stored values).
    std::size_t bytes_left() const override;

    /// A reader of stored values over bytes of a span (kept alive by keeper).
    static ref<ReaderObject> over_span(std::string_view bytes, ref<Object> keeper);
    /// Points a reader made by over_span at another span, from its start; hr::INVALID_CALL for any other reader.
    void restart_over(std::string_view bytes, ref<Object> keeper);

    /// The reader's state.
    struct Impl;

private:
    ReaderObject();
    friend detail::TextLines* detail::text_lines_of(ReaderObject&) noexcept;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Message output and the global object.

/// Receives each message and its title.
using MessageSink = std::function<void(const std::string& message, const std::string& title)>;

/// Message output, the toolkit and file checks, shared by the whole process.
class TR47_INI_API GlobalObject {
public:
    /// The one global object of the process.
    static GlobalObject& instance();

    /// The toolkit.
    const Toolkit& toolkit() const noexcept { return toolkit_; }
    /// The number at the start of a text, with "," or "." as decimal mark; 0 when there is none.
    double parse_number(std::string_view text) const;
    /// Passes a message and its title (default empty) to the message sink, or writes the text to standard error
    /// when none is installed; the two objects are not used.
    void show_message(const std::string& text, const std::string& title = {}, Object* = nullptr, Object* = nullptr);
    /// Installs a sink for messages (nullptr restores standard error) and
    /// returns the previous one. Messages of all threads reach the sink one
    /// at a time.
    MessageSink set_message_sink(MessageSink sink);
    /// Whether something other than a directory is at that path (a device or FIFO counts).
    bool file_exists(const std::string& path) const;

private:
    GlobalObject() = default;
    Toolkit toolkit_;
    std::mutex sink_lock_;
    MessageSink sink_;
};

/// Base name of the library file, used in class names (TR47_INI.cls_INI).
TR47_INI_API const std::string& library_base_name();

// ---------------------------------------------------------------------------
// Text services shared by the model (UTF-8 throughout).

/// Upper case by the process locale, one code point at a time: a letter
/// whose upper case is more than one letter (ß) stays as it is.
TR47_INI_API std::string upper(std::string_view text);
/// Blanks (U+0020 only) removed at both ends.
TR47_INI_API std::string_view trim_blanks(std::string_view text) noexcept;
/// Keys as the collections compare them: trimmed of blanks, upper-cased.
TR47_INI_API std::string normalise_key(std::string_view text);
/// Whether two keys are equal as the collections compare them.
TR47_INI_API bool keys_equal(std::string_view a, std::string_view b);
/// Whether a key, once normalised, equals an already normalised one; no
/// copy when the key is ASCII.
TR47_INI_API bool key_matches(std::string_view key, std::string_view normalised);

/// Whether a text is well-formed UTF-8.
TR47_INI_API bool is_valid_utf8(std::string_view text) noexcept;
/// A Windows-1252 text as UTF-8 (its five unassigned bytes become the control characters of those numbers).
TR47_INI_API std::string windows1252_to_utf8(std::string_view text);

/// The value of the number at the start of a text, full stop as decimal
/// mark, &H and &O prefixes for hexadecimal and octal; 0 when none.
TR47_INI_API double leading_number(std::string_view text);

/// A 10-character date text in the order of the system locale, or year
/// first, into out; false (out unchanged) when it is no valid date of the years 100 and later.
TR47_INI_API bool parse_date_text(std::string_view text, Date& out);
/// Date as text: year-month-day, with the time when there is one; "Invalid date" for NaN, infinity or more than
/// 3,000,000 days from 1899-12-30.
TR47_INI_API std::string format_date(Date d);

} // namespace tr47

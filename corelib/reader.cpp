#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "corelib/encoding.hpp"
#include "corelib/limits.hpp"
#include "corelib/platform.hpp"
#include "corelib/stored_cursor.hpp"
#include "corelib/stored_file.hpp"
#include "corelib/text_lines.hpp"
#include "corelib/utf.hpp"

namespace tr47 {

using namespace detail::stored_tags;

namespace {
// Bytes shared by the objects that view them (a stored file kept for the
// entries read from it lazily).
class SharedBytes final : public Object {
public:
    std::unique_ptr<char[]> data; // not zeroed before the file is read into it
    std::size_t size = 0;
};
} // namespace

namespace {
void put_varint(std::string& out, std::uint64_t v) {
    char b[10];
    int n = 0;
    while (v >= 0x80) {
        b[n++] = static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    b[n++] = static_cast<char>(v);
    out.append(b, static_cast<std::size_t>(n));
}
std::uint64_t zigzag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

void put_u32(std::string& out, std::uint32_t v) {
    char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    out.append(b, 4);
}
void put_u64(std::string& out, std::uint64_t v) {
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    out.append(b, 8);
}
void put_bytes(std::string& out, std::string_view s) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
}

[[noreturn]] void corrupt(const char* why) { raise(hr::BAD_FILE_FORMAT, std::string("Bad file format: ") + why); }

} // namespace

struct ReaderObject::Impl {
    std::string path;
    bool open = false;
    bool stored = false;
    bool writing = false;
    // Text reading.
    std::unique_ptr<detail::TextLines> text;
    // Stored values.
    std::string password;
    std::string payload; // writing
    ref<SharedBytes> held; // reading: the bytes `in` views
    ref<Object> keeper; // or what keeps them alive (a span)
    std::string_view in;
    std::size_t rpos = 0;
    // The previous text value of the stream (tSameText); on writing a copy,
    // on reading a view into the payload.
    std::string lastWritten;
    std::string_view lastRead;

    void put_text(std::string_view t) {
        if (t.empty()) {
            payload += char(tEmptyText);
        } else if (t == kVersionText) {
            payload += char(tVersionText);
        } else if (t == lastWritten) {
            payload += char(tSameText);
        } else {
            payload += char(tText);
            put_varint(payload, t.size());
            payload.append(t);
        }
        lastWritten.assign(t);
    }
    // Span marks frame a stored form so that a reader may keep it unread;
    // reading value by value passes over them.
    void skip_span_marks() {
        while (rpos < in.size() && static_cast<std::uint8_t>(in[rpos]) == tSpan) {
            if (in.size() - rpos < 9) corrupt("span mark beyond the end");
            rpos += 9;
            lastRead = {};
        }
    }
    std::uint64_t take_varint() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const std::uint8_t b = take_u8();
            v |= std::uint64_t(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        corrupt("number too long");
    }
    // A text value whose tag was just taken; false when the tag is no text.
    bool take_text(std::uint8_t tag, std::string_view& out) {
        switch (tag) {
        case tString: out = take_bytes(); break;
        case tText: {
            const std::uint64_t n = take_varint();
            if (n > in.size() - rpos) corrupt("text longer than the file");
            out = std::string_view(in.data() + rpos, n);
            rpos += n;
            break;
        }
        case tSameText: out = lastRead; break;
        case tEmptyText: out = {}; break;
        case tVersionText: out = kVersionText; break;
        default: return false;
        }
        lastRead = out;
        return true;
    }

    // Writing under a password: the key, derived in the background from
    // open to close. Last, so that it is waited for before the rest goes.
    detail::StoredFileKey sealKey;
    std::optional<detail::platform::Background> sealing;

    std::uint8_t take_u8() {
        if (rpos + 1 > in.size()) corrupt("value beyond the end");
        return static_cast<std::uint8_t>(in[rpos++]);
    }
    std::uint64_t take_le(int bytes) {
        if (in.size() - rpos < static_cast<std::size_t>(bytes)) corrupt("value beyond the end");
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= std::uint64_t(static_cast<std::uint8_t>(in[rpos + i])) << (8 * i);
        rpos += static_cast<std::size_t>(bytes);
        return v;
    }
    std::string_view take_bytes() {
        std::uint64_t n = take_le(4);
        if (n > in.size() - rpos) corrupt("text longer than the file");
        std::string_view s(in.data() + rpos, n);
        rpos += n;
        return s;
    }
    double take_double() {
        std::uint64_t bits = take_le(8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
};

// Lines exist only for a reader open on a text file (open and close start
// from a fresh state).
detail::TextLines* detail::text_lines_of(ReaderObject& reader) noexcept { return reader.impl_->text.get(); }

ReaderObject::ReaderObject() : impl_(std::make_unique<Impl>()) {}
ReaderObject::~ReaderObject() = default;
ref<ReaderObject> ReaderObject::create() { return ref<ReaderObject>(new ReaderObject()); }

const std::string& ReaderObject::path() const noexcept { return impl_->path; }
std::int64_t ReaderObject::line_number() const noexcept { return impl_->text ? impl_->text->line_number() : 0; }
bool ReaderObject::line_known_free_of_controls() const noexcept {
    return impl_->text && impl_->text->line_free_of_controls();
}

bool ReaderObject::open(const std::string& path, std::int32_t mode, const std::string& password, bool binary, bool,
                        Object*) {
    impl_ = std::make_unique<Impl>();
    Impl& m = *impl_;
    m.path = path;
    if (mode != 1 && mode != 2) {
        if (binary) raise(hr::INVALID_CALL, "Invalid procedure call: open mode " + std::to_string(mode));
        return false;
    }
    if (binary) {
        m.stored = true;
        m.password = password;
        if (mode == 2) {
            m.writing = true;
            m.open = true;
            // The key is derived while the caller writes the values.
            if (!password.empty()) m.sealing.emplace([&m] { m.sealKey = detail::new_stored_file_key(m.password); });
            return true;
        }
        std::uint64_t size = 0;
        const auto kind = detail::platform::file_kind(path, &size);
        if (kind == detail::platform::FileKind::Missing) raise(hr::FILE_NOT_FOUND, "File not found: " + path);
        if (kind != detail::platform::FileKind::Regular) raise(hr::PATH_ACCESS, "Not a file: " + path);
        if (size > limits::kMaxStoredFileBytes) raise(hr::LIMIT_EXCEEDED, "Stored file too large: " + path);
        std::FILE* f = detail::platform::open_for_reading(path);
        if (!f) raise(hr::PERMISSION_DENIED, "Permission denied: " + path + ": " + std::strerror(errno));
        struct Closer {
            std::FILE* f;
            ~Closer() { std::fclose(f); }
        } closer{f};
        // The head first: a file that is no stored file is refused before
        // room is made for the rest or any more of it is read, and no more
        // is read than the head promises. A protected file's key is
        // derived while the rest is read.
        char head[detail::kStoredHeadBytes];
        const std::size_t headBytes = std::fread(head, 1, sizeof head, f);
        if (std::ferror(f)) raise(hr::PATH_ACCESS, "File read error: " + path);
        const std::uint64_t length = detail::stored_file_length(std::string_view(head, headBytes));
        std::string salt, key;
        std::uint32_t iterations = 0;
        std::uint8_t lanes = 1;
        std::optional<detail::platform::Background> derivation;
        if (!password.empty() &&
            detail::stored_file_key_parameters(std::string_view(head, headBytes), salt, iterations, lanes))
            derivation.emplace([&] { key = detail::derive_stored_file_key(password, salt, iterations, lanes); });
        // One read into a buffer of the file's size, or of one byte more
        // than the head promises, which is enough to refuse a longer file.
        // A file that grew or was replaced since its size was taken is read
        // on to that bound.
        const auto room =
            static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(size, headBytes), length + 1));
        std::size_t capacity = room;
        auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
        detail::platform::prefer_large_pages(bytes.get(), capacity);
        std::memcpy(bytes.get(), head, headBytes);
        std::size_t have = headBytes;
        if (have == sizeof head) have += std::fread(bytes.get() + have, 1, capacity - have, f);
        // Full, and the head promises more: the file grew since its size was
        // taken; read on to one byte past the promise.
        char block[65536];
        std::size_t got;
        while (have == capacity && have <= length &&
               (got = std::fread(
                    block, 1, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof block, length + 1 - have)), f)) >
                   0) {
            const auto bound = static_cast<std::size_t>(length + 1);
            auto larger = std::make_unique_for_overwrite<char[]>(bound);
            std::memcpy(larger.get(), bytes.get(), have);
            std::memcpy(larger.get() + have, block, got);
            bytes = std::move(larger);
            capacity = bound;
            have += got;
            if (have < capacity) have += std::fread(bytes.get() + have, 1, capacity - have, f);
        }
        const bool err = std::ferror(f);
        if (derivation) derivation->join();
        if (err) raise(hr::PATH_ACCESS, "File read error: " + path);
        m.rpos = detail::open_stored_file(bytes.get(), have, password, derivation ? &key : nullptr);
        m.held = make_ref<SharedBytes>();
        m.held->data = std::move(bytes);
        m.held->size = have;
        m.in = std::string_view(m.held->data.get(), m.held->size);
        m.open = true;
        return true;
    }
    if (mode != 1) return false;
    auto text = std::make_unique<detail::TextLines>();
    if (!text->open(path)) return false;
    m.text = std::move(text);
    m.open = true;
    return true;
}

bool ReaderObject::eof() {
    Impl& m = *impl_;
    if (m.stored) {
        m.skip_span_marks();
        return m.rpos >= m.in.size();
    }
    return !m.text || m.text->at_end();
}

std::string ReaderObject::read_line() {
    std::string line;
    read_line(line);
    return line;
}

void ReaderObject::read_line(std::string& line) {
    std::string converted;
    std::string_view view;
    read_line(view, converted);
    line.assign(view);
}

void ReaderObject::read_line(std::string_view& line, std::string& converted) {
    Impl& m = *impl_;
    line = {};
    if (m.text) m.text->next(line, converted);
}

namespace {
void put_value(ReaderObject::Impl& m, const Variant& v) {
    std::string& out = m.payload;
    switch (v.type()) {
    case VarType::Empty: out += char(tEmpty); break;
    case VarType::Null: out += char(tNull); break;
    case VarType::String: m.put_text(v.string()); break;
    case VarType::Double: {
        const double d = v.dbl();
        if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0 && !(d == 0.0 && std::signbit(d))) {
            out += char(tWholeDouble);
            put_varint(out, zigzag(static_cast<std::int64_t>(d)));
            break;
        }
        std::uint64_t bits;
        std::memcpy(&bits, &d, 8);
        out += char(tDouble);
        put_u64(out, bits);
        break;
    }
    case VarType::Date: {
        std::uint64_t bits;
        double d = v.date().days;
        std::memcpy(&bits, &d, 8);
        out += char(tDate);
        put_u64(out, bits);
        break;
    }
    case VarType::Boolean:
        out += char(tBool);
        out += char(v.boolean() ? 1 : 0);
        break;
    case VarType::Long:
        out += char(tSmallLong);
        put_varint(out, zigzag(v.lng()));
        break;
    case VarType::Error:
        out += char(tError);
        put_u32(out, static_cast<std::uint32_t>(v.error().code));
        break;
    case VarType::Object: {
        ref<tmp_Data> p = query<tmp_Data>(v.object());
        ref<DataObject> data = p ? p->DATA() : nullptr;
        if (!data) raise(hr::TYPE_MISMATCH, "Type mismatch: only persistable objects can be stored");
        out += char(tObject);
        put_bytes(out, data->class_name());
        put_bytes(out, data->pack());
        break;
    }
    }
}
} // namespace

void ReaderObject::write_values(const std::vector<PackElement>& values) {
    for (const PackElement& e : values) {
        if (e.slots) raise(hr::TYPE_MISMATCH, "Type mismatch: a slot array cannot be written as a value");
        write_value(e.value);
    }
}

void ReaderObject::write_value(const Variant& v) {
    Impl& m = *impl_;
    if (!m.open || !m.stored || !m.writing)
        raise(hr::INVALID_CALL, "Invalid procedure call: file not open for writing");
    put_value(m, v);
}

void ReaderObject::write_text(std::string_view text) {
    Impl& m = *impl_;
    if (!m.open || !m.stored || !m.writing)
        raise(hr::INVALID_CALL, "Invalid procedure call: file not open for writing");
    m.put_text(text);
}

bool ReaderObject::read_text(std::string_view& text, std::string&, Variant& other) {
    Impl& m = *impl_;
    if (m.open && m.stored && !m.writing) m.skip_span_marks();
    if (m.open && m.stored && !m.writing && m.rpos < m.in.size()) {
        const auto tag = static_cast<std::uint8_t>(m.in[m.rpos]);
        const std::size_t at = m.rpos++;
        if (m.take_text(tag, text)) return true;
        m.rpos = at;
    }
    other = read_value();
    return false;
}

Variant ReaderObject::read_value() {
    Impl& m = *impl_;
    if (!m.open || !m.stored || m.writing) raise(hr::INVALID_CALL, "Invalid procedure call: file not open for reading");
    m.skip_span_marks();
    if (m.rpos >= m.in.size()) raise(hr::BAD_FILE_FORMAT, "Input past end of file");
    const std::uint8_t tag = m.take_u8();
    std::string_view text;
    if (m.take_text(tag, text)) return Variant(text);
    switch (tag) {
    case tEmpty: return Variant();
    case tNull: return Variant(Null{});
    case tSmallLong: {
        const std::int64_t v = unzigzag(m.take_varint());
        if (v < INT32_MIN || v > INT32_MAX) corrupt("long integer out of range");
        return Variant(static_cast<std::int32_t>(v));
    }
    case tWholeDouble: {
        const std::int64_t v = unzigzag(m.take_varint());
        if (v <= -9007199254740992 || v >= 9007199254740992) corrupt("whole number out of range");
        return Variant(static_cast<double>(v));
    }
    case tDouble: return Variant(m.take_double());
    case tDate: return Variant(Date{m.take_double()});
    case tBool: {
        std::uint8_t b = m.take_u8();
        if (b > 1) corrupt("bad boolean");
        return Variant::boolean(b == 1);
    }
    case tLong: return Variant(static_cast<std::int32_t>(static_cast<std::uint32_t>(m.take_le(4))));
    case tError: return Variant(ErrorValue{static_cast<HRESULT>(static_cast<std::uint32_t>(m.take_le(4)))});
    case tObject: {
        std::string cls(m.take_bytes());
        std::string pkg(m.take_bytes());
        ref<tmp_Data> obj = detail::create_by_class_name(cls);
        if (!obj) raise(hr::TYPE_MISMATCH, "Type mismatch: unknown class " + cls);
        obj->DATA()->unpack(pkg);
        return Variant(ref<Object>(obj));
    }
    default: corrupt("unknown value type");
    }
}

void ReaderObject::read_values(const std::vector<Target>& targets) {
    for (const Target& t : targets) t.assign(read_value());
}

void FileObject::write_span(std::string_view bytes) {
    ref<ReaderObject> r = ReaderObject::over_span(bytes, nullptr);
    while (!r->eof()) write_value(r->read_value());
}

ref<ReaderObject> ReaderObject::over_span(std::string_view bytes, ref<Object> keeper) {
    ref<ReaderObject> r = ReaderObject::create();
    r->restart_over(bytes, std::move(keeper));
    return r;
}

void ReaderObject::restart_over(std::string_view bytes, ref<Object> keeper) {
    Impl& m = *impl_;
    if (m.text || m.writing || !m.payload.empty() || m.held)
        raise(hr::INVALID_CALL, "Invalid procedure call: not a reader over a span");
    m.stored = true;
    m.open = true;
    m.in = bytes;
    m.rpos = 0;
    m.lastRead = {};
    if (m.keeper != keeper) m.keeper = std::move(keeper);
}

std::size_t ReaderObject::begin_span() {
    Impl& m = *impl_;
    if (!m.open || !m.stored || !m.writing)
        raise(hr::INVALID_CALL, "Invalid procedure call: file not open for writing");
    const std::size_t mark = m.payload.size();
    m.payload += char(tSpan);
    put_u64(m.payload, 0);
    // A span must read on its own: no text refers to one outside it.
    m.lastWritten.clear();
    return mark;
}

void ReaderObject::end_span(std::size_t mark) {
    Impl& m = *impl_;
    if (!m.open || !m.stored || !m.writing || mark + 9 > m.payload.size() || m.payload[mark] != char(tSpan))
        raise(hr::INVALID_CALL, "Invalid procedure call: no span open here");
    std::uint64_t n = m.payload.size() - mark - 9;
    for (int i = 0; i < 8; ++i)
        m.payload[mark + 1 + static_cast<std::size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
    m.lastWritten.clear();
}

void ReaderObject::write_span(std::string_view bytes) {
    Impl& m = *impl_;
    if (!m.open || !m.stored || !m.writing)
        raise(hr::INVALID_CALL, "Invalid procedure call: file not open for writing");
    m.payload += char(tSpan);
    put_u64(m.payload, bytes.size());
    m.payload.append(bytes);
    m.lastWritten.clear();
}

bool ReaderObject::read_span(std::string_view& bytes, ref<Object>& keeper) {
    Impl& m = *impl_;
    if (!m.open || !m.stored || m.writing || m.rpos >= m.in.size() || static_cast<std::uint8_t>(m.in[m.rpos]) != tSpan)
        return false;
    if (m.in.size() - m.rpos < 9) corrupt("span mark beyond the end");
    std::uint64_t n = 0;
    for (int i = 0; i < 8; ++i)
        n |= std::uint64_t(static_cast<std::uint8_t>(m.in[m.rpos + 1 + static_cast<std::size_t>(i)])) << (8 * i);
    if (n == 0 || n > m.in.size() - m.rpos - 9) corrupt("span longer than the file");
    bytes = m.in.substr(m.rpos + 9, n);
    m.rpos += 9 + n;
    m.lastRead = {};
    keeper = m.held ? ref<Object>(m.held) : m.keeper;
    return true;
}

std::size_t ReaderObject::bytes_left() const {
    const Impl& m = *impl_;
    return m.open && m.stored && !m.writing ? m.in.size() - m.rpos : 0;
}

void ReaderObject::close() {
    Impl& m = *impl_;
    if (m.open && m.stored && m.writing) {
        if (m.sealing) m.sealing->join();
        std::string bytes = detail::seal_stored_file(m.payload, m.password, m.sealing ? &m.sealKey : nullptr);
        detail::platform::write_file_atomically(m.path, bytes, !m.password.empty());
    }
    std::string keepPath = m.path;
    impl_ = std::make_unique<Impl>();
    impl_->path = std::move(keepPath);
}

} // namespace tr47

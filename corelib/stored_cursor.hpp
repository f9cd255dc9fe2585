// The tags of the stored payload, and a cursor over stored values that
// looks at their framing only (tags, lengths, numbers in range) without
// making them: enough for a check of a stored form's structure at the
// speed of a byte scan. Inline, as the check runs it for every value.
#pragma once

#include <cstddef>
#include <climits>
#include <cstdint>
#include <string_view>

namespace tr47::detail {

namespace stored_tags {
// Value tags of the stored payload. 8 to 13 are the compact forms that
// SAVE writes; 1 and 5 (fixed-width lengths and numbers) are still read.
enum Tag : std::uint8_t {
    tEmpty = 0,
    tString = 1,
    tDouble = 2,
    tDate = 3,
    tBool = 4,
    tLong = 5,
    tError = 6,
    tObject = 7,
    tText = 8, // varint length, then the bytes
    tSameText = 9, // the text of the previous text value
    tEmptyText = 10, // ""
    tVersionText = 11, // "1.0", the first value of every stored form
    tSmallLong = 12, // zigzag varint
    tWholeDouble = 13, // a double holding an integer below 2^53: zigzag varint
    tSpan = 14, // no value: u64 length of the stored form that follows
    tNull = 15,
};
constexpr std::string_view kVersionText = "1.0";

inline std::int64_t unzigzag(std::uint64_t v) noexcept {
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}
} // namespace stored_tags

// The same framing as ReaderObject reads, each check with it: a value that
// passes here reads there without an error.
class StoredCursor {
public:
    explicit StoredCursor(std::string_view bytes) noexcept : in_(bytes), span_room_(bytes.size()) {}
    // Resumes reading at a place another cursor stood (`lastText`: the text
    // that a "same text" tag there repeats).
    StoredCursor(std::string_view bytes, std::string_view lastText) noexcept
            : in_(bytes), last_text_(lastText), span_room_(bytes.size()) {}

    // Reads on in `longer`, which starts with the bytes given so far; span
    // contents may reach up to `spanRoom` bytes from the start, past the
    // bytes given (a span is taken on its mark alone).
    void extend(std::string_view longer, std::size_t spanRoom) noexcept {
        in_ = longer;
        span_room_ = spanRoom > longer.size() ? spanRoom : longer.size();
    }

    enum class Kind {
        Text, // `text` views it
        Long, // `number` holds it, in the range of a long
        Scalar, // Empty, Null, a double, a date, a boolean or an error
    };
    // The next value, span marks passed over as reading value by value does.
    // False at the end, and on anything a reader would refuse or that is no
    // plain value (an embedded object): the caller then reads the usual way.
    bool next(Kind& kind, std::string_view& text, std::int64_t& number) noexcept {
        using namespace stored_tags;
        if (!skip_marks() || pos_ >= in_.size()) return false;
        const auto tag = static_cast<std::uint8_t>(in_[pos_++]);
        std::uint64_t v = 0;
        kind = Kind::Scalar;
        tag_ = tag;
        switch (tag) {
        case tString:
            if (!fixed(4, v) || !bytes(v, text)) return false;
            kind = Kind::Text;
            break;
        case tText:
            if (!varint(v) || !bytes(v, text)) return false;
            kind = Kind::Text;
            break;
        case tSameText: text = last_text_, kind = Kind::Text; break;
        case tEmptyText: text = {}, kind = Kind::Text; break;
        case tVersionText: text = kVersionText, kind = Kind::Text; break;
        case tEmpty:
        case tNull: return true;
        case tSmallLong: {
            if (!varint(v)) return false;
            const std::int64_t l = unzigzag(v);
            if (l < INT32_MIN || l > INT32_MAX) return false;
            number = l;
            kind = Kind::Long;
            return true;
        }
        case tLong:
            if (!fixed(4, v)) return false;
            number = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
            kind = Kind::Long;
            return true;
        case tWholeDouble: {
            if (!varint(v)) return false;
            const std::int64_t l = unzigzag(v);
            number = l;
            return l > -9007199254740992 && l < 9007199254740992;
        }
        case tDouble:
        case tDate: return fixed(8, bits_);
        case tError: return fixed(4, bits_);
        case tBool: return fixed(1, bits_) && bits_ <= 1;
        default: return false; // objects and unknown tags: the usual reading decides
        }
        last_text_ = text;
        return true;
    }

    // One value in the form SAVE writes for a plain value (version, a short
    // identifier, NAME as "same text", a small SORT, the content, an empty
    // DESCRIPTION), looked at byte by byte. False, having read nothing, for
    // any other form: the caller then reads it value by value.
    bool skip_plain_value() noexcept {
        const std::size_t start = pos_;
        const std::string_view before = last_text_;
        std::string_view name, text;
        std::int32_t sort;
        Kind kind;
        std::int64_t number;
        if (!take_plain_head(name, sort)) return false;
        if ((skip_short_value() || next(kind, text, number)) && take_empty_text()) return true;
        pos_ = start;
        last_text_ = before;
        return false;
    }

    // A value in one of the short forms most contents take, passed over
    // without a general step (its text, if any, is not kept: a plain value's
    // empty DESCRIPTION follows); false, having read nothing, for others.
    bool skip_short_value() noexcept {
        const std::size_t size = short_value_size(pos_);
        if (size == 0) return false;
        tag_ = static_cast<std::uint8_t>(in_[pos_]);
        pos_ += size;
        return true;
    }

    // Passes over up to `n` values of the plain form whose content has a
    // short form, as skip_plain_value would one by one, and says how many;
    // stops before the first value of any other form. One loop with the
    // place in a register: the check of a stored file runs it for every
    // group's values.
    std::int64_t skip_plain_values(std::int64_t n) noexcept {
        std::size_t pos = pos_;
        std::int64_t done = 0;
        for (; done < n; ++done) {
            const std::size_t head = plain_head_size(pos);
            if (head == 0) break;
            const std::size_t content = short_value_size(pos + head);
            const std::size_t end = pos + head + content;
            if (content == 0 || end >= in_.size() || static_cast<std::uint8_t>(in_[end]) != stored_tags::tEmptyText)
                break;
            tag_ = static_cast<std::uint8_t>(in_[pos + head]);
            pos = end + 1;
        }
        if (done > 0) {
            pos_ = pos;
            last_text_ = {};
        }
        return done;
    }

    // The head of a value of that form (up to its content): its NAME and
    // SORT. False, having read nothing, for another form.
    bool take_plain_head(std::string_view& name, std::int32_t& sort) noexcept {
        if (!peek_plain_name(name, &sort)) return false;
        last_text_ = name;
        pos_ += 6 + name.size();
        return true;
    }

    // An empty text (a plain value's DESCRIPTION) next; false, having read
    // nothing, for anything else.
    bool take_empty_text() noexcept {
        if (pos_ >= in_.size() || static_cast<std::uint8_t>(in_[pos_]) != stored_tags::tEmptyText) return false;
        ++pos_;
        last_text_ = {};
        return true;
    }

    // The identifier (and NAME) of a value of that form at the cursor, which
    // stays where it is, and its SORT; false for another form.
    bool peek_plain_name(std::string_view& name, std::int32_t* sort = nullptr) const noexcept {
        const std::size_t head = plain_head_size(pos_);
        if (head == 0) return false;
        name = in_.substr(pos_ + 3, head - 6);
        if (sort)
            *sort = static_cast<std::int32_t>(stored_tags::unzigzag(static_cast<std::uint8_t>(in_[pos_ + head - 1])));
        return true;
    }

    // Takes the span that comes next (its bytes). Broken: a span mark whose
    // length a reader refuses.
    enum class Span { None, Taken, Broken };
    Span span(std::string_view& out) noexcept {
        if (pos_ >= in_.size() || static_cast<std::uint8_t>(in_[pos_]) != stored_tags::tSpan) return Span::None;
        if (in_.size() - pos_ < 9) return Span::Broken;
        std::uint64_t n = 0;
        for (std::size_t i = 0; i < 8; ++i) n |= std::uint64_t(static_cast<std::uint8_t>(in_[pos_ + 1 + i])) << (8 * i);
        if (n == 0 || n > span_room_ - pos_ - 9) return Span::Broken;
        out = std::string_view(in_.data() + pos_ + 9, n); // may reach past in_ (see extend)
        pos_ += 9 + n;
        last_text_ = {};
        return Span::Taken;
    }

    // Whether only span marks are left.
    bool at_end() noexcept { return skip_marks() && pos_ >= in_.size(); }

    // Of the last scalar read: its tag, and its fixed-width bits (a double's
    // or a date's IEEE bits, a boolean's byte, an error's code); a whole
    // double's value is in `number`.
    std::uint8_t tag() const noexcept { return tag_; }
    std::uint64_t bits() const noexcept { return bits_; }
    // The bytes from here on.
    std::string_view rest() const noexcept { return in_.substr(pos_); }

private:
    // Bytes of a plain value's head at `at` (version, identifier, NAME as
    // "same text", a small SORT), the identifier shorter than 128 bytes
    // and at least one byte following; 0 for another form.
    std::size_t plain_head_size(std::size_t at) const noexcept {
        using namespace stored_tags;
        const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(in_[i]); };
        if (in_.size() - at < 6 || byte(at) != tVersionText || byte(at + 1) != tText) return 0;
        const std::size_t length = byte(at + 2);
        if (length >= 0x80 || in_.size() - at - 3 < length + 3) return 0;
        const std::size_t atSort = at + 3 + length;
        if (byte(atSort) != tSameText || byte(atSort + 1) != tSmallLong || (byte(atSort + 2) & 0x80)) return 0;
        return length + 6;
    }
    // Bytes of a value at `at` in one of the short forms; 0 for another.
    std::size_t short_value_size(std::size_t at) const noexcept {
        using namespace stored_tags;
        const std::size_t left = in_.size() - at;
        if (at >= in_.size() || left < 2) return 0;
        const auto tag = static_cast<std::uint8_t>(in_[at]);
        const auto b = static_cast<std::uint8_t>(in_[at + 1]);
        switch (tag) {
        case tText: return b < 0x80 && left - 2 >= b ? 2u + b : 0u;
        case tSmallLong:
        case tWholeDouble: return b < 0x80 ? 2 : 0; // one byte of varint: in range
        case tBool: return b <= 1 ? 2 : 0;
        case tDouble:
        case tDate: return left >= 9 ? 9 : 0;
        case tEmptyText:
        case tSameText:
        case tVersionText:
        case tEmpty:
        case tNull: return 1;
        default: return 0;
        }
    }
    bool skip_marks() noexcept {
        while (pos_ < in_.size() && static_cast<std::uint8_t>(in_[pos_]) == stored_tags::tSpan) {
            if (in_.size() - pos_ < 9) return false;
            pos_ += 9;
            last_text_ = {};
        }
        return true;
    }
    bool varint(std::uint64_t& v) noexcept {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (pos_ >= in_.size()) return false;
            const auto b = static_cast<std::uint8_t>(in_[pos_++]);
            v |= std::uint64_t(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    bool fixed(int n, std::uint64_t& v) noexcept {
        if (in_.size() - pos_ < static_cast<std::size_t>(n)) return false;
        v = 0;
        for (int i = 0; i < n; ++i) v |= std::uint64_t(static_cast<std::uint8_t>(in_[pos_ + i])) << (8 * i);
        pos_ += static_cast<std::size_t>(n);
        return true;
    }
    bool bytes(std::uint64_t n, std::string_view& out) noexcept {
        if (n > in_.size() - pos_) return false;
        out = in_.substr(pos_, n);
        pos_ += n;
        return true;
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    std::string_view last_text_;
    std::size_t span_room_;
    std::uint64_t bits_ = 0;
    std::uint8_t tag_ = 0;
};

} // namespace tr47::detail

// A cursor over stored values that looks at their framing only (tags,
// lengths, numbers in range) without making them: enough for a check of a
// stored form's structure at the speed of a byte scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tr47::detail {

class StoredCursor {
public:
    explicit StoredCursor(std::string_view bytes) noexcept : in_(bytes) {}

    enum class Kind {
        Text, // `text` views it
        Long, // `number` holds it, in the range of a long
        Scalar, // Empty, Null, a double, a date, a boolean or an error
    };
    // The next value, span marks passed over as reading value by value does.
    // False at the end, and on anything a reader would refuse or that is no
    // plain value (an embedded object): the caller then reads the usual way.
    bool next(Kind& kind, std::string_view& text, std::int64_t& number) noexcept;
    // Takes the span that comes next (its bytes). Broken: a span mark whose
    // length a reader refuses.
    enum class Span { None, Taken, Broken };
    Span span(std::string_view& bytes) noexcept;
    // Whether only span marks are left.
    bool at_end() noexcept;

private:
    bool skip_marks() noexcept;
    bool varint(std::uint64_t& v) noexcept;
    bool fixed(int bytes, std::uint64_t& v) noexcept;
    bool bytes(std::uint64_t n, std::string_view& out) noexcept;

    std::string_view in_;
    std::size_t pos_ = 0;
    std::string_view last_text_;
};

} // namespace tr47::detail

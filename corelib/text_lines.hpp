// The lines of an INI text file for the reader object's text mode. A large
// file is read ahead on a thread of its own when the process may run on a
// second core: reading, finding the line breaks and checking the UTF-8 of
// one batch of lines overlap with the import of the batch before it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "corelib/limits.hpp"

namespace tr47::detail {

class TextLines {
public:
    TextLines();
    ~TextLines();
    TextLines(const TextLines&) = delete;
    TextLines& operator=(const TextLines&) = delete;

    // Opens a regular file and reads its start (a byte order mark decides
    // the encoding); false when it cannot be opened or read.
    bool open(const std::string& path);
    // Whether no line is left; raises a read error of the file.
    bool at_end() {
        if (at_ != end_ && !(at_->flags & kFailure)) return false;
        return at_end_slow();
    }
    // The next line without its line break, as UTF-8, valid until the next
    // call; `converted` holds it when it had to be converted. Past the end
    // the line is empty. A line longer than the limit counts as a line and
    // raises hr::LIMIT_EXCEEDED.
    void next(std::string_view& line, std::string& converted) {
        // Inline: the usual line of a batch read ahead.
        if (at_ != end_ && (at_->flags & (kFailure | kValidUtf8)) == kValidUtf8) {
            line = std::string_view(bytes_, at_->size);
            bytes_ += at_->size;
            noControls_ = (at_->flags & kNoControls) != 0;
            ++at_;
            ++line_;
            return;
        }
        next_slow(line, converted);
    }
    // Number of the line that next() gave last (1-based).
    std::int64_t line_number() const noexcept { return line_; }
    // Whether that line is known to hold no byte below 0x0E.
    bool line_free_of_controls() const noexcept { return noControls_; }
    // Whether the lines come from a thread of their own.
    bool read_ahead() const noexcept;

    // A line of a batch read ahead: its bytes follow those of the line
    // before it in the batch.
    struct Entry {
        std::uint32_t size;
        std::uint8_t flags;
    };
    // kCounted: a line refused as too long; kAtEnd: a read error met while
    // asking whether a line is left (otherwise met within a line).
    static constexpr std::uint8_t kValidUtf8 = 1, kNoControls = 2, kFailure = 4, kCounted = 8, kAtEnd = 16;
    struct Source;
    struct Ahead;

private:
    bool at_end_slow();
    void next_slow(std::string_view& line, std::string& converted);

    // The rest of the batch in hand (read ahead only).
    const Entry* at_ = nullptr;
    const Entry* end_ = nullptr;
    const char* bytes_ = nullptr;
    std::int64_t line_ = 0;
    bool noControls_ = false;
    std::unique_ptr<Source> source_; // read on this thread
    std::unique_ptr<Ahead> ahead_; // or on the thread of its own
};

// How text files are read. Files of `readAheadFrom` bytes or more are read
// ahead, handed over in batches of about `batchBytes` bytes of lines, when
// the process may run on two cores (or `evenOnOneCore`); a line longer than
// `maxLineBytes` (at most 1 GiB) is refused; a read that reaches
// `failReadAt` bytes of the file fails as a read error does. Taken by each
// open; changed by tests.
struct TextLineSettings {
    std::uint64_t readAheadFrom = std::uint64_t{4} << 20;
    std::size_t batchBytes = std::size_t{256} << 10;
    bool evenOnOneCore = false;
    std::size_t maxLineBytes = limits::kMaxLineBytes;
    std::uint64_t failReadAt = UINT64_MAX;
};
TextLineSettings text_line_settings();
void set_text_line_settings(const TextLineSettings& settings);

} // namespace tr47::detail

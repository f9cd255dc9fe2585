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
    bool at_end();
    // The next line without its line break, as UTF-8, valid until the next
    // call; `converted` holds it when it had to be converted. `lineNumber`
    // counts it, also when it is refused as too long (hr::LIMIT_EXCEEDED);
    // past the end the line is empty. `noControls`: the line is known to
    // hold no byte below 0x0E.
    void next(std::string_view& line, std::string& converted, std::int64_t& lineNumber, bool& noControls);
    // Whether the lines come from a thread of their own.
    bool read_ahead() const noexcept;

    struct Source;
    struct Ahead;

private:
    std::unique_ptr<Source> source_; // read on this thread
    std::unique_ptr<Ahead> ahead_; // or on the thread of its own
};

// How text files are read. Files of `readAheadFrom` bytes or more are read
// ahead, handed over in batches of about `batchBytes` bytes of lines, when
// the process may run on two cores (or `evenOnOneCore`); a line longer than
// `maxLineBytes` is refused. Taken by each open; changed by tests.
struct TextLineSettings {
    std::uint64_t readAheadFrom = std::uint64_t{4} << 20;
    std::size_t batchBytes = std::size_t{256} << 10;
    bool evenOnOneCore = false;
    std::size_t maxLineBytes = limits::kMaxLineBytes;
};
TextLineSettings text_line_settings();
void set_text_line_settings(const TextLineSettings& settings);

} // namespace tr47::detail

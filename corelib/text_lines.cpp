#include "corelib/text_lines.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "corelib/limits.hpp"
#include "corelib/platform.hpp"
#include "corelib/utf.hpp"
#include "tr47ini/corelib.hpp"

namespace tr47::detail {

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;

std::mutex g_settings_mutex;
TextLineSettings g_settings;

// Bytes read from the file and not handed out yet, lines found in place: a
// block that a read fills without clearing it first (a string would zero
// each block before the read overwrites it).
class LineBuffer {
public:
    const char* data() const noexcept { return block_.get(); }
    std::size_t size() const noexcept { return size_; }
    char operator[](std::size_t i) const noexcept { return block_[i]; }
    std::string_view view() const noexcept { return {block_.get(), size_}; }
    void drop_front(std::size_t n) noexcept {
        if (n < size_) std::memmove(block_.get(), block_.get() + n, size_ - n);
        size_ = n < size_ ? size_ - n : 0;
    }
    // Room for n more bytes after the text; grown() says how many came.
    char* room(std::size_t n) {
        if (capacity_ - size_ < n) {
            const std::size_t wanted = std::max(size_ + n, 2 * capacity_);
            auto fresh = std::make_unique_for_overwrite<char[]>(wanted);
            if (size_) std::memcpy(fresh.get(), block_.get(), size_);
            block_ = std::move(fresh);
            capacity_ = wanted;
        }
        return block_.get() + size_;
    }
    void grown(std::size_t n) noexcept { size_ += n; }
    void assign(std::string_view text) {
        size_ = 0;
        std::memcpy(room(text.size()), text.data(), text.size());
        size_ = text.size();
    }

private:
    std::unique_ptr<char[]> block_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Position of the first CR or LF at or after `from` (npos: none), whether
// every byte before it is ASCII, so that most lines need no UTF-8 check of
// their own, and whether none of them is another byte below 0x0E (tab,
// backspace, ...), so that most need no cleaning. false means "not known".
std::size_t find_line_break(const LineBuffer& buf, std::size_t from, bool& ascii, bool& noControls) {
    const char* const data = buf.data();
    const std::size_t size = buf.size();
    const auto is_break = [](char c) { return c == '\n' || c == '\r'; };
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), thirteen = _mm_set1_epi8(13);
    unsigned high = 0;
    noControls = true;
    std::size_t i = from;
    for (; i + 16 <= size; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        // Bytes up to 13: the line breaks and the other controls at once.
        auto low = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, thirteen), v)));
        if (low && noControls) {
            const unsigned k = static_cast<unsigned>(__builtin_ctz(low));
            if (!is_break(data[i + k])) noControls = false;
        }
        if (low && !noControls)
            low = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
        const auto top = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (low) {
            const unsigned k = static_cast<unsigned>(__builtin_ctz(low));
            ascii = high == 0 && (top & ((1u << k) - 1)) == 0;
            return i + k;
        }
        high |= top;
    }
    for (; i < size; ++i) {
        if (is_break(data[i])) break;
        noControls = noControls && static_cast<unsigned char>(data[i]) >= 14;
        high |= static_cast<unsigned char>(data[i]) & 0x80u;
    }
    ascii = high == 0;
    return i < size ? i : std::string::npos;
#else
    ascii = false;
    std::size_t at = std::string::npos;
    for (std::size_t i = from; i < size;) {
        const void* lf = std::memchr(data + i, '\n', size - i);
        const std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) : size;
        // A CR before the LF (or before the end) ends the line there.
        if (const void* cr = std::memchr(data + i, '\r', end - i)) {
            at = static_cast<std::size_t>(static_cast<const char*>(cr) - data);
            break;
        }
        if (lf) {
            at = end;
            break;
        }
        i = end;
    }
    noControls = true;
    for (std::size_t i = from; i < (at == std::string::npos ? size : at) && noControls; ++i)
        noControls = static_cast<unsigned char>(data[i]) >= 14 || is_break(data[i]);
    return at;
#endif
}

} // namespace

// The file and what was read of it.
struct TextLines::Source {
    std::string path;
    std::FILE* file = nullptr;
    LineBuffer buf;
    std::size_t pos = 0;
    bool fileEnd = true;
    // Blocks grow from 64 KiB to 1 MiB: small files cost no large buffer.
    std::size_t block = std::size_t{64} << 10;
    std::size_t maxLineBytes = limits::kMaxLineBytes;
    std::uint64_t readBytes = 0;
    std::uint64_t failReadAt = UINT64_MAX;

    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source() {
        if (file) std::fclose(file);
    }

    void fill() {
        if (fileEnd || !file) return;
        if (pos > 0) {
            buf.drop_front(pos);
            pos = 0;
        }
        const std::size_t want = block;
        block = std::min(block * 2, kBlock);
        std::size_t got = std::fread(buf.room(want), 1, want, file);
        const bool injected = readBytes + got >= failReadAt;
        if (injected) got = static_cast<std::size_t>(std::max(readBytes, failReadAt) - readBytes);
        readBytes += got;
        buf.grown(got);
        if (got < want || injected) {
            fileEnd = true;
            const bool failed = injected || std::ferror(file);
            std::fclose(file);
            file = nullptr;
            if (failed) raise(hr::PATH_ACCESS, "File read error: " + path);
        }
    }

    bool at_end() {
        if (pos >= buf.size()) fill();
        return pos >= buf.size();
    }

    // The next line as it stands in the file; `ascii` and `noControls` as
    // find_line_break has them.
    void next(std::string_view& line, std::int64_t& lineNumber, bool& ascii, bool& noControls) {
        line = {};
        bool tooLong = false;
        std::size_t scanned = 0; // bytes after pos known to hold no line break
        for (;;) {
            std::size_t at = find_line_break(buf, pos + scanned, ascii, noControls);
            // A search resumed after a refill saw only the line's last part.
            if (scanned > 0) ascii = noControls = false;
            if (at == std::string::npos || (buf[at] == '\r' && at + 1 == buf.size())) {
                if (!fileEnd) {
                    scanned = (at == std::string::npos ? buf.size() : at) - pos;
                    if (scanned > maxLineBytes) {
                        // Drop what is held so far; the line is refused below.
                        tooLong = true;
                        pos = buf.size();
                        scanned = 0;
                    }
                    fill();
                    continue;
                }
                if (at == std::string::npos) at = buf.size();
            }
            // The buffer is refilled only by the next read, so the view holds.
            if (!tooLong) line = buf.view().substr(pos, at - pos);
            std::size_t after = at;
            if (after < buf.size())
                after += (buf[after] == '\r' && after + 1 < buf.size() && buf[after + 1] == '\n') ? 2 : 1;
            pos = after;
            ++lineNumber;
            if (tooLong || line.size() > maxLineBytes)
                raise(hr::LIMIT_EXCEEDED, "Line " + std::to_string(lineNumber) + " of " + path + " is longer than " +
                                              std::to_string(maxLineBytes >> 20) + " MiB");
            return;
        }
    }
};

// Lines read by a thread of its own and handed over in batches: each
// batch holds the bytes of its lines one after the other and an entry per
// line. A failure is an entry of its own, so that it is raised where the
// reading on this thread would have raised it.
struct TextLines::Ahead {
    struct Batch {
        std::unique_ptr<char[]> bytes;
        std::size_t capacity = 0, used = 0;
        std::vector<Entry> entries;
        std::vector<std::exception_ptr> failures;
        void clear() {
            used = 0;
            entries.clear();
            failures.clear();
        }
    };

    std::unique_ptr<Source> source; // the reading thread's alone
    const std::size_t batchBytes;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Batch>> ready;
    std::vector<std::unique_ptr<Batch>> spare;
    bool finished = false; // no batch comes after `ready`
    bool stopped = false; // nobody reads on
    // The batch this thread reads, and its next failure.
    std::unique_ptr<Batch> current;
    std::size_t failure = 0;
    // What escaped the reading thread (memory), raised from then on.
    std::exception_ptr broken;
    // No thread could be started: the work ran at once on the opener's,
    // which then reads the lines itself (see open).
    bool noThread = false;
    std::optional<platform::Background> reading; // last: ends first

    Ahead(std::unique_ptr<Source> s, std::size_t batch)
            : source(std::move(s)), batchBytes(std::max<std::size_t>(batch, 1)) {
        const std::thread::id opener = std::this_thread::get_id();
        reading.emplace([this, opener] {
            if (std::this_thread::get_id() == opener)
                noThread = true;
            else
                read();
        });
    }
    Ahead(const Ahead&) = delete;
    Ahead& operator=(const Ahead&) = delete;
    ~Ahead() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopped = true;
        }
        changed.notify_all();
        reading.reset();
    }

    // --- the reading thread
    std::unique_ptr<Batch> fresh_batch() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!spare.empty()) {
                std::unique_ptr<Batch> b = std::move(spare.back());
                spare.pop_back();
                return b;
            }
        }
        return std::make_unique<Batch>();
    }
    // Two batches wait at most: memory stays a few batches whatever the
    // file's size. false: nobody reads on.
    bool hand_over(std::unique_ptr<Batch>& b) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return stopped || ready.size() < 2; });
            if (stopped) return false;
            ready.push_back(std::move(b));
        }
        changed.notify_all();
        return true;
    }
    void read() {
        try {
            read_lines();
        } catch (...) {
            // Out of memory: what was handed over is read, then this.
            {
                std::lock_guard<std::mutex> lock(mutex);
                finished = true;
            }
            changed.notify_all();
            throw;
        }
    }
    void read_lines() {
        std::unique_ptr<Batch> b = fresh_batch();
        std::int64_t lineNumber = 0;
        // Hands the batch over and takes the next (spare ones come back
        // cleared); false: nobody reads on.
        const auto pass_on = [&] {
            if (!hand_over(b)) return false;
            b = fresh_batch();
            return true;
        };
        const auto fail = [&](std::uint8_t flags) {
            b->entries.push_back({0, static_cast<std::uint8_t>(kFailure | flags)});
            b->failures.push_back(std::current_exception());
        };
        for (;;) {
            try {
                if (source->at_end()) break;
            } catch (...) {
                fail(kAtEnd);
                continue; // the file is closed now; what was read is read on
            }
            std::string_view line;
            bool ascii = false, noControls = false;
            const std::int64_t before = lineNumber;
            try {
                source->next(line, lineNumber, ascii, noControls);
            } catch (...) {
                fail(lineNumber != before ? kCounted : 0);
                continue;
            }
            if (b->used + line.size() > b->capacity && !b->entries.empty() && !pass_on()) return;
            if (b->used + line.size() > b->capacity) {
                b->capacity = std::max(batchBytes, line.size());
                b->bytes = std::make_unique_for_overwrite<char[]>(b->capacity);
            }
            if (!line.empty()) std::memcpy(b->bytes.get() + b->used, line.data(), line.size());
            b->used += line.size();
            const bool valid = ascii || is_valid_utf8(line);
            b->entries.push_back(
                {static_cast<std::uint32_t>(line.size()),
                 static_cast<std::uint8_t>((valid ? kValidUtf8 : 0) | (noControls ? kNoControls : 0))});
            if (b->used >= batchBytes && !pass_on()) return;
        }
        if (!b->entries.empty() && !hand_over(b)) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        changed.notify_all();
    }

    // --- this thread
    // Gives `lines` the next batch, waiting for it; false at the end.
    bool advance(TextLines& lines) {
        std::unique_lock<std::mutex> lock(mutex);
        if (current) {
            current->clear();
            // A batch grown for a long line does not keep its room.
            if (current->capacity > 4 * batchBytes) {
                current->bytes.reset();
                current->capacity = 0;
            }
            spare.push_back(std::move(current));
        }
        changed.wait(lock, [&] { return !ready.empty() || finished; });
        if (ready.empty()) {
            lock.unlock();
            lines.at_ = lines.end_ = nullptr;
            if (broken) std::rethrow_exception(broken);
            try {
                reading->join(); // rethrows what escaped the reading
            } catch (...) {
                // Never read as the end of the file: the rest is missing.
                broken = std::current_exception();
                throw;
            }
            return false;
        }
        current = std::move(ready.front());
        ready.pop_front();
        lock.unlock();
        changed.notify_all();
        failure = 0;
        lines.at_ = current->entries.data();
        lines.end_ = lines.at_ + current->entries.size();
        lines.bytes_ = current->bytes.get();
        return true;
    }
    [[noreturn]] void raise_failure() { std::rethrow_exception(current->failures[failure++]); }
};

TextLines::TextLines() = default;
TextLines::~TextLines() = default;

bool TextLines::open(const std::string& path) {
    // Only regular files: a device such as /dev/zero never ends, and a FIFO
    // without a writer would keep the import waiting.
    std::uint64_t size = 0;
    if (platform::file_kind(path, &size) != platform::FileKind::Regular) return false;
    const TextLineSettings settings = text_line_settings();
    auto s = std::make_unique<Source>();
    s->path = path;
    s->maxLineBytes = settings.maxLineBytes;
    s->failReadAt = settings.failReadAt;
    s->file = platform::open_for_reading(path);
    if (!s->file) return false;
    s->fileEnd = false;
    try {
        s->fill();
        auto starts = [&](const char* bom, std::size_t n) {
            return s->buf.size() >= n && std::memcmp(s->buf.data(), bom, n) == 0;
        };
        if (starts("\xEF\xBB\xBF", 3)) {
            s->pos = 3;
        } else if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) {
            // UTF-16: decode the whole file once into UTF-8.
            bool little = s->buf[0] == '\xFF';
            while (!s->fileEnd) {
                std::size_t before = s->buf.size();
                s->fill();
                if (s->buf.size() > limits::kMaxStoredFileBytes || s->buf.size() == before) break;
            }
            std::string_view raw = s->buf.view();
            raw.remove_prefix(2);
            std::size_t units = raw.size() / 2;
            std::u16string u(units, u'\0');
            for (std::size_t i = 0; i < units; ++i) {
                auto a = static_cast<std::uint8_t>(raw[2 * i]), b = static_cast<std::uint8_t>(raw[2 * i + 1]);
                u[i] = little ? static_cast<char16_t>(a | b << 8) : static_cast<char16_t>(b | a << 8);
            }
            s->buf.assign(utf16_to_utf8(u.data(), u.size()));
            s->pos = 0;
            s->fileEnd = true;
        }
    } catch (const Error&) {
        return false;
    }
    ahead_.reset();
    source_.reset();
    if (!s->fileEnd && size >= settings.readAheadFrom && (settings.evenOnOneCore || platform::usable_cores() >= 2)) {
        ahead_ = std::make_unique<Ahead>(std::move(s), settings.batchBytes);
        if (!ahead_->noThread) return true;
        s = std::move(ahead_->source);
        ahead_.reset();
    }
    source_ = std::move(s);
    return true;
}

bool TextLines::at_end_slow() {
    if (!ahead_) return !source_ || source_->at_end();
    while (at_ == end_)
        if (!ahead_->advance(*this)) return true;
    // A read error comes up where the reading on this thread would have
    // met it: here when it was met asking for the end, else in next().
    if ((at_->flags & kFailure) && (at_->flags & kAtEnd)) {
        ++at_;
        ahead_->raise_failure();
    }
    return false;
}

void TextLines::next_slow(std::string_view& line, std::string& converted) {
    noControls_ = false;
    line = {};
    if (ahead_) {
        while (at_ == end_)
            if (!ahead_->advance(*this)) {
                ++line_;
                noControls_ = true;
                return;
            }
        const Entry e = *at_++;
        if (e.flags & kFailure) {
            if (e.flags & kCounted) ++line_;
            ahead_->raise_failure();
        }
        line = std::string_view(bytes_, e.size);
        bytes_ += e.size;
        ++line_;
        noControls_ = (e.flags & kNoControls) != 0;
        if (e.flags & kValidUtf8) return;
    } else {
        if (!source_) return;
        bool ascii = false, free = false;
        source_->next(line, line_, ascii, free);
        // Converting adds no byte below 0x80.
        noControls_ = free;
        if (ascii || is_valid_utf8(line)) return;
    }
    converted = windows1252_to_utf8(line);
    line = converted;
}

bool TextLines::read_ahead() const noexcept { return ahead_ != nullptr; }

TextLineSettings text_line_settings() {
    std::lock_guard<std::mutex> lock(g_settings_mutex);
    return g_settings;
}

void set_text_line_settings(const TextLineSettings& settings) {
    std::lock_guard<std::mutex> lock(g_settings_mutex);
    g_settings = settings;
    // A line's size is kept in 32 bits.
    g_settings.maxLineBytes = std::min<std::size_t>(settings.maxLineBytes, std::size_t{1} << 30);
}

} // namespace tr47::detail

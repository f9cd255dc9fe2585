// The group statement parser: reads one group block (and, nested, the
// blocks of its child groups) from a reader object.
//
// Each nesting level behaves as its own call of IMPORT on the child group,
// with its own pending prefix and error mode, but the levels live on an
// explicit stack instead of the native one, so a file of any nesting depth
// imports without exhausting the stack.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "corelib/ascii_words.hpp"
#include "corelib/blanks.hpp"
#include "corelib/limits.hpp"
#include "corelib/numbers.hpp"
#include "corelib/text_lines.hpp"
#include "import/ini_text.hpp"
#include "import/name_interner.hpp"
#include "model/collection_core.hpp"
#include "model/internal.hpp"

namespace tr47 {

namespace detail {

namespace {

CollectionCore& core(CollectionBase& collection) { return CollectionCore::of(collection); }

enum class Step { Continue, BlockEnd, Failed, Child };

enum class Keyword { None, Comment, Begin, Enum, End };

// The keyword an upper-cased name is, if any.
Keyword keyword_named(std::string_view upperName) {
    switch (upperName.empty() ? '\0' : upperName[0]) {
    case 'B': return upperName == "BEGIN" ? Keyword::Begin : Keyword::None;
    case 'C': return upperName == "COMMENT" ? Keyword::Comment : Keyword::None;
    case 'R': return upperName == "REM" ? Keyword::Comment : Keyword::None;
    case 'E': return upperName == "ENUM" ? Keyword::Enum : upperName == "END" ? Keyword::End : Keyword::None;
    default: return Keyword::None;
    }
}

// The keyword an ASCII name of three to seven characters is, if any,
// upper-cased as one word.
constexpr std::uint64_t word_of(std::string_view upperName) {
    std::uint64_t w = 0;
    for (std::size_t k = 0; k < upperName.size(); ++k)
        w |= std::uint64_t(static_cast<std::uint8_t>(upperName[k])) << (8 * k);
    return w;
}
Keyword ascii_keyword_of(std::string_view name) {
    const std::uint64_t raw = word_at(name.data(), name.size());
    // i does not become I in every locale: such names take the case
    // mapping. Of the keywords only BEGIN holds an I.
    if (holds_byte(raw, 'i')) return name.size() == 5 ? keyword_named(upper(name)) : Keyword::None;
    const std::uint64_t w = ascii_upper_word(raw);
    switch (w) {
    case word_of("BEGIN"): return Keyword::Begin;
    case word_of("COMMENT"):
    case word_of("REM"): return Keyword::Comment;
    case word_of("ENUM"): return Keyword::Enum;
    case word_of("END"): return Keyword::End;
    default: return Keyword::None;
    }
}

Keyword keyword_of(std::string_view name) {
    // Every keyword starts with B, C, E or R, and no other ASCII character
    // upper-cases to one of them: most names end here. A keyword has seven
    // characters at most, of four bytes at most.
    if (name.empty() || name.size() > 28) return Keyword::None;
    if (const auto first = static_cast<unsigned char>(name[0]); first < 0x80) {
        const int u = first & ~0x20;
        if (u != 'B' && u != 'C' && u != 'E' && u != 'R') return Keyword::None;
    }
    // Other letters can upper-case to ASCII ones (dotless i to I).
    for (char c : name)
        if (static_cast<unsigned char>(c) >= 0x80) return keyword_named(upper(name));
    if (name.size() < 3 || name.size() > 7) return Keyword::None;
    return ascii_keyword_of(name);
}

// Whether a byte below 14 (among them tab, backspace, CR and LF) occurs,
// eight bytes at a time (the last word overlaps: zeros past the end would
// count).
bool has_control_below_14(std::string_view s) {
    const auto below = [](std::uint64_t w) { return has_byte_below(w, 14); };
    const std::size_t n = s.size();
    if (n < 8) {
        for (char c : s)
            if (static_cast<unsigned char>(c) < 14) return true;
        return false;
    }
    std::uint64_t w;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        std::memcpy(&w, s.data() + i, 8);
        if (below(w)) return true;
    }
    std::memcpy(&w, s.data() + n - 8, 8); // the last (overlapping) word
    return below(w);
}

// The places of the (at most two) commas of a value text, and whether it
// holds a non-ASCII byte; false for a text with more commas, a quote or a
// bracket. Sixteen bytes at a time where the processor allows.
bool find_commas(std::string_view text, std::size_t readableBefore, std::size_t (&commas)[2], int& count,
                 bool& nonAscii) {
    count = 0;
    nonAscii = false;
    std::size_t k = 0;
#if defined(__SSE2__)
    const __m128i comma = _mm_set1_epi8(','), open = _mm_set1_epi8('('), close = _mm_set1_epi8(')'),
                  quote = _mm_set1_epi8('"');
    // Sixteen bytes from `at` (which may lie before the text), of which the
    // lanes in `keep` are the text's and not yet scanned.
    const auto scan = [&](const char* at, unsigned keep) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i brackets = _mm_or_si128(_mm_cmpeq_epi8(v, open), _mm_cmpeq_epi8(v, close));
        if (static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(brackets, _mm_cmpeq_epi8(v, quote)))) & keep)
            return false;
        nonAscii = nonAscii || (static_cast<unsigned>(_mm_movemask_epi8(v)) & keep) != 0; // the top bits
        for (unsigned found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, comma))) & keep; found != 0;
             found &= found - 1) {
            if (count == 2) return false;
            commas[count++] = static_cast<std::size_t>(at + __builtin_ctz(found) - text.data());
        }
        return true;
    };
    for (; k + 16 <= text.size(); k += 16)
        if (!scan(text.data() + k, 0xFFFFu)) return false;
    // The rest through one load that ends with the text: it starts in bytes
    // already scanned or in the line before the text.
    if (k < text.size() && text.size() + readableBefore >= 16) {
        const std::size_t fresh = text.size() - k;
        return scan(text.data() + text.size() - 16, 0xFFFFu & ~((1u << (16 - fresh)) - 1));
    }
#else
    (void)readableBefore;
#endif
    for (; k < text.size(); ++k) {
        const char c = text[k];
        if (c == ',') {
            if (count == 2) return false;
            commas[count++] = k;
        } else if (c == '(' || c == ')' || c == '"') {
            return false;
        }
        nonAscii = nonAscii || static_cast<unsigned char>(c) >= 0x80;
    }
    return true;
}

// One open group block. A group that nothing outside the import can reach
// yet is built packed (group is then empty) and joins its parent when its
// block closes; the group IMPORT was called on, and groups whose collections
// are shared, are real objects filled as the statements come. A file nested
// a million levels deep holds a million frames at once: they stay small.
struct Frame {
    ref<cls_INIGroup> group;
    PackedGroup packed;
    std::uint32_t values_begin = 0; // this level's first record in the value stack
    std::uint32_t packed_depth : 31; // packed levels down to here (0: a real group)
    std::uint32_t ignoring : 1; // error mode: 0 = propagating

    Frame() : packed_depth(0), ignoring(0) {}
};

class GroupParser {
public:
    GroupParser(ReaderObject& reader, bool outputErrors, const ref<cls_INI>& root)
            : reader_(reader), output_(outputErrors), root_(root) {}

    bool run(const ref<cls_INIGroup>& start) {
        stack_.push_back(real_frame(start));
        for (;;) {
            Step step;
            std::exception_ptr failure;
            try {
                step = pass(stack_.back());
            } catch (...) {
                // Only a level in propagating mode lets a failure through.
                failure = std::current_exception();
                step = Step::Failed;
            }
            if (step == Step::Continue || step == Step::Child) continue;
            // This level's call ends: true at its END or at the end of the
            // file, false (or the failure) otherwise.
            bool result = step == Step::BlockEnd;
            pop_frame();
            while (!stack_.empty()) {
                Frame& parent = stack_.back();
                if (failure) {
                    if (!parent.ignoring) {
                        pop_frame();
                        continue;
                    }
                    // The parent passes over its failed "BEGIN" statement.
                    note_skipped(failure);
                    failure = nullptr;
                    result = true;
                }
                if (!result) {
                    pop_frame();
                    continue;
                }
                break;
            }
            if (stack_.empty()) {
                if (failure) std::rethrow_exception(failure);
                return result;
            }
        }
    }

private:
    static Frame real_frame(ref<cls_INIGroup> g) {
        Frame f;
        f.group = std::move(g);
        return f;
    }

    // Closes the innermost block; a packed group joins its parent, whatever
    // the block's outcome (a real one joined it when it was opened).
    void pop_frame() {
        Frame& f = stack_.back();
        if (!f.group && stack_.size() >= 2) {
            Frame& parent = stack_[stack_.size() - 2];
            // The values of the open packed levels wait on one stack, this
            // level's on top; they move to a list of their exact size in
            // the pool. The child records stay on the heap: a deep tree
            // frees them level by level as its groups are made real.
            const std::size_t begin = f.values_begin;
            f.packed.values.place_in(*pool_, values_.size() - begin);
            for (std::size_t i = begin; i < values_.size(); ++i) f.packed.values.push_back(std::move(values_[i]));
            values_.resize(begin);
            f.packed.children.shrink_to_fit();
            if (parent.group)
                core(*parent.group->CHILDREN()).append_packed(std::move(f.packed), pool_);
            else
                parent.packed.children.push_back(std::move(f.packed));
        }
        // Plus-continued text dies with its level: an enclosing level had
        // none left when this one opened.
        pending_.clear();
        stack_.pop_back();
    }

    const char* keep(std::string_view text, std::uint32_t& length) {
        if (text.size() > UINT32_MAX) raise(hr::LIMIT_EXCEEDED, "Text too long for one entry");
        length = static_cast<std::uint32_t>(text.size());
        return pool_->keep(text);
    }

    // Opens the block of a child group of f.
    void open_child(Frame& f, const std::string& name, const std::string& sort) {
        if (f.group) {
            ref<cls_INIGroups> children = f.group->CHILDREN();
            if (!core(*children).accepts_packed()) {
                stack_.push_back(real_frame(children->CREATE(name, sort)));
                return;
            }
        }
        if (!f.group && f.packed_depth >= static_cast<std::uint32_t>(kMaxPackedDepth)) {
            // Deep trees: a real group every so many levels bounds the
            // native recursion over packed ones.
            ref<cls_INIGroup> g = cls_INIGroup::create();
            g->SORT(sort);
            g->NAME(name);
            g->DATA()->init_identifier(Variant(name));
            f.packed.children.push_back(PackedGroup::holding(g));
            stack_.push_back(real_frame(std::move(g)));
            return;
        }
        Frame child;
        child.packed.form = PackedForm::Packed;
        child.packed.name = keep(name, child.packed.name_len);
        child.packed.sort = keep(sort, child.packed.sort_len);
        child.packed_depth = f.packed_depth + 1;
        if (values_.size() > UINT32_MAX) raise(hr::LIMIT_EXCEEDED, "Too many values in open groups");
        child.values_begin = static_cast<std::uint32_t>(values_.size());
        stack_.push_back(std::move(child));
    }

    // A value record for f's group: into its real values collection, or
    // into the packed level's list.
    void add_record(cls_INIValues* values, PackedValue&& r) {
        if (values)
            core(*values).append_packed(std::move(r), pool_);
        else
            values_.push_back(std::move(r));
    }

    // Adds a value to f's group, packed when it can be.
    void add_value(Frame& f, const std::string& name, const Variant& content, std::int32_t kind,
                   const TextList& items) {
        ref<cls_INIValues> values = f.group ? f.group->VALUES() : nullptr;
        const bool packable = kind != ID_INIValueSort_Enum && PackedValue::packable(name.size(), kind) &&
                              (!values || core(*values).accepts_packed());
        if (packable) {
            PackedValue r;
            r.set_name(names_.keep(name), name.size());
            r.set_sort(kind);
            if (r.set_content(content, *pool_)) {
                r.set_form(PackedForm::Packed);
                add_record(values.get(), std::move(r));
                return;
            }
        }
        ref<cls_INIValue> v;
        if (values) {
            v = values->CREATE(name, content, kind);
        } else {
            v = cls_INIValue::create();
            v->NAME(name);
            v->CONTENT(content);
            v->SORT(kind);
            v->DATA()->init_identifier(Variant(name));
            add_record(nullptr, PackedValue::holding(v));
        }
        if (kind == ID_INIValueSort_Enum) v->ENUMREF(root_->ENUMS()->Item(Variant(items.Item(1)), false));
    }

    // "END", "COMMENT"/"REM" and "BEGIN name" or "BEGIN sort, name" without
    // quotes or brackets: the outcome of the general path, without its lists.
    bool simple_keyword(Frame& f, Step& step) {
        const std::string_view s = statement_;
        std::size_t i = 0;
        while (i < s.size() && i < 8 && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z' && s[i] != 'i')))
            ++i;
        if (i < 3 || i > 7 || (i < s.size() && static_cast<unsigned char>(s[i]) >= 0x80)) return false;
        // A name character right after the letters makes it a longer name.
        if (i < s.size() && is_ascii_name_char(s[i], true)) return false;
        const Keyword k = ascii_keyword_of(s.substr(0, i));
        if (k == Keyword::End) {
            step = Step::BlockEnd;
            return true;
        }
        if (k == Keyword::Comment) {
            step = Step::Continue;
            return true;
        }
        if (k != Keyword::Begin) return false;
        std::string_view args = without_blank_ends(s.substr(i));
        if (!args.empty() && (args[0] == '=' || args[0] == ':')) args = without_blank_ends(args.substr(1));
        std::size_t comma = std::string_view::npos;
        for (std::size_t k2 = 0; k2 < args.size(); ++k2) {
            const char c = args[k2];
            if (c == '"' || c == '(' || c == ')') return false;
            if (c == ',') {
                if (comma != std::string_view::npos) return false;
                comma = k2;
            }
        }
        first_.assign(without_blank_ends(args.substr(0, comma)));
        second_.clear();
        if (comma != std::string_view::npos) second_.assign(without_blank_ends(args.substr(comma + 1)));
        const std::size_t depth = stack_.size();
        guarded(f, [&] {
            if (!second_.empty())
                open_child(f, second_, first_);
            else
                open_child(f, first_, "");
        });
        step = stack_.size() > depth ? Step::Child : Step::Continue;
        return true;
    }

    // The common statement Name=text, where the text holds no list, quote,
    // bracket or non-ASCII character: read straight into a packed record,
    // with the same outcome as the general path below. False leaves the
    // statement to that path.
    bool simple_value(Frame& f, std::string_view s) {
        std::size_t i = 0;
        while (i < s.size() && name_chars_[static_cast<unsigned char>(s[i])]) ++i;
        if (i == 0 || i == s.size() || s[i] != '=' || i > PackedValue::kMaxNameBytes) return false;
        const std::string_view name = s.substr(0, i);
        // An ASCII name (see above) can be a keyword only with the first
        // letter and length of one: BEGIN, COMMENT, REM, ENUM or END.
        const int first = name[0] & ~0x20;
        const bool keywordShape = (first == 'B' && i == 5) || (first == 'C' && i == 7) || (first == 'R' && i == 3) ||
                                  (first == 'E' && (i == 3 || i == 4));
        if (keywordShape && ascii_keyword_of(name) != Keyword::None) return false;
        const std::string_view text = without_blank_ends(s.substr(i + 1));
        // One quoted text ("a, b"), or a colour of three plain components.
        bool quoted = text.size() >= 2 && text.front() == '"' && text.back() == '"';
        if (quoted && text.substr(1, text.size() - 2).find('"') != std::string_view::npos) return false;
        std::size_t commas[2];
        int commaCount = 0;
        bool nonAscii = false;
        if (!quoted &&
            !find_commas(text, static_cast<std::size_t>(text.data() - s.data()), commas, commaCount, nonAscii))
            return false;
        // Other letters than ASCII ones only in a text without commas.
        if (commaCount == 1 || (nonAscii && commaCount > 0)) return false;
        cls_INIValues* values = nullptr;
        if (f.group) {
            values = f.group->VALUES().get();
            if (!core(*values).accepts_packed()) return false;
        }
        f.ignoring = true;
        PackedValue r;
        r.set_form(PackedForm::Packed);
        r.set_name(names_.keep(name), name.size());
        auto as_text = [&](std::string_view t) {
            r.set_sort(ID_INIValueSort_String);
            r.type = VarType::String;
            r.u.text = keep(t, r.text_len);
        };
        if (quoted || commaCount == 2) {
            if (quoted) {
                as_text(text.substr(1, text.size() - 2));
            } else {
                std::int32_t colour = 0;
                r.set_sort(ID_INIValueSort_Color);
                if (colour_number(without_blank_ends(text.substr(0, commas[0])),
                                  without_blank_ends(text.substr(commas[0] + 1, commas[1] - commas[0] - 1)),
                                  without_blank_ends(text.substr(commas[1] + 1)), colour)) {
                    r.type = VarType::Long;
                    r.u.lng = colour;
                } else {
                    as_text({});
                    r.set_sort(ID_INIValueSort_Color);
                }
            }
            add_record(values, std::move(r));
            return true;
        }
        double whole = std::numeric_limits<double>::quiet_NaN();
        int booleanWord = -1;
        // The text is trimmed; most are all ASCII.
        const std::int32_t cls =
            nonAscii ? classify_text(text, &whole) : classify_ascii_text(text, &whole, &booleanWord);
        if (bool flag = false; nonAscii && cls == 1 && std::isnan(whole) && is_boolean_word(text, &flag))
            booleanWord = flag ? 1 : 0;
        switch (cls) {
        case 1:
            if (!std::isnan(whole)) {
                // Without a comma the leading number is the whole one.
                if (whole != 0.0 || text == "0" || text == "0.0") {
                    r.set_sort(text.find('.') != std::string_view::npos ? ID_INIValueSort_Double
                                                                        : ID_INIValueSort_Long);
                    r.type = VarType::Double;
                    r.u.number = whole;
                } else {
                    as_text(text);
                }
            } else if (booleanWord >= 0) {
                r.set_sort(ID_INIValueSort_Boolean);
                r.type = VarType::Boolean;
                r.u.flag = booleanWord == 1;
            } else {
                return false; // not reached without brackets
            }
            break;
        case 2: {
            Date d;
            r.set_sort(ID_INIValueSort_Date);
            if (parse_date_text(text, d)) {
                r.type = VarType::Date;
                r.u.number = d.days;
            } else {
                as_text({});
            }
            r.set_sort(ID_INIValueSort_Date);
            break;
        }
        default: as_text(text); break;
        }
        add_record(values, std::move(r));
        return true;
    }

    // Runs a step of an ignoring-mode level: a failure is recorded and
    // skipped, and the level goes on with what follows.
    template <class F>
    bool guarded(Frame& f, F&& step) {
        if (!f.ignoring) {
            step();
            return true;
        }
        try {
            step();
            return true;
        } catch (...) {
            note_skipped(std::current_exception());
            return false;
        }
    }

    void note_skipped(const std::exception_ptr& e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            DiagnosticScope::report({reader_.path(), reader_.line_number(), statement_, ex.what()});
        } catch (...) {
        }
    }

    void problem(const std::string& message) {
        DiagnosticScope::report({reader_.path(), reader_.line_number(), statement_, message});
        if (output_) show_import_message(message);
    }

    // The line without line-break, tab and backspace characters and without
    // blanks at either end, copied once into `out`.
    // A non-empty line that is a comment.
    static bool is_comment(std::string_view line) {
        return line[0] == '#' || line[0] == '\'' || line.substr(0, 2) == "//";
    }

    static void clean(std::string_view raw, std::string& out) {
        auto dropped = [](char c) { return c == '\n' || c == '\r' || c == '\t' || c == '\b'; };
        if (!has_control_below_14(raw)) {
            // No dropped character anywhere (all are below 14): blanks only.
            out.assign(without_blank_ends(raw));
            return;
        }
        std::size_t start = 0;
        while (start < raw.size() && (raw[start] == ' ' || dropped(raw[start]))) ++start;
        std::size_t end = raw.size();
        while (end > start && (raw[end - 1] == ' ' || dropped(raw[end - 1]))) --end;
        raw = raw.substr(start, end - start);
        bool plain = true;
        for (char c : raw) plain = plain && !dropped(c);
        if (plain) {
            out.assign(raw);
            return;
        }
        out.clear();
        for (char c : raw)
            if (!dropped(c)) out += c;
        // Dropping a character inside can leave blanks at an end.
        std::size_t e = out.size();
        while (e > 0 && out[e - 1] == ' ') --e;
        out.resize(e);
        std::size_t b = 0;
        while (b < out.size() && out[b] == ' ') ++b;
        out.erase(0, b);
    }

    Step pass(Frame& f) {
        // The logical line: cleaned, comma continuations joined.
        bool atEnd = false;
        std::string& line = line_;
        // A line that cannot be read names no statement in its diagnostic.
        statement_.clear();
        // The reader's lines, taken straight; asked for again after anything
        // that may have reached a message sink, which may close or reopen
        // the reader.
        if (!guarded(f, [&] {
                TextLines* const lines = text_lines_of(reader_);
                atEnd = !lines || lines->at_end();
            }))
            atEnd = false;
        if (atEnd) return Step::BlockEnd;
        // Most lines need no cleaning and continue nothing: they are read in
        // the reader's buffer, without a copy.
        std::string_view plain;
        guarded(f, [&] {
            TextLines* const lines = text_lines_of(reader_);
            if (!lines) {
                line.clear();
                return;
            }
            std::string_view raw;
            lines->next(raw, converted_);
            if (pending_.empty() && (lines->line_free_of_controls() || !has_control_below_14(raw))) {
                const std::string_view trimmed = without_blank_ends(raw);
                if (!trimmed.empty() && trimmed.back() != ',' && trimmed.back() != '+') {
                    plain = trimmed;
                    line.clear();
                    return;
                }
            }
            clean(raw, line);
            while (!line.empty() && line.back() == ',') {
                std::string& next = next_;
                lines->next(raw, converted_);
                clean(raw, next);
                if (line.size() + next.size() > limits::kMaxLineBytes)
                    raise(hr::LIMIT_EXCEEDED,
                          "Continued line longer than " + std::to_string(limits::kMaxLineBytes >> 20) + " MiB");
                line += next;
                if (next.empty()) break; // past the end of the file
            }
        });
        if (!plain.empty()) {
            if (is_comment(plain)) return Step::Continue;
            try {
                if (simple_value(f, plain)) return Step::Continue;
            } catch (...) {
                statement_.assign(plain); // for the diagnostic of the failure
                throw;
            }
            line.assign(plain);
        }
        // Blank lines, comments, plus continuation.
        if (line.empty()) return Step::Continue;
        if (is_comment(line)) return Step::Continue;
        if (!pending_.empty()) {
            if (pending_.size() + line.size() > limits::kMaxLineBytes) {
                pending_.clear();
                guarded(f, [] { raise(hr::LIMIT_EXCEEDED, "Plus-continued line too long"); });
                return Step::Continue;
            }
            // Appended to the prefix, not the prefix put in front of the
            // line: a chain of plus lines then costs its length, not its
            // length times the number of lines.
            pending_ += line;
            line.swap(pending_);
            pending_.clear();
        }
        if (line.back() == '+') {
            line.pop_back();
            // The prefix keeps the larger buffer for the next line.
            pending_.swap(line);
            return Step::Continue;
        }
        // The statement stays in statement_ for diagnostics; no copy.
        statement_.swap(line);
        Step quick;
        if (simple_keyword(f, quick)) return quick;
        if (plain.empty() && simple_value(f, statement_)) return Step::Continue;

        // Anatomy and items (storage reused from line to line).
        Statement& st = st_;
        split_statement(statement_, st);
        TextList* const items = items_.get();
        auto& list = items->items();
        // Statements read items 1 to 3 and whether there are exactly three;
        // a fourth item holding the rest keeps a long list from costing
        // memory per item.
        if (!guarded(f, [&] { split_items(st.arguments, ",", 4, list); })) list.clear();
        Variant content{std::string()};
        std::int32_t kind = -1;
        guarded(f, [&] {
            const Toolkit& tk = GlobalObject::instance().toolkit();
            for (std::size_t i = 0; i < list.size(); ++i) {
                std::string& it = list[i];
                if (it.size() >= 2 && it.front() == '"' && it.back() == '"') {
                    it = tk.unquote(it);
                    if (i == 0) {
                        kind = ID_INIValueSort_String;
                        content = Variant(it);
                    }
                } else if (it.size() >= 2 && it.front() == '(' && it.back() == ')') {
                    it = it.substr(1, it.size() - 2);
                }
            }
        });

        // Keyword statements.
        const Keyword keyword = keyword_of(st.name);
        if (keyword == Keyword::Comment) return Step::Continue;
        if (keyword == Keyword::Begin) {
            const std::size_t depth = stack_.size();
            // f may move when the stack grows: nothing uses it after this.
            guarded(f, [&] {
                const std::string& i1 = items->Item(1);
                const std::string& i2 = items->Item(2);
                if (items->COUNT() >= 2 && !i2.empty())
                    open_child(f, i2, i1);
                else
                    open_child(f, i1, "");
            });
            // A failed "BEGIN" is passed over.
            return stack_.size() > depth ? Step::Child : Step::Continue;
        }
        if (keyword == Keyword::Enum) {
            guarded(f, [&] {
                if (!root_) raise(hr::OBJECT_NOT_SET, "Object variable not set: ENUM needs the document (pRoot)");
                ref<cls_INIEnum> e = root_->ENUMS()->CREATE(items->Item(1));
                e->IMPORT(items->Item(2));
            });
            return Step::Continue;
        }
        if (keyword == Keyword::End) return Step::BlockEnd;

        // A value assignment.
        if (st.separator != "=") {
            problem("Die Anweisung '" + statement_ + "' konnte nicht verstanden werden.");
            return Step::Failed;
        }
        f.ignoring = true;
        if (kind == -1) {
            ValueChoice choice;
            choice.content = content;
            bool undeclared = false;
            guarded(f, [&] { undeclared = !choose_value(*items, root_, choice); });
            if (undeclared) {
                problem("Die Aufz\xC3\xA4hlung '" + items->Item(1) + "' wurde nicht deklariert!");
                return Step::Failed;
            }
            kind = choice.kind;
            content = std::move(choice.content);
        }
        guarded(f, [&] { add_value(f, st.name, content, kind, *items); });
        return Step::Continue;
    }

    ReaderObject& reader_;
    bool output_;
    ref<cls_INI> root_;
    ref<PackedPool> pool_ = PackedPool::create();
    NameInterner names_{*pool_};
    // Whether i is a name character in this locale (asked once per import),
    // and the ASCII name characters by byte.
    const bool i_is_name_ = is_name_char("i");
    const std::array<bool, 256> name_chars_ = [this] {
        std::array<bool, 256> table{};
        for (int c = 0; c < 0x80; ++c) table[static_cast<std::size_t>(c)] = is_ascii_name_char(char(c), i_is_name_);
        return table;
    }();
    // A deque: its frames never move, and a deep file's stack of them is
    // not copied as it grows.
    std::deque<Frame> stack_;
    std::vector<PackedValue> values_; // values of the open packed levels
    std::string pending_; // plus-continued text of the innermost level
    std::string statement_;
    std::string line_, next_, converted_, first_, second_;
    Statement st_;
    ref<TextList> items_ = make_ref<TextList>();
};

} // namespace

bool import_group_block(cls_INIGroup& group, ReaderObject& reader, bool outputErrors, const ref<cls_INI>& root) {
    GroupParser parser(reader, outputErrors, root);
    return parser.run(ref<cls_INIGroup>(&group));
}

} // namespace detail

bool cls_INIGroup::IMPORT(const ref<ReaderObject>& vAcc, bool pOutputErrors, const ref<cls_INI>& pRoot) {
    if (!vAcc) raise(hr::OBJECT_NOT_SET, "Object variable not set: IMPORT needs a reader object");
    detail::DiagnosticScope scope;
    ref<ReaderObject> keep = vAcc;
    return detail::import_group_block(*this, *vAcc, pOutputErrors, pRoot);
}

} // namespace tr47

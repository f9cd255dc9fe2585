// Export of a model as INI text.
//
// Every statement is read back with the importer's own rules (statement
// anatomy, list splitter, item pass, kind choice, enumeration import)
// before it is written: a form that would not give back exactly what the
// model holds is never written silently. The plainest form is tried first,
// then one with every item in double quotes; when neither reads back, the
// loss is reported.
#include "tr47ini/export.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <ostream>
#include <unordered_map>
#include <unordered_set>

#include "corelib/limits.hpp"
#include "corelib/numbers.hpp"
#include "corelib/platform.hpp"
#include "corelib/utf.hpp"
#include "import/ini_text.hpp"

namespace tr47 {

namespace detail {

namespace {

// Indentation stops growing here: a million nested groups must not cost
// a million blanks per line.
constexpr std::size_t kMaxIndentLevels = 16;
// Path steps kept at each end of a long path in a diagnostic.
constexpr std::size_t kPathEnds = 8;

const char* const kNoDescription = "the INI text has no form for a DESCRIPTION; it is not written";

bool is_keyword(std::string_view name) {
    const std::string u = upper(name);
    return u == "BEGIN" || u == "END" || u == "ENUM" || u == "COMMENT" || u == "REM";
}

// Characters that the reader deletes from every line of a block.
bool has_deleted_character(std::string_view s) {
    for (char c : s)
        if (c == '\n' || c == '\r' || c == '\t' || c == '\b') return true;
    return false;
}

// Why a text cannot be part of a line at all; null when it can.
const char* unwritable_text(std::string_view s) {
    if (!is_valid_utf8(s)) return "is not valid UTF-8 (the reader would take its bytes as Windows-1252)";
    if (has_deleted_character(s)) return "holds line breaks, tabs or backspaces, which the reader deletes";
    if (s.size() > limits::kMaxLineBytes / 2) return "is longer than a line of INI text may be";
    return nullptr;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"') out += '"'; // a doubled quote stands for one
    }
    return out + "\"";
}

// Whether a text may stand as an item without quotes: nothing in it that
// the splitter, the item pass or the statement anatomy would act on.
bool plain_item(std::string_view text) {
    if (text.empty() || text.front() == ' ' || text.back() == ' ' || text.back() == '+') return false;
    if (text.front() == '=' || text.front() == ':') return false;
    for (char c : text)
        if (c == ',' || c == '(' || c == ')' || c == '"' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

std::string item_text(std::string_view text, bool plain) {
    return plain && plain_item(text) ? std::string(text) : quoted(text);
}

// ---------------------------------------------------------------------------
// Numbers.

// The shortest decimal that reads back as d: digits × 10^exponent.
void shortest_decimal(double d, std::string& digits, int& exponent) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(d), std::chars_format::scientific);
    const std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t e = s.find('e');
    digits.clear();
    for (char c : s.substr(0, e))
        if (c != '.') digits += c;
    int exp = 0;
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+'), s.data() + s.size(), exp);
    exponent = exp - static_cast<int>(digits.size() - 1);
}

// A Long is written without a decimal mark: whole numbers in full, others
// with an exponent (15E-1 reads as 1.5 and is still a Long).
std::string long_text(double d) {
    if (d == 0) return "0";
    const std::string sign = d < 0 ? "-" : "";
    if (std::isinf(d)) return sign + "1E999";
    std::string digits;
    int exponent = 0;
    shortest_decimal(d, digits, exponent);
    if (exponent >= 0 && digits.size() + static_cast<std::size_t>(exponent) <= 17)
        return sign + digits + std::string(static_cast<std::size_t>(exponent), '0');
    return sign + digits + "E" + std::to_string(exponent);
}

// A Double is written with a full stop, which tells it from a Long.
std::string double_text(double d) {
    if (d == 0) return "0.0";
    const std::string sign = d < 0 ? "-" : "";
    if (std::isinf(d)) return sign + "1.0E999";
    std::string digits;
    int exponent = 0;
    shortest_decimal(d, digits, exponent);
    // Digits before the decimal mark.
    const int point = static_cast<int>(digits.size()) + exponent;
    if (point > 0 && point <= 17) {
        const auto p = static_cast<std::size_t>(point);
        std::string whole = digits.substr(0, std::min(p, digits.size()));
        whole.append(p > digits.size() ? p - digits.size() : 0, '0');
        const std::string fraction = p < digits.size() ? digits.substr(p) : "0";
        return sign + whole + "." + fraction;
    }
    if (point <= 0 && point > -6) return sign + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    const std::string fraction = digits.size() > 1 ? digits.substr(1) : "0";
    return sign + digits.substr(0, 1) + "." + fraction + "E" + std::to_string(point - 1);
}

// ---------------------------------------------------------------------------
// Reading a line back as the group-level reader would.

struct ReadBack {
    Statement st;
    std::vector<std::string> items; // after the item pass
    bool firstQuoted = false;
};

// False when the line would not reach the statement reader as one
// statement of its own.
bool read_back(std::string_view line, ReadBack& rb) {
    if (line.empty() || line.size() > limits::kMaxLineBytes || !is_valid_utf8(line)) return false;
    if (line.front() == ' ' || line.back() == ' ' || has_deleted_character(line)) return false;
    if (line.back() == ',' || line.back() == '+') return false; // continuations
    if (line[0] == '#' || line[0] == '\'' || line.substr(0, 2) == "//") return false;
    split_statement(line, rb.st);
    split_items(rb.st.arguments, ",", 4, rb.items);
    const Toolkit& tk = GlobalObject::instance().toolkit();
    rb.firstQuoted = false;
    for (std::size_t i = 0; i < rb.items.size(); ++i) {
        std::string& it = rb.items[i];
        if (it.size() >= 2 && it.front() == '"' && it.back() == '"') {
            it = tk.unquote(it);
            if (i == 0) rb.firstQuoted = true;
        } else if (it.size() >= 2 && it.front() == '(' && it.back() == ')') {
            it = it.substr(1, it.size() - 2);
        }
    }
    return true;
}

const std::string& item_at(const std::vector<std::string>& items, std::size_t position) {
    static const std::string empty;
    return position >= 1 && position <= items.size() ? items[position - 1] : empty;
}

// ---------------------------------------------------------------------------

class Exporter {
public:
    explicit Exporter(const export_options& options) : eol_(options.crlf ? "\r\n" : "\n") {
        if (options.bom) out_ = "\xEF\xBB\xBF";
        bomSize_ = out_.size();
    }

    std::string out_;
    std::vector<export_diagnostic> diagnostics_;

    void document(cls_INI& doc) {
        if (!doc.VERSION().empty()) loss("document", "VERSION", "the INI text has no form for the document's VERSION");
        if (!doc.CONTENT().empty()) loss("document", "CONTENT", "the INI text has no form for the document's CONTENT");
        declare_enums(doc.ENUMS().get(), "");
        for (const std::string& l : enum_lines_) line(0, l);
        if (!enum_lines_.empty()) out_ += eol_;
        ref<cls_INIGroup> root = doc.ROOT();
        const std::string path = "ROOT";
        if (!root->NAME().empty()) loss(path, "NAME", "the root group is the file itself and has no name in the text");
        if (!root->SORT().empty()) loss(path, "SORT", "the root group is the file itself and has no sort in the text");
        if (!root->DESCRIPTION().empty()) loss(path, "DESCRIPTION", kNoDescription);
        tree(*root, path, false);
    }

    void groups(cls_INIGroups& groups, cls_INI* enumsOf) {
        if (enumsOf) declare_enums(enumsOf->ENUMS().get(), "enums_of/");
        bool declared = enum_lines_.empty();
        const std::int32_t n = groups.COUNT();
        for (std::int32_t i = 1; i <= n; ++i) {
            ref<cls_INIGroup> g = groups.Item(Variant(i), true);
            const std::string path = "CHILDREN(" + std::to_string(i) + "):" + g->NAME();
            std::string begin;
            if (!file_level_begin(*g, path, begin)) continue;
            group_checks(*g, path);
            if (out_.size() > bomSize_) out_ += eol_;
            line(0, begin);
            if (!declared) {
                // Enumerations belong to the document wherever they are
                // declared; the file level reads only BEGIN lines.
                for (const std::string& l : enum_lines_) line(1, l);
                declared = true;
            }
            tree(*g, path, true);
            line(0, "END");
        }
        if (!declared)
            for (const auto& [path, name] : declared_names_)
                loss(path, "NAME",
                     "the enumeration is not written: a groups file declares enumerations inside a "
                     "group, and there is none");
    }

private:
    std::string eol_;
    std::size_t bomSize_ = 0;
    std::vector<std::string> enum_lines_;
    std::vector<std::pair<std::string, std::string>> declared_names_;
    // The enumerations as the text declares them, in order: what the
    // reader's look-ups will find.
    ref<cls_INI> scratch_ = cls_INI::create();
    std::unordered_map<const cls_INIEnum*, ref<cls_INIEnum>> declared_as_;
    bool truncated_ = false;

    void loss(std::string path, std::string what, std::string why) {
        if (diagnostics_.size() >= limits::kMaxDiagnostics) {
            if (!truncated_) diagnostics_.push_back({"document", "diagnostics", "more losses than are listed"});
            truncated_ = true;
            return;
        }
        diagnostics_.push_back({std::move(path), std::move(what), std::move(why)});
    }

    void line(std::size_t depth, std::string_view text) {
        out_.append(2 * std::min(depth, kMaxIndentLevels), ' ');
        out_ += text;
        out_ += eol_;
    }

    // --- enumerations ------------------------------------------------------

    void declare_enums(cls_INIEnums* enums, const std::string& prefix) {
        const std::int32_t n = enums->COUNT();
        for (std::int32_t i = 1; i <= n; ++i) {
            ref<cls_INIEnum> e = enums->Item(Variant(i), true);
            std::string name;
            const std::string at = prefix + "ENUMS(" + std::to_string(i) + ")";
            try {
                name = e->NAME();
            } catch (const Error&) {
                loss(at, "NAME", "the name cannot be read as text; the enumeration is not written");
                continue;
            }
            const std::string path = at + ":" + name;
            if (!e->DESCRIPTION().empty()) loss(path, "DESCRIPTION", kNoDescription);
            std::vector<MemberList::Member> members = e->VALUES()->members();
            if (const char* why = unwritable_text(name)) {
                loss(path, "NAME", std::string("the name ") + why + "; the enumeration is not written");
                continue;
            }
            bool membersWritable = true;
            for (const auto& m : members)
                if (unwritable_text(m.name) || unwritable_text(m.value)) membersWritable = false;
            if (!membersWritable) {
                loss(path, "VALUES",
                     "a member's name or value holds line breaks, tabs or backspaces, or is not "
                     "valid UTF-8; the enumeration is not written");
                continue;
            }
            if (members.empty()) {
                loss(path, "VALUES",
                     "an enumeration without members reads back with one member whose name and "
                     "value are empty");
                members.push_back({});
            }
            std::string written;
            for (bool plain : {true, false}) {
                std::string text = "ENUM " + item_text(name, plain) + ",(";
                for (std::size_t k = 0; k < members.size(); ++k) {
                    if (k) text += ',';
                    text += item_text(members[k].name, plain) + "," + item_text(members[k].value, plain);
                }
                text += ')';
                if (enum_reads_back(text, name, members)) {
                    written = std::move(text);
                    break;
                }
            }
            if (written.empty()) {
                loss(path, "VALUES",
                     "no form of the declaration reads back with these members; the enumeration "
                     "is not written");
                continue;
            }
            enum_lines_.push_back(std::move(written));
            declared_names_.emplace_back(path, name);
            // An enumeration held twice in ENUMS is found at its first place.
            ref<cls_INIEnum> declared = scratch_->ENUMS()->CREATE(name);
            declared_as_.emplace(e.get(), declared);
        }
    }

    static bool enum_reads_back(const std::string& text, const std::string& name,
                                const std::vector<MemberList::Member>& members) {
        ReadBack rb;
        if (!read_back(text, rb) || upper(rb.st.name) != "ENUM" || item_at(rb.items, 1) != name) return false;
        ref<cls_INIEnum> e = cls_INIEnum::create();
        e->IMPORT(item_at(rb.items, 2));
        return e->VALUES()->members() == members;
    }

    // --- groups ------------------------------------------------------------

    void group_checks(cls_INIGroup& g, const std::string& path) {
        if (!g.DESCRIPTION().empty()) loss(path, "DESCRIPTION", kNoDescription);
        const Variant& key = g.DATA()->identifier();
        if (!key.is_string() || key.string() != g.NAME())
            loss(path, "key",
                 "its collection finds it by a key other than its NAME; read back, it is found by its NAME");
    }

    // "BEGIN name" or "BEGIN sort, name" at the group level.
    bool begin_line(cls_INIGroup& g, const std::string& path, std::string& text) {
        std::string name = g.NAME(), sort = g.SORT();
        if (const char* why = unwritable_text(name)) {
            loss(path, "NAME", std::string("the name ") + why + "; the group and what it holds are not written");
            return false;
        }
        if (const char* why = unwritable_text(sort)) {
            loss(path, "SORT", std::string("the sort ") + why + "; it is not written");
            sort.clear();
        }
        if (!sort.empty() && name.empty()) {
            loss(path, "SORT",
                 "a group with an empty NAME cannot keep its SORT: BEGIN would take the sort as the "
                 "name; the sort is not written");
            sort.clear();
        }
        for (bool plain : {true, false}) {
            if (sort.empty())
                text = name.empty() ? std::string("BEGIN") : "BEGIN " + item_text(name, plain);
            else
                text = "BEGIN " + item_text(sort, plain) + ", " + item_text(name, plain);
            ReadBack rb;
            if (!read_back(text, rb) || upper(rb.st.name) != "BEGIN") continue;
            const std::string& i1 = item_at(rb.items, 1);
            const std::string& i2 = item_at(rb.items, 2);
            const bool two = rb.items.size() >= 2 && !i2.empty();
            if ((two ? i2 : i1) == name && (two ? i1 : std::string()) == sort) return true;
        }
        loss(path, "NAME",
             "no form of BEGIN reads back with this name and sort; the group and what it holds are "
             "not written");
        return false;
    }

    // "BEGIN name sort" at the file level: items cut at blanks and kept as
    // written, quotes included.
    bool file_level_begin(cls_INIGroup& g, const std::string& path, std::string& text) {
        std::string name = g.NAME(), sort = g.SORT();
        if (!sort.empty() && name.empty()) {
            loss(path, "SORT",
                 "a group with an empty NAME cannot keep its SORT: BEGIN would take the sort as the "
                 "name; the sort is not written");
            sort.clear();
        }
        text = "BEGIN";
        if (!name.empty()) text += " " + name;
        if (!sort.empty()) text += " " + sort;
        if (is_valid_utf8(text) && text.find_first_of("\r\n") == std::string::npos && text.back() != '+' &&
            text.back() != ' ' && text.size() <= limits::kMaxLineBytes) {
            const Statement st = split_statement(text);
            ref<TextList> items = split_items(st.arguments, " ", 3);
            if (upper(st.name) == "BEGIN" && items->Item(1) == name && items->Item(2) == sort) return true;
        }
        loss(path, "NAME",
             "a top-level group of a groups file is named by words cut at blanks and kept as written "
             "(no quoting); this name and sort do not read back, and the group is not written");
        return false;
    }

    // Writes a group's values and, as BEGIN blocks, its children; the group's
    // own BEGIN line is the caller's. Iterative: trees may be very deep.
    void tree(cls_INIGroup& top, const std::string& topPath, bool nested) {
        struct Frame {
            ref<cls_INIGroup> group;
            std::string step;
            std::int32_t next = 1;
            std::int32_t count = 0;
        };
        std::vector<Frame> stack;
        std::unordered_set<const cls_INIGroup*> ancestors;
        const std::size_t base = nested ? 1 : 0;
        auto enter = [&](ref<cls_INIGroup> g, std::string step) {
            ancestors.insert(g.get());
            cls_INIGroups* children = g->children_if_any();
            Frame f;
            f.count = children ? children->COUNT() : 0;
            f.group = std::move(g);
            f.step = std::move(step);
            stack.push_back(std::move(f));
            values(*stack.back().group, stack.size() - 1 + base, [&] { return path_of(topPath, stack); });
        };
        enter(ref<cls_INIGroup>(&top), {});
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next > f.count) {
                ancestors.erase(f.group.get());
                stack.pop_back();
                if (!stack.empty()) line(stack.size() - 1 + base, "END");
                continue;
            }
            const std::int32_t i = f.next++;
            ref<cls_INIGroup> child = f.group->CHILDREN()->Item(Variant(i), true);
            std::string step = "CHILDREN(" + std::to_string(i) + "):" + child->NAME();
            const std::size_t depth = stack.size() - 1 + base;
            if (ancestors.count(child.get())) {
                stack.push_back({child, step});
                loss(path_of(topPath, stack), "CHILDREN",
                     "the group is its own ancestor; this occurrence is not written");
                stack.pop_back();
                continue;
            }
            stack.push_back({child, step});
            const std::string path = path_of(topPath, stack);
            stack.pop_back();
            std::string begin;
            if (!begin_line(*child, path, begin)) continue;
            group_checks(*child, path);
            // A blank line between top-level blocks, for the eye.
            if (depth == 0 && out_.size() > bomSize_) out_ += eol_;
            line(depth, begin);
            enter(std::move(child), std::move(step));
        }
    }

    template <class Frame>
    static std::string path_of(const std::string& top, const std::vector<Frame>& stack) {
        std::string p = top;
        const std::size_t n = stack.size();
        for (std::size_t k = 1; k < n; ++k) {
            if (n > 2 * kPathEnds + 1 && k == kPathEnds + 1) {
                p += "/.../(level " + std::to_string(n - kPathEnds) + ")";
                k = n - kPathEnds - 1;
                continue;
            }
            p += "/" + stack[k].step;
        }
        return p;
    }

    // --- values ------------------------------------------------------------

    template <class PathFn>
    void values(cls_INIGroup& g, std::size_t depth, PathFn groupPath) {
        cls_INIValues* values = g.values_if_any();
        const std::int32_t n = values ? values->COUNT() : 0;
        for (std::int32_t i = 1; i <= n; ++i) {
            ref<cls_INIValue> v = values->Item(Variant(i), true);
            std::string text;
            std::string path;
            auto where = [&]() -> const std::string& {
                if (path.empty()) path = groupPath() + "/VALUES(" + std::to_string(i) + "):" + v->NAME();
                return path;
            };
            if (value_line(*v, where, text)) line(depth, text);
        }
    }

    template <class Where>
    bool value_line(cls_INIValue& v, Where where, std::string& text) {
        if (!v.DESCRIPTION().empty()) loss(where(), "DESCRIPTION", kNoDescription);
        const std::string& name = v.NAME();
        if (const char* why = bad_value_name(name)) {
            loss(where(), "NAME", std::string("the name ") + why + "; the value is not written");
            return false;
        }
        const Variant& c = v.CONTENT();
        const std::int32_t kind = v.SORT();
        const char* kindName = value_sort_name(kind);
        if (!kindName) {
            loss(where(), "SORT", "kind " + std::to_string(kind) + " has no written form; the value is not written");
            return false;
        }
        auto mismatch = [&] {
            loss(where(), "CONTENT",
                 std::string("a ") + kindName + " value holding " + type_name(c.type()) +
                     " content reads back as something else; the value is not written");
            return false;
        };
        Variant expected = c;
        std::vector<std::string> forms; // argument texts, plainest first
        ref<cls_INIEnum> expectedEnum;
        switch (kind) {
        case ID_INIValueSort_String:
            if (!c.is_string()) return mismatch();
            if (const char* why = unwritable_text(c.string())) {
                loss(where(), "CONTENT", std::string("the text ") + why + "; the value is not written");
                return false;
            }
            if (!c.string().empty() && plain_item(c.string())) forms.push_back(c.string());
            forms.push_back(quoted(c.string()));
            break;
        case ID_INIValueSort_Long:
        case ID_INIValueSort_Double: {
            if (!c.is_double()) return mismatch();
            double d = c.dbl();
            if (!writable_number(d, expected, where)) return false;
            forms.push_back(kind == ID_INIValueSort_Long ? long_text(d) : double_text(d));
            break;
        }
        case ID_INIValueSort_Date:
            if (c.is_string() && c.string().empty()) {
                // A date text that names no day: what the reader makes of it.
                forms.push_back("0000-00-00");
                break;
            }
            if (!c.is_date()) return mismatch();
            {
                double days = c.date().days;
                if (!std::isfinite(days) || std::fabs(days) > 3.0e6) {
                    loss(where(), "CONTENT", "the date lies outside the years 100 to 9999; the value is not written");
                    return false;
                }
                // Automation dates count the time of day away from the epoch
                // on both sides: the day is the whole part.
                if (days != std::trunc(days)) {
                    loss(where(), "CONTENT", "the time of day has no written form; only the day is written");
                    days = std::trunc(days);
                    if (days == 0) days = 0.0; // no negative zero
                    expected = Variant(Date{days});
                }
                // Year first, four digits: the one form that reads back the
                // same in every locale; the reader takes years from 100 on.
                const std::string day = format_date(Date{days});
                const bool yearFirst = day.size() == 10 && day[0] >= '0' && day[0] <= '9';
                if (!yearFirst || std::stoi(day.substr(0, 4)) < 100) {
                    loss(where(), "CONTENT", "the date lies outside the years 100 to 9999; the value is not written");
                    return false;
                }
                forms.push_back(day);
            }
            break;
        case ID_INIValueSort_Boolean:
            if (!c.is_bool()) return mismatch();
            forms.push_back(c.boolean() ? "TRUE" : "FALSE");
            break;
        case ID_INIValueSort_Color:
            if (c.is_string() && c.string().empty()) {
                // Components out of range: what the reader makes of them.
                forms.push_back("-1,-1,-1");
                break;
            }
            if (!c.is_long()) return mismatch();
            if (c.lng() < 0 || c.lng() > 0xFFFFFF) {
                loss(where(), "CONTENT",
                     "a colour outside 0 to 16777215 has no three components; the value is not written");
                return false;
            }
            forms.push_back(std::to_string(c.lng() & 0xFF) + "," + std::to_string((c.lng() >> 8) & 0xFF) + "," +
                            std::to_string((c.lng() >> 16) & 0xFF));
            break;
        case ID_INIValueSort_Enum:
            if (!enum_forms(v, where, expected, expectedEnum, forms)) return false;
            break;
        }
        if (kind != ID_INIValueSort_Enum && v.ENUMREF())
            loss(where(), "ENUMREF",
                 "a value of another kind than Enum reads back without ENUMREF; the reference is "
                 "not written");
        for (const std::string& form : forms) {
            text = name + "=" + form;
            if (value_reads_back(text, name, kind, expected, expectedEnum)) return true;
        }
        loss(where(), "CONTENT", "no written form reads back as this content; the value is not written");
        return false;
    }

    // A number as the text can carry it: NaN cannot be written (a loss,
    // false); negative zero reads back as zero, so 0 is written and expected.
    template <class Where>
    bool writable_number(double& d, Variant& expected, Where where) {
        if (std::isnan(d)) {
            loss(where(), "CONTENT", "NaN has no written form; the value is not written");
            return false;
        }
        if (d == 0 && std::signbit(d)) {
            loss(where(), "CONTENT", "negative zero reads back as zero; 0 is written");
            d = 0.0;
            expected = Variant(d);
        }
        return true;
    }

    template <class Where>
    bool enum_forms(cls_INIValue& v, Where where, Variant& expected, ref<cls_INIEnum>& expectedEnum,
                    std::vector<std::string>& forms) {
        const ref<cls_INIEnum>& e = v.ENUMREF();
        if (!e) {
            loss(where(), "ENUMREF", "an Enum value without ENUMREF has no written form; the value is not written");
            return false;
        }
        const auto found = declared_as_.find(e.get());
        if (found == declared_as_.end()) {
            loss(where(), "ENUMREF",
                 "the enumeration is not declared in the text (it is not in ENUMS, or cannot be "
                 "written); the value is not written");
            return false;
        }
        expectedEnum = found->second;
        const std::string name = expectedEnum->NAME();
        if (scratch_->ENUMS()->Item(Variant(name), false) != expectedEnum) {
            loss(where(), "ENUMREF",
                 "an enumeration before it in ENUMS has the same name, and a reference finds "
                 "the first; the value is not written");
            return false;
        }
        const Variant& c = v.CONTENT();
        std::vector<std::string> members;
        if (c.is_double()) {
            double d = c.dbl();
            if (!writable_number(d, expected, where)) return false;
            members.push_back(d == std::trunc(d) && std::fabs(d) < 1e17 ? long_text(d) : double_text(d));
        } else if (c.is_string()) {
            const std::string& t = c.string();
            if (const char* why = unwritable_text(t)) {
                loss(where(), "CONTENT", std::string("the member text ") + why + "; the value is not written");
                return false;
            }
            if (GlobalObject::instance().parse_number(t) != 0.0 || t == "0") {
                loss(where(), "CONTENT", "the member text reads back as a number; the value is not written");
                return false;
            }
            if (!t.empty() && plain_item(t)) members.push_back(t);
            members.push_back(quoted(t));
        } else {
            loss(where(), "CONTENT",
                 std::string("an Enum value holding ") + type_name(c.type()) +
                     " content reads back as something else; the value is not written");
            return false;
        }
        std::vector<std::string> names;
        if (plain_item(name)) names.push_back(name);
        names.push_back(quoted(name));
        for (const auto& n : names)
            for (const auto& m : members) forms.push_back("ENUM(" + n + ")," + m);
        return true;
    }

    bool value_reads_back(const std::string& text, const std::string& name, std::int32_t kind, const Variant& content,
                          const ref<cls_INIEnum>& expectedEnum) {
        ReadBack rb;
        if (!read_back(text, rb) || rb.st.separator != "=" || rb.st.name != name) return false;
        ValueChoice choice;
        choice.content = Variant(std::string());
        ref<TextList> items = make_ref<TextList>();
        items->items() = std::move(rb.items);
        if (rb.firstQuoted) {
            choice.kind = ID_INIValueSort_String;
            choice.content = Variant(items->Item(1));
        } else {
            try {
                if (!choose_value(*items, scratch_, choice)) return false;
            } catch (const Error&) {
                return false;
            }
        }
        if (choice.kind != kind || !choice.content.same(content)) return false;
        if (kind != ID_INIValueSort_Enum) return true;
        return scratch_->ENUMS()->Item(Variant(items->Item(1)), false) == expectedEnum;
    }

    static const char* bad_value_name(const std::string& name) {
        if (!is_valid_utf8(name)) return "is not valid UTF-8";
        const auto* s = reinterpret_cast<const std::uint8_t*>(name.data());
        for (std::size_t i = 0; i < name.size();) {
            const std::size_t start = i;
            if (utf8_next(s, i, name.size()) < 0 || !is_name_char(std::string_view(name).substr(start, i - start)))
                return "holds characters that are not name characters (letters, the digits other than 6, _)";
        }
        if (is_keyword(name)) return "is a keyword of the INI text";
        return nullptr;
    }
};

void emit(const Exporter& x, std::ostream& out) {
    out.write(x.out_.data(), static_cast<std::streamsize>(x.out_.size()));
    out.flush();
    if (!out) raise(hr::PATH_ACCESS, "Cannot write the INI text to the stream");
}

} // namespace

} // namespace detail

export_result export_ini(cls_INI& doc, std::ostream& out, const export_options& options) {
    detail::Exporter x(options);
    x.document(doc);
    export_result r;
    r.diagnostics = std::move(x.diagnostics_);
    if (options.strict && !r.diagnostics.empty()) return r;
    detail::emit(x, out);
    r.written = true;
    return r;
}

export_result export_ini(cls_INIGroups& groups, std::ostream& out, const export_options& options, cls_INI* enums_of) {
    detail::Exporter x(options);
    x.groups(groups, enums_of);
    export_result r;
    r.diagnostics = std::move(x.diagnostics_);
    if (options.strict && !r.diagnostics.empty()) return r;
    detail::emit(x, out);
    r.written = true;
    return r;
}

export_result export_ini_file(cls_INI& doc, const std::string& path, const export_options& options) {
    detail::Exporter x(options);
    x.document(doc);
    export_result r;
    r.diagnostics = std::move(x.diagnostics_);
    if (options.strict && !r.diagnostics.empty()) return r;
    detail::platform::write_file_atomically(path, x.out_, false);
    r.written = true;
    return r;
}

export_result export_ini_file(cls_INIGroups& groups, const std::string& path, const export_options& options,
                              cls_INI* enums_of) {
    detail::Exporter x(options);
    x.groups(groups, enums_of);
    export_result r;
    r.diagnostics = std::move(x.diagnostics_);
    if (options.strict && !r.diagnostics.empty()) return r;
    detail::platform::write_file_atomically(path, x.out_, false);
    r.written = true;
    return r;
}

} // namespace tr47

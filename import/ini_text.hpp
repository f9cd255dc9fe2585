// Rules of the INI text shared by the readers.
#pragma once

#include <string>
#include <string_view>

#include "tr47ini/model.hpp"

namespace tr47::detail {

struct Statement {
    std::string name;
    std::string separator; // the character after the name, or empty
    std::string arguments; // the argument text
};

// Name characters: those whose upper case is one of A-Z, Ü, Ö, Ä, ß, _ and
// the digits other than 6.
bool is_name_char(std::string_view codePoint);
// The same for one ASCII character, given the locale's answer for i.
constexpr bool is_ascii_name_char(char c, bool iIsName) noexcept {
    if (c == 'i') return iIsName;
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= '0' && c <= '9' && c != '6');
}
Statement split_statement(std::string_view line);
// The same into an existing statement, whose storage is reused.
void split_statement(std::string_view line, Statement& st);

// maxItems: see Toolkit::split.
ref<TextList> split_items(std::string_view text, std::string_view separator, std::size_t maxItems = 0);
// The same into an existing list, whose storage is reused.
void split_items(std::string_view text, std::string_view separator, std::size_t maxItems,
                 std::vector<std::string>& into);

struct ValueChoice {
    std::int32_t kind = -1;
    Variant content;
};
// Chooses kind and content of a value assignment whose item 1 was not
// quoted. Returns false for an "ENUM(" reference to an enumeration the
// document does not hold (item 1 of the list is then the name). A content
// that cannot be computed stays as it was (the empty text).
bool choose_value(TextList& items, const ref<cls_INI>& root, ValueChoice& choice);

// The colour number of three components, or false when one is out of range.
bool colour_number(std::string_view r, std::string_view g, std::string_view b, std::int32_t& out);

bool import_group_block(cls_INIGroup& group, ReaderObject& reader, bool outputErrors, const ref<cls_INI>& root);

// Opens an INI file for a file-level IMPORT. A file that is missing or
// cannot be opened gives null, after its message (the second sentence of
// the cannot-open message is `access_hint`) went to the diagnostics and,
// with outputErrors, to the user.
ref<ReaderObject> open_ini_file(const std::string& path, bool outputErrors, const char* access_hint);

} // namespace tr47::detail

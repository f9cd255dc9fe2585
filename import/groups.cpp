// IMPORT of a groups collection: the top-level "BEGIN" blocks of an INI
// file, each read into a new group.
#include "corelib/limits.hpp"
#include "import/ini_text.hpp"
#include "model/internal.hpp"

namespace tr47 {

bool cls_INIGroups::IMPORT(const std::string& pFile, bool pOutputErrors, const ref<cls_INI>& pRoot) {
    detail::DiagnosticScope scope;
    ref<ReaderObject> reader = detail::open_ini_file(pFile, pOutputErrors,
                                                     "M\xC3\xB6glicherweise haben Sie nicht die n\xC3\xB6tigen "
                                                     "Berechtigungen um auf die Datei zuzugreifen!");
    if (!reader) return false;
    ref<cls_INIGroups> self(this);
    std::string pending;
    while (!reader->eof()) {
        std::string line(trim_blanks(reader->read_line()));
        if (line.empty() || line[0] == '#' || line[0] == '\'' || line.compare(0, 2, "//") == 0) continue;
        if (pending.size() + line.size() > limits::kMaxLineBytes)
            raise(hr::LIMIT_EXCEEDED, "Plus-continued line too long in " + pFile);
        // Appended to the prefix (not put in front of the line), so that a
        // chain of plus lines costs its length once.
        if (!pending.empty()) {
            pending += line;
            line.swap(pending);
            pending.clear();
        }
        if (line.back() == '+') {
            line.pop_back();
            pending.swap(line);
            continue;
        }
        detail::Statement st = detail::split_statement(line);
        if (upper(st.name) != "BEGIN") continue;
        ref<TextList> items = detail::split_items(st.arguments, " ", 3);
        ref<cls_INIGroup> group = CREATE(items->Item(1), items->Item(2));
        if (!group->IMPORT(reader, pOutputErrors, pRoot)) return false;
    }
    return true;
}

} // namespace tr47

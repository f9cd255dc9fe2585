// IMPORT of an enumeration: its members from the text of an "ENUM" statement.
#include "import/ini_text.hpp"

namespace tr47 {

bool cls_INIEnum::IMPORT(const std::string& pData) {
    const Toolkit& tk = GlobalObject::instance().toolkit();
    // Members go straight from the text into the member list, with no list
    // of items between: an enumeration of millions of members costs its
    // text and a few bytes per member. A first pass counts them, so a list
    // that is too long fails before the enumeration changes.
    std::size_t count = 0;
    tk.split_each(pData, ",", "(", ")", "\"", 0, [&](std::string_view) { ++count; });
    ref<MemberList> members = VALUES();
    members->reserve((count + 1) / 2, pData.size());
    std::string name, quoted;
    bool haveName = false;
    tk.split_each(pData, ",", "(", ")", "\"", 0, [&](std::string_view it) {
        if (it.size() >= 2 && it.front() == '"' && it.back() == '"') {
            quoted = tk.unquote(it);
            it = quoted;
        } else if (it.size() >= 2 && it.front() == '(' && it.back() == ')') {
            it = it.substr(1, it.size() - 2);
        }
        if (!haveName) {
            name.assign(it);
            haveName = true;
        } else {
            members->add_member(name, it);
            haveName = false;
        }
    });
    // An odd count pairs the last name with the empty text.
    if (haveName) members->add_member(name, std::string_view());
    return true;
}

} // namespace tr47

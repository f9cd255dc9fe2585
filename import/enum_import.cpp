#include "import/ini_text.hpp"

namespace tr47 {

bool cls_INIEnum::IMPORT(const std::string& pData) {
    const Toolkit& tk = GlobalObject::instance().toolkit();
    ref<TextList> items = detail::split_items(pData, ",");
    for (std::string& it : items->items()) {
        if (it.size() >= 2 && it.front() == '"' && it.back() == '"')
            it = tk.unquote(it);
        else if (it.size() >= 2 && it.front() == '(' && it.back() == ')')
            it = it.substr(1, it.size() - 2);
    }
    const std::int32_t n = items->COUNT();
    // An odd count pairs the last name with the empty text.
    for (std::int32_t i = 1; i <= n; i += 2) VALUES()->add_member(items->Item(i), {Variant(items->Item(i + 1))});
    return true;
}

} // namespace tr47

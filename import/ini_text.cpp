#include "import/ini_text.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "corelib/numbers.hpp"
#include "corelib/utf.hpp"

namespace tr47::detail {

bool is_name_char(std::string_view cp) {
    if (cp.size() == 1) {
        // In a locale that upper-cases i to İ, i is no name character.
        return is_ascii_name_char(cp[0], cp[0] == 'i' && upper("i") == "I");
    }
    static const std::string_view allowed[] = {"\xC3\x9C", "\xC3\x96", "\xC3\x84", "\xC3\x9F"}; // Ü Ö Ä ß
    std::string u = upper(cp);
    // A letter whose upper case is an ASCII one (dotless i, long s) counts too.
    if (u.size() == 1 && u[0] >= 'A' && u[0] <= 'Z') return true;
    for (auto a : allowed)
        if (u == a) return true;
    return false;
}

Statement split_statement(std::string_view line) {
    Statement st;
    split_statement(line, st);
    return st;
}

void split_statement(std::string_view line, Statement& st) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(line.data());
    const std::size_t len = line.size();
    // Whether i is a name character depends on the locale: ask once per line.
    int iIsName = -1;
    std::size_t i = 0;
    while (i < len) {
        const std::size_t start = i;
        bool nameChar;
        std::string_view chr;
        if (s[i] < 0x80) {
            const char c = static_cast<char>(s[i++]);
            chr = line.substr(start, 1);
            if (c == 'i' && iIsName < 0) iIsName = is_name_char("i") ? 1 : 0;
            nameChar = is_ascii_name_char(c, iIsName == 1);
        } else {
            const std::int32_t cp = detail::utf8_next(s, i, len);
            chr = line.substr(start, i - start);
            nameChar = cp >= 0 && is_name_char(chr);
        }
        if (!nameChar) {
            st.name.assign(trim_blanks(line.substr(0, start)));
            st.separator.assign(chr);
            std::string_view args = trim_blanks(line.substr(start));
            if (!args.empty() && (args[0] == '=' || args[0] == ':')) args = trim_blanks(args.substr(1));
            st.arguments.assign(args);
            return;
        }
    }
    st.name.assign(trim_blanks(line));
    st.separator.clear();
    st.arguments.clear();
}

ref<TextList> split_items(std::string_view text, std::string_view separator, std::size_t maxItems) {
    ref<TextList> list = make_ref<TextList>();
    split_items(text, separator, maxItems, list->items());
    return list;
}

void split_items(std::string_view text, std::string_view separator, std::size_t maxItems,
                 std::vector<std::string>& into) {
    GlobalObject::instance().toolkit().split_into(into, text, separator, "(", ")", "\"", maxItems);
}

bool colour_number(std::string_view r, std::string_view g, std::string_view b, std::int32_t& out) {
    std::int32_t c[3];
    const std::string_view parts[3] = {r, g, b};
    for (int i = 0; i < 3; ++i) {
        // The usual component is a few plain digits: its value as it stands.
        const std::string_view p = parts[i];
        if (!p.empty() && p.size() <= 5 &&
            std::all_of(p.begin(), p.end(), [](char d) { return d >= '0' && d <= '9'; })) {
            std::int32_t v = 0;
            for (char d : p) v = v * 10 + (d - '0');
            if (v > 32767) return false;
            c[i] = v > 255 ? 255 : v;
            continue;
        }
        double v = std::nearbyint(leading_number(p)); // halves to even
        if (!(v >= 0.0 && v <= 32767.0)) return false;
        c[i] = v > 255.0 ? 255 : static_cast<std::int32_t>(v);
    }
    out = c[0] + 256 * c[1] + 65536 * c[2];
    return true;
}

bool choose_value(TextList& items, const ref<cls_INI>& root, ValueChoice& choice) {
    const Toolkit& tk = GlobalObject::instance().toolkit();
    const GlobalObject& global = GlobalObject::instance();
    const std::string& item1 = items.Item(1);
    // 1. Colour.
    if (items.COUNT() == 3) {
        choice.kind = ID_INIValueSort_Color;
        std::int32_t colour = 0;
        if (colour_number(items.Item(1), items.Item(2), items.Item(3), colour)) choice.content = Variant(colour);
        return true;
    }
    // 2. and 3. The classifier: a text, or a date.
    double whole = std::numeric_limits<double>::quiet_NaN();
    const std::int32_t cls = classify_text(item1, &whole);
    if (cls == 3) {
        choice.content = Variant(item1);
        choice.kind = ID_INIValueSort_String;
        return true;
    }
    if (cls == 2 && item1.size() == 10) {
        Date d;
        if (parse_date_text(item1, d)) choice.content = Variant(d);
        choice.kind = ID_INIValueSort_Date;
        return true;
    }
    // A text that is one whole number is no boolean word and no
    // enumeration reference, and its value is already known.
    const bool isWhole = cls == 1 && !std::isnan(whole);
    // 4. Boolean words.
    bool flag = false;
    if (!isWhole && is_boolean_word(item1, &flag)) {
        choice.kind = ID_INIValueSort_Boolean;
        choice.content = Variant::boolean(flag);
        return true;
    }
    // 5. Numbers.
    if (leading_number(item1) != 0.0 || item1 == "0" || item1 == "0,0" || item1 == "0.0") {
        choice.kind = item1.find_first_of(",.") != std::string::npos ? ID_INIValueSort_Double : ID_INIValueSort_Long;
        choice.content = Variant(isWhole ? whole : global.parse_number(item1));
        return true;
    }
    // 6. Enumeration references.
    if (!isWhole && upper_starts_with(item1, "ENUM(")) {
        // Without "ENUM(" and the last character, which may be more than
        // one byte: cutting a byte would leave half a letter in the name.
        const std::size_t last = detail::utf8_last_start(item1);
        std::string name = last > 5 ? item1.substr(5, last - 5) : std::string();
        name = tk.unquote(name);
        items.Item(1, name);
        bool declared = false;
        try {
            declared = root && root->ENUMS()->EXISTS(Variant(name));
        } catch (const Error&) {
            declared = false;
        }
        if (!declared) return false;
        choice.kind = ID_INIValueSort_Enum;
        const std::string& item2 = items.Item(2);
        if (global.parse_number(item2) != 0.0 || item2 == "0")
            choice.content = Variant(leading_number(item2));
        else
            choice.content = Variant(item2);
        return true;
    }
    // 7. Everything else is a text.
    choice.kind = ID_INIValueSort_String;
    choice.content = Variant(item1);
    return true;
}

} // namespace tr47::detail

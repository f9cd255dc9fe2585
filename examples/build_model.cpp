// Builds a small model by hand and prints look-ups: groups, values of every
// kind and an enumeration, without any INI file.
#include <iostream>

#include "tr47ini/tr47ini.hpp"

using namespace tr47;

int main() {
    ref<cls_INI> doc = cls_INI::create();
    doc->VERSION("1.0");

    ref<cls_INIEnum> modes = doc->ENUMS()->CREATE("Modes");
    modes->IMPORT("Off,0,On,1");

    ref<cls_INIGroup> root = doc->ROOT();
    root->VALUES()->CREATE("Title", Variant("Example"), ID_INIValueSort_String);
    root->VALUES()->CREATE("Count", Variant(5.0), ID_INIValueSort_Long);
    root->VALUES()->CREATE("Ratio", Variant(1.5), ID_INIValueSort_Double);
    root->VALUES()->CREATE("Flag", Variant::boolean(true), ID_INIValueSort_Boolean);
    Date when;
    parse_date_text("2026-12-06", when);
    root->VALUES()->CREATE("When", Variant(when), ID_INIValueSort_Date);
    root->VALUES()->CREATE("Colour", Variant(std::int32_t{33023}), ID_INIValueSort_Color);

    ref<cls_INIGroup> printer = root->CHILDREN()->CREATE("Fonts", "Printer");
    ref<cls_INIValue> mode = printer->VALUES()->CREATE("Mode", Variant("On"), ID_INIValueSort_Enum);
    mode->ENUMREF(doc->ENUMS()->Item(Variant("Modes")));
    printer->VALUES()->CREATE("Face", Variant("Arial"));

    for (const char* name : {"Title", "count", " Ratio ", "Flag", "When", "Colour", "Mode", "Face", "Missing"}) {
        Variant v = doc->VALUE(name);
        std::cout << "VALUE(\"" << name << "\") = " << describe(v) << '\n';
    }
    std::cout << "ROOT.VALUE(\"Mode\") without recursion = " << describe(root->VALUE("Mode", Variant("-"))) << '\n';
    std::cout << "Modes: On = " << modes->VALUES()->value_of("On") << '\n';
    return 0;
}

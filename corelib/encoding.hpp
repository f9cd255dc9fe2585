// Encodings of values shared by the packer, the member list and the stored
// file. Internal to the library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tr47ini/corelib.hpp"

namespace tr47::detail {

// Package text: "TP1;" then elements, each a tag character, the payload
// length in decimal, ":" and the payload bytes. Length-prefixed payloads make
// the text safe for any content.
constexpr std::string_view kPackageMagic = "TP1;";

void put_element(std::string& out, char tag, std::string_view payload);
void put_value(std::string& out, const Variant& value);

class ElementReader {
public:
    explicit ElementReader(std::string_view text) : text_(text) {}
    bool at_end() const noexcept { return pos_ >= text_.size(); }
    // Raises a bad-format error on malformed input.
    void next(char& tag, std::string_view& payload);
    Variant next_value();

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

Variant decode_value(char tag, std::string_view payload);
[[noreturn]] void bad_package(const char* why);

// Creates a fresh, fully constructed model object from its class name
// (TR47_INI.cls_INIGroup ...); nothing when the name is unknown.
ref<tmp_Data> create_by_class_name(std::string_view className);

} // namespace tr47::detail

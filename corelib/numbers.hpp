// Number reading shared by the variant conversions, the number parser and
// the text classifier.
#pragma once

#include <string_view>

namespace tr47::detail {

// The whole text (blanks at both ends allowed) is one number: sign, digits
// with at most one decimal mark ("," or "."), an optional exponent (E or D),
// or &H / &O whole numbers.
bool parse_full_number(std::string_view text, double& out);

// Reads the number at the start of the text. decimalMarks lists the
// characters accepted as decimal mark; skip lists characters ignored
// anywhere. Returns false when no digit was read.
bool read_number_prefix(std::string_view text, std::string_view decimalMarks, std::string_view skip, double& out);

// Toolkit::classify; for a text that is one whole number, also its value.
std::int32_t classify_text(std::string_view text, double* fullNumber);
// The same for a text without blanks at either end that holds only ASCII
// characters; `booleanWord`, unless null, hears of a boolean word (1 for a
// true one, 0 for a false one) and is left alone otherwise.
std::int32_t classify_ascii_text(std::string_view trimmed, double* fullNumber, int* booleanWord);

// Whether the upper case of a text starts with that prefix, without
// building the upper-case text for plain ASCII.
bool upper_starts_with(std::string_view text, std::string_view upperPrefix);
// TRUE, FALSE, WAHR, FALSCH, YES, NO, JA, NEIN in any case; value tells which.
bool is_boolean_word(std::string_view text, bool* value);

} // namespace tr47::detail

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
bool read_number_prefix(std::string_view text, std::string_view decimalMarks, std::string_view skip,
                        double& out);

} // namespace tr47::detail

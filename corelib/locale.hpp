// The locale of the running system, as the process sees it.
#pragma once

#include <string>

namespace tr47::detail {

// ICU-style locale name ("de_DE", "en_US") for the category (LC_CTYPE,
// LC_TIME): the process locale when a program has set one, otherwise the
// environment (LC_ALL, LC_<category>, LANG); "en_US" when neither names one.
std::string system_locale_name(int category);

} // namespace tr47::detail

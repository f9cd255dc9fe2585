// Writing a model back as INI text, so that importing the text gives the
// same model again. An extension of the C++ API; the automation interfaces
// have no member for it.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "tr47ini/api.hpp"
#include "tr47ini/model.hpp"

namespace tr47 {

/// How export_ini and export_ini_file write the text.
struct export_options {
    bool bom = false; ///< start the text with the UTF-8 byte order mark; default false
    bool crlf = false; ///< end lines with CR LF instead of LF; default false
    bool strict = false; ///< write nothing when anything would be lost; default false
};

/// One thing of the model that the text cannot carry.
struct export_diagnostic {
    /// The object: "document", "ROOT", then one step per level, such as
    /// "ROOT/CHILDREN(2):Fonts/VALUES(1):Face" or "ENUMS(1):Modes".
    std::string path;
    std::string what; ///< the field: NAME, SORT, CONTENT, DESCRIPTION, ENUMREF, ...
    std::string why; ///< what is lost, and what was written instead
};

/// What an export did.
struct export_result {
    /// False when strict mode found losses and nothing was written.
    bool written = false;
    /// The losses, in the order met; empty when the text gives the model back exactly.
    std::vector<export_diagnostic> diagnostics;
};

/// The document as INI text: its enumerations first, then the root group's
/// values and, as BEGIN blocks, its child groups. A stream that fails raises
/// tr47::Error (hr::PATH_ACCESS); losses are diagnostics.
TR47_INI_API export_result export_ini(cls_INI& doc, std::ostream& out, const export_options& options = {});
/// A groups collection in the form that cls_INIGroups::IMPORT reads: one
/// top-level "BEGIN name sort" block per group. The enumerations of
/// `enums_of` (when given; default none) are declared at the start of the first block;
/// read the text back with that document as pRoot.
TR47_INI_API export_result export_ini(cls_INIGroups& groups, std::ostream& out, const export_options& options = {},
                                      cls_INI* enums_of = nullptr);

/// The same into a file, written crash-safely like SAVE: a temporary file
/// beside it, flushed and renamed over the target. In strict mode with
/// losses the target is left as it was. A file that cannot be written raises tr47::Error (hr::PATH_ACCESS).
TR47_INI_API export_result export_ini_file(cls_INI& doc, const std::string& path, const export_options& options = {});
/// The groups collection's text (see export_ini) into a file, as the document's.
TR47_INI_API export_result export_ini_file(cls_INIGroups& groups, const std::string& path,
                                           const export_options& options = {}, cls_INI* enums_of = nullptr);

} // namespace tr47

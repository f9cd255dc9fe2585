// The document's IMPORT: a whole INI file into the root group.
#include "import/ini_text.hpp"
#include "model/internal.hpp"

namespace tr47 {

bool cls_INI::IMPORT(const std::string& pFile, bool pOutputErrors) {
    detail::DiagnosticScope scope;
    struct Keep {
        cls_INI& doc;
        detail::DiagnosticScope& scope;
        ~Keep() { doc.diagnostics_ = scope.take(); }
    } keep{*this, scope};
    ref<ReaderObject> reader = detail::open_ini_file(pFile, pOutputErrors,
                                                     "M\xC3\xB6glicherweise haben Sie keine ausreichenden "
                                                     "Rechte, um auf die Datei zuzugreifen.");
    if (!reader) return false;
    ref<cls_INI> self(this);
    return ROOT()->IMPORT(reader, pOutputErrors, self);
}

} // namespace tr47

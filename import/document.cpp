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
    auto problem = [&](const std::string& message) {
        detail::DiagnosticScope::report({pFile, 0, {}, message});
        if (pOutputErrors) detail::show_import_message(message);
        return false;
    };
    if (!GlobalObject::instance().file_exists(pFile))
        return problem("Die INI-Datei '" + pFile + "' konnte nicht gefunden werden!");
    ref<ReaderObject> reader = ReaderObject::create();
    if (!reader->open(pFile, 1, "", false, true, nullptr))
        return problem("Die INI-Datei '" + pFile +
                       "' konnte nicht ge\xC3\xB6"
                       "ffnet werden! M\xC3\xB6glicherweise haben Sie keine ausreichenden "
                       "Rechte, um auf die Datei zuzugreifen.");
    ref<cls_INI> self(this);
    return ROOT()->IMPORT(reader, pOutputErrors, self);
}

} // namespace tr47

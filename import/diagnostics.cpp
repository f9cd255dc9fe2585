// What an import reports: the diagnostics kept for the document, the
// messages shown to the user, and the opening of the file that gives them.
#include "corelib/limits.hpp"
#include "import/ini_text.hpp"
#include "model/internal.hpp"

namespace tr47::detail {

namespace {
// The outermost scope of the import under way on this thread, which holds
// its diagnostics. A plain pointer: thread-local objects with destructors
// would pin the library in memory until the thread ends.
thread_local DiagnosticScope* g_scope = nullptr;
} // namespace

DiagnosticScope::DiagnosticScope() : outer_(g_scope) {
    if (!outer_) g_scope = this;
}

DiagnosticScope::~DiagnosticScope() {
    if (!outer_) g_scope = nullptr;
}

std::vector<Diagnostic> DiagnosticScope::take() { return std::move(items_); }

void DiagnosticScope::report(Diagnostic d) {
    if (g_scope && g_scope->items_.size() < limits::kMaxDiagnostics) g_scope->items_.push_back(std::move(d));
}

ref<ReaderObject> open_ini_file(const std::string& path, bool outputErrors, const char* access_hint) {
    auto problem = [&](const std::string& message) {
        DiagnosticScope::report({path, 0, {}, message});
        if (outputErrors) show_import_message(message);
        return nullptr;
    };
    if (!GlobalObject::instance().file_exists(path))
        return problem("Die INI-Datei '" + path + "' konnte nicht gefunden werden!");
    ref<ReaderObject> reader = ReaderObject::create();
    if (!reader->open(path, 1, "", false, true, nullptr))
        return problem("Die INI-Datei '" + path +
                       "' konnte nicht ge\xC3\xB6"
                       "ffnet werden! " +
                       access_hint);
    return reader;
}

void show_import_message(const std::string& text) { GlobalObject::instance().show_message(text, "", nullptr, nullptr); }

} // namespace tr47::detail

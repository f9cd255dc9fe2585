// What an import reports: the diagnostics kept for the document, and the
// messages shown to the user.
#include "corelib/limits.hpp"
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

void show_import_message(const std::string& text) { GlobalObject::instance().show_message(text, "", nullptr, nullptr); }

} // namespace tr47::detail

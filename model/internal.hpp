// Internal helpers of the model and the importers.
#pragma once

#include "tr47ini/model.hpp"

namespace tr47::detail {

// First value of every stored form; a form that starts otherwise is not
// ours to read (the comparison ignores case).
inline constexpr std::string_view kFormatVersion = "1.0";
inline bool is_format_version(std::string_view v) { return v == kFormatVersion || upper(v) == kFormatVersion; }

// Collects diagnostics of the import under way on this thread; the
// outermost scope holds them.
class DiagnosticScope {
public:
    DiagnosticScope();
    ~DiagnosticScope();
    DiagnosticScope(const DiagnosticScope&) = delete;
    DiagnosticScope& operator=(const DiagnosticScope&) = delete;
    std::vector<Diagnostic> take();
    static void report(Diagnostic d);

private:
    DiagnosticScope* outer_;
    std::vector<Diagnostic> items_;
};

// A member object made on first use, by whichever thread reads first; the
// others take the same one.
template <class T>
ref<T> made_on_first_use(ref<T>& member) {
    if (T* existing = member.load_acquire()) return ref<T>(existing);
    member.publish(T::create().get());
    return ref<T>(member.load_acquire());
}

// Shows an import message through the message output.
void show_import_message(const std::string& text);

} // namespace tr47::detail

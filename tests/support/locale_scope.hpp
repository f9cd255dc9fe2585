// A locale for one scope of a test: the process locale and LC_ALL, both
// restored at its end. Reaches into the library's locale cache, so it
// serves only tests linked against the static library.
#pragma once

#include <clocale>
#include <cstdlib>
#include <string>

#include "corelib/platform.hpp"

namespace tr47::test {

class LocaleScope {
public:
    explicit LocaleScope(const char* name) {
        const char* old = std::setlocale(LC_ALL, nullptr);
        saved_ = old ? old : "C";
        ok_ = std::setlocale(LC_ALL, name) != nullptr;
        const char* env = std::getenv("LC_ALL");
        savedEnv_ = env ? env : "";
        hadEnv_ = env != nullptr;
        ::setenv("LC_ALL", name, 1);
        detail::platform::forget_locale_environment();
    }
    ~LocaleScope() {
        std::setlocale(LC_ALL, saved_.c_str());
        if (hadEnv_)
            ::setenv("LC_ALL", savedEnv_.c_str(), 1);
        else
            ::unsetenv("LC_ALL");
        detail::platform::forget_locale_environment();
    }
    LocaleScope(const LocaleScope&) = delete;
    LocaleScope& operator=(const LocaleScope&) = delete;
    bool process_locale_set() const { return ok_; }

private:
    std::string saved_, savedEnv_;
    bool hadEnv_ = false, ok_ = false;
};

} // namespace tr47::test

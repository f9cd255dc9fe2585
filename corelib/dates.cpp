#include <cmath>
#include <cstdio>

#include "corelib/platform.hpp"
#include "tr47ini/corelib.hpp"

namespace tr47 {

namespace {

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant's
// algorithm), shifted to the automation epoch 1899-12-30 below.
long days_from_civil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void civil_from_days(long z, long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

constexpr long kEpochOffset = 25569; // 1970-01-01 as automation date

bool leap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(long y, unsigned m) {
    static const unsigned n[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : n[m - 1];
}

bool digits(std::string_view s, int& v) {
    v = 0;
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    return true;
}

} // namespace

bool parse_date_text(std::string_view t, Date& out) {
    if (t.size() != 10) return false;
    int y = 0, m = 0, d = 0;
    auto sep = [](char c) { return c == '.' || c == '/' || c == '-'; };
    if (sep(t[4]) && t[7] == t[4]) {
        // Year first, whatever the locale.
        if (!digits(t.substr(0, 4), y) || !digits(t.substr(5, 2), m) || !digits(t.substr(8, 2), d)) return false;
    } else if (sep(t[2]) && t[5] == t[2]) {
        int a = 0, b = 0;
        if (!digits(t.substr(0, 2), a) || !digits(t.substr(3, 2), b) || !digits(t.substr(6, 4), y)) return false;
        if (detail::platform::day_before_month()) {
            d = a;
            m = b;
        } else {
            m = a;
            d = b;
        }
    } else {
        return false;
    }
    if (y < 100 || m < 1 || m > 12 || d < 1 || d > static_cast<int>(days_in_month(y, static_cast<unsigned>(m))))
        return false;
    out.days =
        static_cast<double>(days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) + kEpochOffset);
    return true;
}

std::string format_date(Date date) {
    if (!std::isfinite(date.days) || std::fabs(date.days) > 3.0e6) return "Invalid date";
    double whole = std::floor(date.days);
    // Automation dates count the time of day away from the epoch even for
    // negative days; the fraction is always the time of day.
    double frac = std::fabs(date.days - std::trunc(date.days));
    long day = static_cast<long>(date.days < 0 ? std::ceil(date.days) : whole);
    long y;
    unsigned m, d;
    civil_from_days(day - kEpochOffset, y, m, d);
    char buf[40];
    long secs = std::lround(frac * 86400.0);
    if (secs >= 86400) secs = 86399;
    if (secs == 0)
        std::snprintf(buf, sizeof buf, "%04ld-%02u-%02u", y, m, d);
    else
        std::snprintf(buf, sizeof buf, "%04ld-%02u-%02u %02ld:%02ld:%02ld", y, m, d, secs / 3600, (secs / 60) % 60,
                      secs % 60);
    return buf;
}

} // namespace tr47

#include "server/Days.h"

#include <stdio.h>
#include <time.h>

namespace Quorvel {

namespace {

std::string Format(int64_t when, const char* format) {
    const time_t t = static_cast<time_t>(when);
    struct tm local;
    char text[48] = "";
    if (localtime_r(&t, &local) != NULL) strftime(text, sizeof(text), format, &local);
    return text;
}

bool ParseDay(const std::string& day, int* y, int* m, int* d) {
    if (day.size() != 10 || day[4] != '-' || day[7] != '-') return false;
    int digits[8], n = 0;
    for (size_t i = 0; i < day.size(); ++i) {
        if (i == 4 || i == 7) continue;
        if (day[i] < '0' || day[i] > '9') return false;
        digits[n++] = day[i] - '0';
    }
    *y = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
    *m = digits[4] * 10 + digits[5];
    *d = digits[6] * 10 + digits[7];
    return *y >= 1970 && *m >= 1 && *m <= 12 && *d >= 1 && *d <= 31;
}

// Midnight of a date plus some days; false when the date does not exist.
bool Midnight(const std::string& day, int plusDays, int64_t* out) {
    int y = 0, m = 0, d = 0;
    if (!ParseDay(day, &y, &m, &d)) return false;
    struct tm noon = {};
    noon.tm_year = y - 1900;
    noon.tm_mon = m - 1;
    noon.tm_mday = d;
    noon.tm_hour = 12;  // away from any change of clocks
    noon.tm_isdst = -1;
    // mktime moves 30 February into March: such a date does not exist.
    if (mktime(&noon) == static_cast<time_t>(-1) || noon.tm_mon != m - 1 || noon.tm_mday != d) return false;
    struct tm start = {};
    start.tm_year = y - 1900;
    start.tm_mon = m - 1;
    start.tm_mday = d + plusDays;
    start.tm_isdst = -1;
    *out = static_cast<int64_t>(mktime(&start));
    return true;
}

}  // namespace

std::string LocalDay(int64_t when) {
    const std::string day = Format(when, "%Y-%m-%d");
    return day.empty() ? "1970-01-01" : day;
}

std::string Iso8601(int64_t when) { return ZoneWithColon(Format(when, "%Y-%m-%dT%H:%M:%S%z")); }

std::string ZoneWithColon(const std::string& stamp) {
    // strftime's %z is "+0800"; RFC 3339 (and JavaScript's Date) wants "+08:00".
    if (stamp.size() < 5) return stamp;
    const std::string zone = stamp.substr(stamp.size() - 5);
    if ((zone[0] != '+' && zone[0] != '-') || zone.find_first_not_of("0123456789", 1) != std::string::npos) return stamp;
    return stamp.substr(0, stamp.size() - 2) + ":" + zone.substr(3);
}

std::string ClockTime(int64_t when) { return Format(when, "%H:%M:%S"); }

std::vector<std::string> LastDays(int64_t now, int count) {
    std::vector<std::string> days;
    const time_t t = static_cast<time_t>(now);
    struct tm local;
    if (localtime_r(&t, &local) == NULL) return days;
    for (int back = count - 1; back >= 0; --back) {
        struct tm day = local;
        day.tm_mday -= back;
        day.tm_hour = 12;
        day.tm_isdst = -1;
        mktime(&day);
        char text[16];
        strftime(text, sizeof(text), "%Y-%m-%d", &day);
        days.push_back(text);
    }
    return days;
}

bool DayStart(const std::string& day, int64_t* start) { return Midnight(day, 0, start); }

bool DayRange(const std::string& from, const std::string& to, int64_t* start, int64_t* end) {
    *start = 0;
    *end = INT64_MAX;
    return (from.empty() || Midnight(from, 0, start)) && (to.empty() || Midnight(to, 1, end));
}

int64_t NextLocalTime(int64_t now, int hour, int minute) {
    const time_t t = static_cast<time_t>(now);
    struct tm local;
    if (localtime_r(&t, &local) == NULL) return now + 86400;
    for (int plus = 0; plus < 3; ++plus) {
        struct tm at = local;
        at.tm_mday += plus;
        at.tm_hour = hour;
        at.tm_min = minute;
        at.tm_sec = 0;
        at.tm_isdst = -1;
        const int64_t when = static_cast<int64_t>(mktime(&at));
        if (when > now) return when;
    }
    return now + 86400;
}

bool DayNumber(const std::string& day, int32_t* number) {
    int y = 0, m = 0, d = 0;
    if (!ParseDay(day, &y, &m, &d)) return false;
    // Days from civil (proleptic Gregorian), exact for every date.
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    *number = era * 146097 + doe - 719468;
    return DayText(*number) == day;  // 2026-02-30 is no date
}

std::string DayText(int32_t number) {
    const int z = number + 719468;
    const int era = (z >= 0 ? z : z - 146096) / 146097;
    const int doe = z - era * 146097;
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    const int d = doy - (153 * mp + 2) / 5 + 1;
    const int m = mp < 10 ? mp + 3 : mp - 9;
    const int y = yoe + era * 400 + (m <= 2);
    char text[32];  // room for any int, as the compiler checks
    snprintf(text, sizeof(text), "%04d-%02d-%02d", y, m, d);
    return text;
}

std::string AddDays(const std::string& day, int32_t days) {
    int32_t n = 0;
    return DayNumber(day, &n) ? DayText(n + days) : std::string();
}

}  // namespace Quorvel

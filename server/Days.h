#ifndef QV_SERVER_DAYS_H
#define QV_SERVER_DAYS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace Quorvel {

// Days count by the server's clock and time zone.

// The local date of a time, YYYY-MM-DD.
std::string LocalDay(int64_t when);
// The local time with its offset: 2026-12-09T16:48:36+08:00.
std::string Iso8601(int64_t when);
// "…+0800" as "…+08:00".
std::string ZoneWithColon(const std::string& stamp);
// The local time of day, HH:MM:SS, for log and health lines.
std::string ClockTime(int64_t when);
// The dates of the count days up to the day of now, oldest first.
std::vector<std::string> LastDays(int64_t now, int count);
// The local midnight that starts a date "YYYY-MM-DD"; false for a date of
// another shape or one that does not exist (2026-02-30).
bool DayStart(const std::string& day, int64_t* start);
// [from, to) in server time for local dates, to inclusive; an empty from is
// the beginning, an empty to the end. False for a malformed date.
bool DayRange(const std::string& from, const std::string& to, int64_t* start, int64_t* end);
// The next local time at hour:minute after now.
int64_t NextLocalTime(int64_t now, int hour, int minute);

// A date as a number of days since 1970-01-01 and back, for day
// arithmetic; false (or "") for a date that is none.
bool DayNumber(const std::string& day, int32_t* number);
std::string DayText(int32_t number);
// The day a number of days after (or before) a date.
std::string AddDays(const std::string& day, int32_t days);

}  // namespace Quorvel

#endif

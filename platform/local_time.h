// The clock and the time zone: the local time of an instant with the zone's bias, and
// time formatting that does not follow the user's locale.
#pragma once

#include <ctime>
#include <string>

struct LocalTime {
  std::tm fields;
  // Minutes in the Windows sense, UTC = local time + bias: UTC+01:00 is -60. Daylight
  // saving time is already part of it.
  int biasMinutes;
};

std::time_t CurrentTime();

// A change of TZ is seen at the next call; the system's zone (/etc/localtime on Linux)
// is read again once the clock has reached another second since it was last read, so
// its change is seen within a second. An instant the zone rules can't place is given in UTC with bias 0.
LocalTime LocalTimeAt(std::time_t when);

// Reads the time zone ahead of the next LocalTimeAt, which then need not read it within
// the second: a connection has it done while the server prepares its greeting.
void PrepareLocalTime();

// strftime in the "C" locale, so day and month names come out in English whatever the
// user's locale; no process-wide locale switch is involved.
std::string FormatTimeInCLocale(const char* format, const std::tm& fields);

// The clock and the time zone from the system: the zone's rules come from
// GetTimeZoneInformation and place each instant (daylight saving time included)
// with SystemTimeToTzSpecificLocalTime.
#include "platform/local_time.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace {

// 100-ns ticks between 1601-01-01 (FILETIME) and 1970-01-01 (time_t).
constexpr std::int64_t unixEpochTicks = 116444736000000000LL;
constexpr std::int64_t ticksPerSecond = 10000000LL;

FILETIME FileTimeAt(std::int64_t seconds) {
  std::uint64_t ticks = static_cast<std::uint64_t>(seconds * ticksPerSecond + unixEpochTicks);
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

std::int64_t SecondsAt(const SYSTEMTIME& time) {
  FILETIME file;
  if (!SystemTimeToFileTime(&time, &file)) return 0;
  std::int64_t ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(file.dwHighDateTime) << 32) |
                                                 file.dwLowDateTime);
  return (ticks - unixEpochTicks) / ticksPerSecond;
}

std::tm FieldsOf(const SYSTEMTIME& time, int yearDay) {
  std::tm fields{};
  fields.tm_year = time.wYear - 1900;
  fields.tm_mon = time.wMonth - 1;
  fields.tm_mday = time.wDay;
  fields.tm_hour = time.wHour;
  fields.tm_min = time.wMinute;
  fields.tm_sec = time.wSecond;
  fields.tm_wday = time.wDayOfWeek;
  fields.tm_yday = yearDay;
  fields.tm_isdst = -1;
  return fields;
}

int YearDay(const SYSTEMTIME& time) {
  SYSTEMTIME newYear{};
  newYear.wYear = time.wYear;
  newYear.wMonth = 1;
  newYear.wDay = 1;
  SYSTEMTIME day = time;
  day.wHour = day.wMinute = day.wSecond = day.wMilliseconds = 0;
  return static_cast<int>((SecondsAt(day) - SecondsAt(newYear)) / 86400);
}

}  // namespace

std::time_t CurrentTime() { return std::time(nullptr); }

// Each LocalTimeAt asks the system for the zone's rules: there is nothing to read ahead.
void PrepareLocalTime() {}

LocalTime LocalTimeAt(std::time_t when) {
  LocalTime result{};
  FILETIME utcFile = FileTimeAt(static_cast<std::int64_t>(when));
  SYSTEMTIME utc;
  if (!FileTimeToSystemTime(&utcFile, &utc)) return result;
  TIME_ZONE_INFORMATION zone;
  SYSTEMTIME local;
  if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID ||
      !SystemTimeToTzSpecificLocalTime(&zone, &utc, &local)) {
    local = utc;
  }
  result.fields = FieldsOf(local, YearDay(local));
  result.biasMinutes = static_cast<int>((SecondsAt(utc) - SecondsAt(local)) / 60);
  return result;
}

std::string FormatTimeInCLocale(const char* format, const std::tm& fields) {
  // The C library's strftime names days and months in the user's locale, and has no
  // per-call locale here: the names are put in first, in English, and strftime gets
  // only the numeric conversions.
  static constexpr const char* days[] = {"Sunday", "Monday", "Tuesday", "Wednesday",
                                         "Thursday", "Friday", "Saturday"};
  static constexpr const char* months[] = {"January", "February", "March",     "April",
                                           "May",     "June",     "July",      "August",
                                           "September", "October", "November", "December"};
  std::string numeric;
  for (const char* p = format; *p != '\0'; ++p) {
    char conversion = p[0] == '%' ? p[1] : '\0';
    if (p[0] == '%' && conversion == '\0') break;  // a lone '%' at the end
    const char* name = nullptr;
    if ((conversion == 'a' || conversion == 'A') && fields.tm_wday >= 0 && fields.tm_wday < 7) {
      name = days[fields.tm_wday];
    } else if ((conversion == 'b' || conversion == 'B') && fields.tm_mon >= 0 && fields.tm_mon < 12) {
      name = months[fields.tm_mon];
    }
    if (name != nullptr) {
      numeric.append(name, conversion == 'a' || conversion == 'b' ? 3 : std::strlen(name));
      ++p;
    } else {
      numeric += *p;
      if (conversion != '\0') numeric += *++p;  // "%%" and the numeric conversions
    }
  }
  std::array<char, 256> text{};
  std::size_t length = numeric.empty() ? 0 : std::strftime(text.data(), text.size(), numeric.c_str(), &fields);
  return std::string(text.data(), length);
}

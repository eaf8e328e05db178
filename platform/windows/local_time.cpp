// The clock and the time zone from the system: the zone's rules come from
// GetTimeZoneInformation and place each instant (daylight saving time included)
// with SystemTimeToTzSpecificLocalTime.
#include "platform/local_time.h"

#include <windows.h>

#include <array>
#include <cstdint>

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
  static const _locale_t cLocale = _create_locale(LC_ALL, "C");
  std::array<char, 256> text{};
  std::size_t length = _strftime_l(text.data(), text.size(), format, &fields, cLocale);
  return std::string(text.data(), length);
}

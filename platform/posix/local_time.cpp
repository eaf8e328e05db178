#include "platform/local_time.h"

#include <cstdlib>

#include <locale.h>

namespace {

// localtime_r alone may keep a zone read before TZ or the system's zone changed; tzset
// reads it again, but without TZ that costs a stat of /etc/localtime. So the zone is
// read again when TZ differs from the last read, or when the clock has reached another
// second since then: a run of messages does not stat the zone file once each.
void RefreshTimeZone() {
  thread_local std::time_t lastSecond = -1;
  thread_local bool hadTz = false;
  thread_local std::string lastTz;
  const char* tz = std::getenv("TZ");
  const std::time_t now = std::time(nullptr);
  if (now == lastSecond && (tz != nullptr) == hadTz && (tz == nullptr || lastTz == tz)) return;
  tzset();
  lastSecond = now;
  hadTz = tz != nullptr;
  lastTz = hadTz ? tz : "";
}

}  // namespace

std::time_t CurrentTime() { return std::time(nullptr); }

void PrepareLocalTime() { RefreshTimeZone(); }

LocalTime LocalTimeAt(std::time_t when) {
  LocalTime result{};
  RefreshTimeZone();
  if (localtime_r(&when, &result.fields) != nullptr) {
    result.biasMinutes = static_cast<int>(-result.fields.tm_gmtoff / 60);
  } else if (gmtime_r(&when, &result.fields) == nullptr) {
    result.fields = std::tm{};
  }
  return result;
}

std::string FormatTimeInCLocale(const char* format, const std::tm& fields) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
  char text[256];
  std::size_t length = strftime_l(text, sizeof text, format, &fields, cLocale);
  return std::string(text, length);
}

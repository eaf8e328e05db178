#include "platform/local_time.h"

#include <locale.h>

std::time_t CurrentTime() { return std::time(nullptr); }

LocalTime LocalTimeAt(std::time_t when) {
  LocalTime result{};
  tzset();  // localtime_r alone may keep a zone read before TZ changed
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

#include "mime/date_header.h"

#include <cstdlib>

#include "platform/local_time.h"

namespace {

void AppendTwoDigits(std::string& out, int value) {
  if (value >= 100) out += std::to_string(value / 100);
  out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

std::string ZoneText(int biasMinutes) {
  const int offset = -biasMinutes;
  const int magnitude = std::abs(offset);
  std::string zone(1, offset >= 0 ? '+' : '-');
  AppendTwoDigits(zone, magnitude / 60);
  AppendTwoDigits(zone, magnitude % 60);
  return zone;
}

std::string DateText(std::time_t when) {
  const LocalTime local = LocalTimeAt(when);
  return FormatTimeInCLocale("%a, %d %b %Y %H:%M:%S ", local.fields) + ZoneText(local.biasMinutes);
}

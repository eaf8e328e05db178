#include "mime/date_header.h"

#include <cstdlib>
#include <optional>

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

// The text follows from the instant and the zone's offset alone, so the messages that
// a run makes within one second share one, formatted once.
std::string DateText(std::time_t when) {
  struct Made {
    std::time_t when;
    int biasMinutes;
    std::string text;
  };
  thread_local std::optional<Made> last;
  const LocalTime local = LocalTimeAt(when);
  if (!last || last->when != when || last->biasMinutes != local.biasMinutes) {
    last = Made{when, local.biasMinutes,
                FormatTimeInCLocale("%a, %d %b %Y %H:%M:%S ", local.fields) + ZoneText(local.biasMinutes)};
  }
  return last->text;
}

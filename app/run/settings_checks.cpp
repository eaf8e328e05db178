#include "app/run/settings_checks.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "app/run/settings.h"
#include "platform/terminal_text.h"

namespace {

// A REG_DWORD reads as a signed number; a text may also give the unsigned form.
constexpr std::int64_t lowestDword = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t highestDword = std::numeric_limits<std::uint32_t>::max();

// The number that text holds whole, or nullopt.
std::optional<std::int64_t> DwordFromText(const std::string& text) {
  std::int64_t number = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, number);
  if (text.empty() || error != std::errc() || stop != end || number < lowestDword ||
      number > highestDword) {
    return std::nullopt;
  }
  return number;
}

// Seconds for every wait when Timeout is absent, and the most that fits the engine's
// milliseconds.
constexpr std::int64_t defaultTimeoutSeconds = 60;
constexpr std::int64_t maxTimeoutSeconds = 4294967;

}  // namespace

void CSettingError::ReportError() const { WriteErrorLine(ErrorText()); }

std::optional<std::int64_t> ReadDwordSetting(const char* valueName) {
  std::optional<std::string> text = ReadSmtpValue(valueName);
  if (!text) return std::nullopt;
  std::optional<std::int64_t> number = DwordFromText(*text);
  if (!number) {
    throw CSettingError(std::string("The setting ") + valueName + " holds \"" + *text +
                        "\", which is not a number");
  }
  return number;
}

std::uint32_t ReadTimeoutSetting() {
  // A time of 0 or less would fail every wait at once: it counts as absent.
  std::int64_t seconds = ReadDwordSetting("Timeout").value_or(0);
  if (seconds < 1) seconds = defaultTimeoutSeconds;
  return static_cast<std::uint32_t>(std::min(seconds, maxTimeoutSeconds) * 1000);
}

void RefuseSettingsOthersCanChange() {
  std::string exposure = SmtpSettingsExposure();
  if (exposure.empty()) return;
  throw CSettingError(exposure +
                      "; settings that hold AuthPassword, AuthPasswordCommand or "
                      "OAuthClientID must be writable by their owner alone, so they are not "
                      "used");
}

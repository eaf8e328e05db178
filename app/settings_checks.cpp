#include "app/settings_checks.h"

#include <charconv>
#include <limits>

#include "app/settings.h"
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

void RefuseSettingsOthersCanChange() {
  std::string exposure = SmtpSettingsExposure();
  if (exposure.empty()) return;
  throw CSettingError(exposure +
                      "; settings that hold AuthPassword, AuthPasswordCommand or "
                      "OAuthClientID must be writable by their owner alone, so they are not "
                      "used");
}

// The settings that fail a run rather than be read loosely: a dword of the extensions
// that is not a number (a typo must never turn a check off), and settings that hold a
// password or a password command while another user could change them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "errors/exceptions.h"

// A setting that the run refuses. Its text names the value or the file and says why;
// ReportError writes it on standard error as one line, as the settings file's other
// problems are reported, with or without a display.
class CSettingError : public CException {
 public:
  explicit CSettingError(std::string text) : m_sText(std::move(text)) {}
  void ReportError() const override;

 protected:
  std::string ErrorText() const override { return m_sText; }

 private:
  std::string m_sText;
};

// A dword value of the SMTP settings added after the original ones (StartTLS,
// TLSVerify, Timeout, Pipelining, ...): nullopt when it is missing; its number when it
// is a REG_DWORD (signed, as ReadSmtpSetting shows it) or a text of decimal digits,
// with an optional leading "-", within 32 bits. Anything else ("true", "yes", "1x",
// " 1", an empty text, binary data) raises CSettingError naming the value and what it
// holds. The original values (SSL, AuthMethod, Port) keep their reading by atoi.
std::optional<std::int64_t> ReadDwordSetting(const char* valueName);

// The bound of every wait (Timeout) in milliseconds: 60 seconds when it is absent, 0 or
// less; at most what fits 32 bits of milliseconds. Raises as ReadDwordSetting.
std::uint32_t ReadTimeoutSetting();

// Raises CSettingError with SmtpSettingsExposure's file or folder and reason when
// another user could change the SMTP settings; called when they hold AuthPassword or
// AuthPasswordCommand, or name an OAuth 2.0 client that is used, since that user could
// then run a command as this one or send the password, the refresh token or the client
// secret to a server of their own. Does nothing where no one else could.
void RefuseSettingsOthersCanChange();

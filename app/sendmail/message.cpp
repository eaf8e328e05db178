// The sendmail face's message made ready to go: the settings, the header rules (RFC
// 5322 3.6) and the choice of quoted-printable (RFC 2045 6.7) for a body that needs it.
#include "app/sendmail/message.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "app/sendmail/aliases.h"
#include "app/run/connect.h"
#include "app/sendmail/failure.h"
#include "app/run/settings.h"
#include "app/run/settings_checks.h"
#include "mime/address.h"
#include "mime/charset_name.h"
#include "mime/date_header.h"
#include "mime/header_folding.h"
#include "mime/message_id.h"

namespace {

constexpr const char* defaultAliasesFile = "/etc/aliases";

// Queue and QueueLifetime, read strictly: a typo must not turn the queue off.
void ReadQueueSettings(SendmailSettings& settings) {
  try {
    settings.queue = ReadDwordSetting("Queue").value_or(1) != 0;
    const std::int64_t days = ReadDwordSetting("QueueLifetime").value_or(settings.queueLifetimeDays);
    if (days < 0 || days > 36500) {
      throw CSettingError("The setting QueueLifetime holds " + std::to_string(days) +
                          ", which is not a number of days");
    }
    settings.queueLifetimeDays = static_cast<int>(days);
  } catch (const CSettingError& error) {
    throw CSendmailFailure{SendmailConfigError, error.what()};
  }
}

}  // namespace

SendmailSettings ReadRunSettings() {
  SendmailSettings settings;
  settings.recipientEMail = ReadSmtpSetting("RecipientEMail", "");
  settings.aliasesFile = ReadSmtpSetting("Aliases", "");
  std::error_code ignored;
  if (settings.aliasesFile.empty() && std::filesystem::exists(defaultAliasesFile, ignored)) {
    settings.aliasesFile = defaultAliasesFile;
  }
  ReadQueueSettings(settings);
  settings.log = ReadMailLogSettings();
  return settings;
}

void ReadAccountSettings(SendmailSettings& settings) {
  settings.senderEMail = ReadSmtpSetting("SenderEMail", "");
  settings.senderName = ReadSmtpSetting("SenderName", "");
  settings.server = ReadSmtpSetting("Server", "");
  settings.port = ReadSmtpSetting("Port", "25");
  settings.authMethod = std::atoi(ReadSmtpSetting("AuthMethod", "").c_str());
  ReadMailLogConnection(settings.log);
  if (settings.server.empty()) {
    const std::string account = SmtpAccountName();
    throw CSendmailFailure{SendmailConfigError,
                           "no SMTP server" +
                               (account.empty() ? std::string() : " for the account " + MailLogValue(account)) +
                               ": set Server in " + SmtpSettingsPlaces()};
  }
}

// The address of the header's From line, when it has one with a domain.
std::string FromLineAddress(const MessageHeader& header) {
  const HeaderField* from = header.Find("From");
  if (from == nullptr) return {};
  std::vector<std::string> addresses = AddressesOf(from->Value());
  return addresses.empty() || IsLocalName(addresses.front()) ? std::string() : addresses.front();
}

namespace {

void AddField(MessageHeader& header, const std::string& text, bool first = false) {
  HeaderField field{text.substr(0, text.find(':')), FoldHeaderField(text)};
  header.fields.insert(first ? header.fields.begin() : header.fields.end(), std::move(field));
}

// The header rules; a From address without a domain is a name of this machine, which
// means nothing past it.
void ApplyHeaderRules(MessageHeader& header, const std::string& fullName,
                      const SendmailSettings& settings, const std::string& sender,
                      const std::string& heloName, std::time_t date) {
  header.Remove("Bcc");
  header.Remove("Resent-Bcc");
  const bool fromWithoutDomain = header.Find("From") != nullptr && FromLineAddress(header).empty();
  if (header.Find("From") == nullptr || fromWithoutDomain) {
    header.Remove("From");
    const std::string name = fullName.empty() ? settings.senderName : fullName;
    const std::string address = settings.senderEMail.empty() ? sender : settings.senderEMail;
    AddField(header, "From: " + CTAVSMTPAddress(name, address).ToHeaderText(true, RunCharset()), true);
  }
  if (header.Find("Date") == nullptr) AddField(header, "Date: " + DateText(date));
  if (header.Find("Message-ID") == nullptr) {
    AddField(header, "Message-ID: <" + MakeMessageId(sender, heloName) + ">");
  }
  if (header.Find("To") == nullptr && header.Find("Cc") == nullptr) {
    AddField(header, "To: undisclosed-recipients:;");
  }
}

// The charset of an 8-bit body that is not UTF-8: the one LANG names ("de_DE.ISO-8859-1"
// gives ISO-8859-1), else unknown-8bit (RFC 1428). LANG is the caller's to set, so a
// text that is no charset name (RFC 2978) names none.
std::string LangCharset() {
  const char* lang = std::getenv("LANG");
  std::string_view text = lang != nullptr ? lang : "";
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return "unknown-8bit";
  std::string_view charset = text.substr(dot + 1);
  charset = charset.substr(0, charset.find('@'));  // "@euro" is a modifier
  std::string lower(charset);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return !IsMimeCharsetName(charset) || lower == "utf-8" || lower == "utf8" ? "unknown-8bit" : std::string(charset);
}

// Chooses how the body goes out. A message without MIME whose body needs it (or whose
// body is too long to look at whole) goes out quoted-printable with the MIME lines; a
// MIME message goes as it is, and is refused when it cannot.
bool ChooseQuotedPrintable(MessageHeader& header, CBodyStream& body) {
  const CBodyFacts& facts = body.LookAhead();
  if (header.Find("MIME-Version") != nullptr) {
    if (facts.firstBadLine != 0) {
      throw CSendmailFailure{SendmailDataError,
                             "line " + std::to_string(header.lines + facts.firstBadLine) +
                                 " of the message holds a NUL or is longer than 998 octets, "
                                 "and a MIME message is sent as it is"};
    }
    return false;
  }
  if (!facts.eightBit && facts.firstBadLine == 0 && body.Complete()) return false;
  const std::string charset = !facts.eightBit || facts.validUtf8 ? "UTF-8" : LangCharset();
  header.Remove("Content-Type");
  header.Remove("Content-Transfer-Encoding");
  AddField(header, "MIME-Version: 1.0");
  AddField(header, "Content-Type: text/plain; charset=" + charset);
  AddField(header, "Content-Transfer-Encoding: quoted-printable");
  return true;
}

}  // namespace

void PrepareMessage(MessageHeader& header, CBodyStream& body, const std::string& fullName,
                    const SendmailSettings& settings, const std::string& sender,
                    const std::string& heloName, std::time_t date) {
  ApplyHeaderRules(header, fullName, settings, sender, heloName, date);
  body.Start(ChooseQuotedPrintable(header, body), header.lines + 1);
}

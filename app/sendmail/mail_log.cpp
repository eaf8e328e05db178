// The log line of a message: its values escaped so that none can end the line, and
// where it goes (Log, LogFile).
#include "app/sendmail/mail_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/run/connect.h"
#include "app/run/settings.h"
#include "app/run/settings_checks.h"
#include "app/sendmail/failure.h"
#include "mime/date_header.h"
#include "platform/private_folder.h"
#include "platform/state_folder.h"
#include "platform/system_log.h"
#include "platform/terminal_text.h"

namespace {

// A reply or a reason longer than this is cut: the line must stay a line.
constexpr std::size_t maxValueBytes = 1000;

bool IsBare(unsigned char c) { return c > ' ' && c < 0x7f && c != '\'' && c != '\\'; }

}  // namespace

std::string MailLogValue(std::string_view text) {
  text = text.substr(0, maxValueBytes);
  if (!text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return IsBare(c); })) {
    return std::string(text);
  }
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string quoted = "'";
  for (unsigned char c : text) {
    if (c == '\'' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < ' ' || c >= 0x7f) {
      quoted += "\\x";
      quoted += digits[c >> 4];
      quoted += digits[c & 0x0F];
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "'";
}

namespace {

void Add(std::string& line, std::string_view key, std::string_view value) {
  if (!line.empty()) line += ' ';
  line.append(key).append("=").append(MailLogValue(value));
}

// The name sysexits.h gives a status.
std::string StatusName(int status) {
  static constexpr std::pair<int, const char*> names[] = {
      {SendmailSent, "EX_OK"},          {SendmailUsage, "EX_USAGE"},
      {SendmailDataError, "EX_DATAERR"}, {SendmailNoUser, "EX_NOUSER"},
      {SendmailNoHost, "EX_NOHOST"},     {SendmailUnavailable, "EX_UNAVAILABLE"},
      {SendmailSystemError, "EX_OSERR"}, {SendmailInputError, "EX_IOERR"},
      {SendmailTemporary, "EX_TEMPFAIL"}, {SendmailNoPermission, "EX_NOPERM"},
      {SendmailConfigError, "EX_CONFIG"}};
  for (const auto& [number, name] : names) {
    if (number == status) return name;
  }
  return std::to_string(status);
}

const char* OutcomeName(MailLogOutcome::Kind kind) {
  switch (kind) {
    case MailLogOutcome::Sent:
      return "sent";
    case MailLogOutcome::Queued:
      return "queued";
    case MailLogOutcome::GaveUp:
      return "gaveup";
    case MailLogOutcome::Refused:
      break;
  }
  return "refused";
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

// Whose log file a run may append to: the caller's own, root's, and, for a run with the
// system's settings, the keeper's (the owner of the system's spool, the user e-mailer).
// A file of another user may be one that user reads, or a link they placed.
bool TrustedLogOwner(long owner) {
  if (owner == 0 || owner == EffectiveUserId()) return true;
  return UsesSystemSettings() && owner == FileOwner(SystemSpoolFolder());
}

void AppendLogLine(const std::string& path, const std::string& line) {
  const std::string problem = AppendToLogFile(path, line, TrustedLogOwner);
  if (!problem.empty()) {
    WriteErrorLine("the log file " + path + " cannot be written (setting LogFile): " + problem);
  }
}

}  // namespace

MailLogSettings ReadMailLogSettings() {
  MailLogSettings settings;
  try {
    settings.on = ReadDwordSetting("Log").value_or(1) != 0;
  } catch (const CSettingError& error) {
    throw CSendmailFailure{SendmailConfigError, error.what()};
  }
  settings.file = ReadSmtpSetting("LogFile", "");
  return settings;
}

void ReadMailLogConnection(MailLogSettings& settings) {
  try {
    settings.server = ReadSmtpSetting("Server", "") + ":" + ReadSmtpSetting("Port", "25");
    const bool startTls = ReadDwordSetting("StartTLS").value_or(0) != 0;
    settings.tls = ReadSslSetting() ? "on" : startTls ? "starttls" : "off";
  } catch (const CSettingError& error) {
    throw CSendmailFailure{SendmailConfigError, error.what()};
  }
  settings.user = std::atoi(ReadSmtpSetting("AuthMethod", "").c_str()) != 0 ? ReadSmtpSetting("AuthUser", "") : "";
}

std::string MailLogLine(const MailLogSettings& settings, const MailLogMessage& message,
                        const MailLogOutcome& outcome, std::time_t now) {
  std::string line;
  if (!message.queueId.empty()) Add(line, "queueid", message.queueId);
  Add(line, "from", message.sender.empty() ? "<>" : message.sender);
  Add(line, "to", Joined(message.recipients));
  Add(line, "size", std::to_string(message.size));
  if (!message.account.empty()) Add(line, "account", message.account);
  Add(line, "server", settings.server);
  Add(line, "tls", settings.tls);
  Add(line, "auth", settings.user.empty() ? "off" : "on");
  if (!settings.user.empty()) Add(line, "user", settings.user);
  Add(line, "outcome", OutcomeName(outcome.kind));
  Add(line, outcome.kind == MailLogOutcome::Sent ? "reply" : "reason", outcome.text);
  Add(line, "delay", std::to_string(std::max<std::time_t>(now - message.given, 0)));
  if (message.submitter.uid >= 0) {
    Add(line, "submitter", message.submitter.name);
    Add(line, "uid", std::to_string(message.submitter.uid));
  }
  if (outcome.status >= 0) Add(line, "exit", StatusName(outcome.status));
  return line;
}

void WriteMailLog(const MailLogSettings& settings, const MailLogMessage& message, const MailLogOutcome& outcome) {
  if (!settings.on) return;
  const std::time_t now = std::time(nullptr);
  const std::string line = MailLogLine(settings, message, outcome, now);
  if (settings.file.empty()) {
    WriteSystemMailLog(line);
  } else {
    AppendLogLine(settings.file, DateText(now) + " " + line + "\n");
  }
}

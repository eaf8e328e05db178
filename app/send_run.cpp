#include "app/send_run.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "app/oauth_token.h"
#include "app/password_command.h"
#include "app/result_dialog.h"
#include "app/settings.h"
#include "app/settings_checks.h"
#include "mime/message.h"
#include "errors/exceptions.h"
#include "platform/code_page.h"
#include "platform/secure_clear.h"
#include "smtp/connection.h"

namespace {

void ShowResult(const std::string& text) {
  CResultDialog dialog;
  dialog.m_sText = text;
  dialog.DoModal();
}

// The TLS library's start-up: its error texts, then the library with the system's
// OpenSSL configuration (crypto policy, lowest protocol version). It reads that file and
// builds the library's tables, which took a plain run a sixth of its time for nothing,
// so only a run that uses TLS (implicit or STARTTLS) pays for it. Where a run uses the
// library without TLS (the MD5 of CRAM-MD5), the library starts itself, with the same
// configuration.
void StartTlsLibrary() {
  SSL_load_error_strings();
  SSL_library_init();
}

// Seconds for every wait when Timeout is absent, and the most that fits the engine's
// milliseconds.
constexpr std::int64_t defaultTimeoutSeconds = 60;
constexpr std::int64_t maxTimeoutSeconds = 4294967;

// The transport settings: STARTTLS, the certificate check, the bound of every wait and
// pipelining. Absent, each leaves the engine as it was: no STARTTLS, the check on only
// with it, 60 seconds, pipelining where the server offers it (it changes no outcome).
// A value that is not a number fails the run (ReadDwordSetting).
void ApplyTransportSettings(CTAVSMTPConnection& connection) {
  connection.m_bStartTLS = ReadDwordSetting("StartTLS").value_or(0) != 0;
  connection.m_bPipelining = ReadDwordSetting("Pipelining").value_or(1) != 0;
  if (std::optional<std::int64_t> verify = ReadDwordSetting("TLSVerify")) {
    connection.m_nTLSVerify = *verify != 0 ? TLSVerifyOn : TLSVerifyOff;
  }
  connection.m_sTLSCAFile = ReadSmtpSetting("TLSCAFile", "");
  connection.m_sTLSFingerprint = ReadSmtpSetting("TLSFingerprint", "");
  // A time of 0 or less would fail every wait at once: it counts as absent.
  std::int64_t seconds = ReadDwordSetting("Timeout").value_or(0);
  if (seconds < 1) seconds = defaultTimeoutSeconds;
  connection.m_dwTimeout = static_cast<std::uint32_t>(std::min(seconds, maxTimeoutSeconds) * 1000);
}

bool ConnectStep(CTAVSMTPConnection& connection, int authMethod) {
  try {
    ConnectWithSettings(connection, authMethod);
    return true;
  } catch (const CException& e) {
    e.ReportError();
    ShowResult("Failed to connect to SMTP server\n" + connection.GetLastReply());
    return false;
  }
}

void ComposeMessage(CTAVSMTPMessage& message, const std::string& subject,
                    const std::string& body) {
  CSettingsReadOnce readOnce;
  message.rootPart.charset = RunCharset();
  std::string senderEMail = ReadSmtpSetting("SenderEMail", "");
  std::string senderName = ReadSmtpSetting("SenderName", "");
  message.from = CTAVSMTPAddress(senderName, senderEMail);
  std::string recipientEMail = ReadSmtpSetting("RecipientEMail", "");
  std::string recipientName = ReadSmtpSetting("RecipientName", "");
  message.AppendRecipient(CTAVSMTPAddress(recipientName, recipientEMail),
                          CTAVSMTPMessage::RecipientTo);
  message.subject = subject;
  message.SetBody(body);
}

// The message, then QUIT (with the end of data in one send where pipelined): false
// when the message failed; quitFailed when it was delivered but QUIT failed.
bool SendStep(CTAVSMTPConnection& connection, CTAVSMTPMessage& message, bool& quitFailed) {
  try {
    quitFailed = connection.SendMailMessageAndQuit(message).has_value();
    return true;
  } catch (const CException&) {
    ShowResult("Failed to send the SMTP message\n" + connection.GetLastReply());
    return false;
  }
}

}  // namespace

// The message's charset follows the code page the text is held in: Latin-1 text keeps
// the traditional "iso-8859-1" label, any other code page is converted to UTF-8 on
// the wire, so text is never sent under a label that does not match it.
std::string RunCharset() { return AnsiCodePageIsLatin1() ? "iso-8859-1" : "UTF-8"; }

void ConnectWithSettings(CTAVSMTPConnection& connection, int authMethod) {
  ApplyTransportSettings(connection);
  std::string ssl = ReadSmtpSetting("SSL", "");
  std::string port = ReadSmtpSetting("Port", "25");
  std::string password = ReadSmtpSetting("AuthPassword", "");
  ClearOnExit clearPassword(password);
  std::string passwordCommand = ReadSmtpSetting("AuthPasswordCommand", "");
  std::string user = ReadSmtpSetting("AuthUser", "");
  std::string server = ReadSmtpSetting("Server", "");
  // Whoever could change these settings could name the command or the server.
  if (!password.empty() || !passwordCommand.empty()) RefuseSettingsOthersCanChange();
  // Without authentication no password is needed, and no command is run for one; a
  // token of the program's own OAuth client needs none either.
  const bool oauthClient = authMethod == AuthOAuth && UsesOAuthClient();
  if (!passwordCommand.empty() && authMethod != AuthNone && !oauthClient) {
    SecureClear(password);
    password = PasswordFromCommand(passwordCommand, connection.m_dwTimeout);
  }
  const bool tls = std::atoi(ssl.c_str()) != 0;
  if (tls || connection.m_bStartTLS) StartTlsLibrary();
  auto connect = [&](const std::string& secret) {
    connection.Connect(server.c_str(), authMethod, user.c_str(), secret.c_str(),
                       std::atoi(port.c_str()), tls);
  };
  if (oauthClient) {
    ConnectWithOAuthToken(connection.m_dwTimeout, connect);
  } else {
    connect(password);
  }
}

std::uint32_t RunTimeout() {
  CTAVSMTPConnection connection;
  ApplyTransportSettings(connection);
  return connection.m_dwTimeout;
}

MailerExitCode SendRun(const std::string& subject, const std::string& body, bool showUi) {
  CTAVSMTPConnection connection;
  {
    // The settings file is read once for the connect settings and once more, after the
    // connect, for the message's.
    CSettingsReadOnce readOnce;
    int authMethod = std::atoi(ReadSmtpSetting("AuthMethod", "").c_str());
    if (!ConnectStep(connection, authMethod)) return ExitConnectFailed;
  }

  // Declared after the connection, so it is destroyed first; on a failed send the
  // connection's destructor then says QUIT and discards what that raises.
  CTAVSMTPMessage message;
  ComposeMessage(message, subject, body);
  bool quitFailed = false;
  if (!SendStep(connection, message, quitFailed)) return ExitSendFailed;
  // The server has taken the message. A failed QUIT does not undo that: the run ends
  // in order, shows no success and tells the caller through the exit code alone.
  if (quitFailed) return ExitQuitFailed;
  if (showUi) ShowResult("Message sent OK");
  return ExitSent;
}

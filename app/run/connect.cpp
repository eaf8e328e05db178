// The connect step that both faces share: the transport settings, the password or its
// command, the OAuth token, then CTAVSMTPConnection::Connect.
#include "app/run/connect.h"

#include <openssl/ssl.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/run/oauth_token.h"
#include "app/run/password_command.h"
#include "app/run/settings.h"
#include "app/run/settings_checks.h"
#include "errors/message_table.h"
#include "platform/code_page.h"
#include "platform/secure_clear.h"
#include "platform/terminal_text.h"
#include "smtp/connection.h"
#include "smtp/server_extensions.h"

namespace {

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

// The transport settings: STARTTLS, the certificate check, the bound of every wait and
// pipelining. Absent: no STARTTLS, the check on only with it, 60 seconds, and
// pipelining turned on (the engine's own default is off) where the server offers it, as
// it changes no outcome of a run.
// A value that is not a number fails the run (ReadDwordSetting).
void ApplyTransportSettings(CTAVSMTPConnection& connection) {
  connection.m_bStartTLS = ReadDwordSetting("StartTLS").value_or(0) != 0;
  connection.m_bPipelining = ReadDwordSetting("Pipelining").value_or(1) != 0;
  if (std::optional<std::int64_t> verify = ReadDwordSetting("TLSVerify")) {
    connection.m_nTLSVerify = *verify != 0 ? TLSVerifyOn : TLSVerifyOff;
  }
  connection.m_sTLSCAFile = ReadSmtpSetting("TLSCAFile", "");
  connection.m_sTLSFingerprint = ReadSmtpSetting("TLSFingerprint", "");
  connection.m_dwTimeout = ReadTimeoutSetting();
}

// Where atoi would find a number: blanks, then a sign or none, then a digit.
bool StartsWithNumber(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  return at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
}

// A server that offers STARTTLS and AUTH only after it: the authentication step found
// no mechanism it may use (565 for AuthMethod 6, 516 for the automatic choice) before any
// credential went out. The line names the setting that makes it work.
void NameStartTlsWhereAuthWaitsForIt(const CTAVSMTPException& e, bool tls, bool startTls) {
  const bool noMechanism = e.m_hrError == MakeFailureHresult(FACILITY_ITF, msgSaslPlainNotOffered) ||
                           e.m_hrError == MakeFailureHresult(FACILITY_ITF, msgEhlo);
  const std::string& ehlo = e.m_sLastResponseText;
  if (noMechanism && !tls && !startTls && OffersExtension(ehlo, "STARTTLS") && !OffersExtension(ehlo, "AUTH")) {
    WriteErrorLine("the server takes AUTH only after STARTTLS: set StartTLS 1 in " + SmtpSettingsPlaces());
  }
}

}  // namespace

bool ReadSslSetting() {
  const std::string ssl = ReadSmtpSetting("SSL", "");
  if (!ssl.empty() && !StartsWithNumber(ssl)) {
    throw CSettingError("The setting SSL holds \"" + ssl + "\", which does not start with a number (1: TLS from "
                        "the start, 0: none)");
  }
  return std::atoi(ssl.c_str()) != 0;
}

// The message's charset follows the code page the text is held in: Latin-1 text keeps
// the traditional "iso-8859-1" label, any other code page is converted to UTF-8 on
// the wire, so text is never sent under a label that does not match it.
std::string RunCharset() { return AnsiCodePageIsLatin1() ? "iso-8859-1" : "UTF-8"; }

void ConnectWithSettings(CTAVSMTPConnection& connection, int authMethod) {
  ApplyTransportSettings(connection);
  const bool tls = ReadSslSetting();
  std::string port = ReadSmtpSetting("Port", "25");
  std::string password = ReadSmtpSetting("AuthPassword", "");
  ClearOnExit clearPassword(password);
  std::string passwordCommand = ReadSmtpSetting("AuthPasswordCommand", "");
  std::string user = ReadSmtpSetting("AuthUser", "");
  std::string server = ReadSmtpSetting("Server", "");
  // The connect is still tried, and fails as it always has; the line says where the
  // server is set.
  if (server.empty()) WriteErrorLine("no SMTP server: set Server in " + SmtpSettingsPlaces());
  // Whoever could change these settings could name the command or the server.
  if (!password.empty() || !passwordCommand.empty()) RefuseSettingsOthersCanChange();
  // Without authentication no password is needed, and no command is run for one; a
  // token of the program's own OAuth client needs none either.
  const bool oauthClient = authMethod == AuthOAuth && UsesOAuthClient();
  // Its tokens are kept in a user's state folder, which the system's settings, shared by
  // every user, never use.
  if (oauthClient && UsesSystemSettings()) {
    throw CSettingError("The system's settings (" + SmtpSettingsPlaces() +
                        ") cannot use the program's OAuth client (OAuthClientID): its tokens belong to one "
                        "user; give the token with AuthPasswordCommand instead");
  }
  if (!passwordCommand.empty() && authMethod != AuthNone && !oauthClient) {
    SecureClear(password);
    password = PasswordFromCommand(passwordCommand, connection.m_dwTimeout);
  }
  if (tls || connection.m_bStartTLS) StartTlsLibrary();
  auto connect = [&](const std::string& secret) {
    try {
      connection.Connect(server.c_str(), authMethod, user.c_str(), secret.c_str(), std::atoi(port.c_str()), tls);
    } catch (const CTAVSMTPException& e) {
      NameStartTlsWhereAuthWaitsForIt(e, tls, connection.m_bStartTLS);
      throw;
    }
  };
  if (oauthClient) {
    ConnectWithOAuthToken(connection.m_dwTimeout, connect);
  } else {
    connect(password);
  }
}


// The sysexits status of an engine failure, from its message id and the server's reply
// code: the caller (cron, PHP, git) tells a message to try again later from one that
// will never go.
#include "app/sendmail/failure.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

#include "app/run/settings_checks.h"
#include "errors/message_table.h"
#include "platform/error_numbers.h"

namespace {

// The line on standard error is one line, whatever the server's reply holds.
std::string OneLine(std::string_view text) {
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;  // CR LF: one blank
    if (text[i] != '\0') line += text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
  }
  return line;
}

// The reply code at the start of an exception's server text; 0 when there is none.
int ReplyCode(const std::string& text) {
  const bool digits = text.size() >= 3 && std::all_of(text.begin(), text.begin() + 3, [](unsigned char c) {
                        return std::isdigit(c) != 0;
                      });
  if (!digits) return 0;
  return std::atoi(text.substr(0, 3).c_str());
}

bool IsAuthenticationMessage(std::uint32_t id) {
  return (id >= msgLogin && id <= msgBase64Encode) || (id >= msgSaslPlainCredentials && id <= msgOAuthTokenRefused) ||
         id == msgSaslPlainNotOffered;
}

}  // namespace

SendmailStatus StatusOf(const CException& error, bool connecting) {
  if (dynamic_cast<const CSettingError*>(&error) != nullptr) return SendmailConfigError;
  const auto* smtp = dynamic_cast<const CTAVSMTPException*>(&error);
  if (smtp == nullptr) return SendmailTemporary;
  const std::uint32_t facility = HresultFacility(smtp->m_hrError);
  const std::uint32_t code = HresultCode(smtp->m_hrError);
  if (facility == FACILITY_WIN32) {
    if (code == WSAHOST_NOT_FOUND) return SendmailNoHost;
    if (code == ERROR_INVALID_PARAMETER) return connecting ? SendmailConfigError : SendmailDataError;
    return SendmailTemporary;
  }
  if (facility != FACILITY_ITF) return SendmailNoPermission;  // an NTLM security status
  if (code == msgPasswordCommand || code == msgCreateSSLSocket) return SendmailConfigError;
  // The OAuth 2.0 client's failures that no later try can pass: a sign-in that is gone
  // wants e-mailer --authorize, a token store that cannot be used or wrong settings want
  // the administrator.
  if (code == msgOAuthSignInInvalid) return SendmailNoPermission;
  if (code == msgOAuthTokenStore || code == msgOAuthSettings) return SendmailConfigError;
  // Known before anything is sent, from what the server declares; no reply in the text.
  if (code == msgAddressNotSendable) return SendmailDataError;
  if (code == msgMessageTooLarge) return SendmailUnavailable;
  const int reply = ReplyCode(smtp->m_sLastResponseText);
  if (reply >= 400 && reply < 500) return SendmailTemporary;
  if (IsAuthenticationMessage(code)) return SendmailNoPermission;
  if (code == msgRcptTo && reply >= 500) return SendmailNoUser;
  if (code >= msgSocks4ViaSSL && code <= msgConnectViaSSL) return SendmailUnavailable;
  if (code == msgStartTlsNotOffered || reply >= 500) return SendmailUnavailable;
  return SendmailTemporary;  // no reply in time, the connection closed, a TLS read
}

CSendmailFailure EngineFailure(const CException& error, bool connecting, const std::string& what) {
  return CSendmailFailure{StatusOf(error, connecting), OneLine(what + ": " + error.what())};
}


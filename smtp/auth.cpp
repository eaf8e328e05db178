// Authentication of CTAVSMTPConnection after EHLO (RFC 4954): the dispatch on the
// method, the automatic choice from the server's AUTH line, AUTH LOGIN, a clear-text
// PLAIN dialogue driven by prompts (not RFC 4616), CRAM-MD5 (RFC 2195), and NTLM with
// its tokens in Base64 over "AUTH NTLM".
#include <cstring>
#include <string_view>

#include "codec/base64.h"
#include "codec/md5.h"
#include "errors/message_table.h"
#include "platform/last_error.h"
#include "platform/secure_clear.h"
#include "smtp/auth_text.h"
#include "smtp/connection.h"
#include "smtp/guards.h"

namespace {

// The mechanisms that a server's AUTH line can name, in the order in which the
// automatic choice prefers them.
struct MechanismName {
  std::string_view name;
  AuthMechanism mechanism;
};
constexpr MechanismName mechanismTable[] = {
    {"NTLM", AuthNtlm},
    {"CRAM-MD5", AuthCramMd5},
    {"LOGIN", AuthLogin},
    {"PLAIN", AuthPlain},
};

// Only a continued line of the EHLO reply counts, and only with a blank after AUTH.
constexpr std::string_view authLinePrefix = "250-AUTH ";

}  // namespace

std::int32_t CTAVSMTPConnection::SelectAuthMechanism(const std::string& parameters) {
  for (const MechanismName& m : mechanismTable) {
    if (parameters.find(m.name) != std::string::npos) return m.mechanism;
  }
  return AuthAutomatic;
}

std::int32_t CTAVSMTPConnection::ChooseFromEhloReply() {
  std::string reply = GetLastReply();
  std::size_t line = reply.find(authLinePrefix);
  if (line == std::string::npos) return AuthAutomatic;
  std::size_t from = line + authLinePrefix.size();
  std::size_t end = reply.find("\r\n", from);
  std::string parameters = reply.substr(from, end == std::string::npos ? end : end - from);
  for (char& c : parameters) c = AsciiUpper(c);
  return SelectAuthMechanism(parameters);
}

void CTAVSMTPConnection::Authenticate(const char* user, const char* password,
                                      std::int32_t mechanism) {
  if (mechanism == AuthAutomatic) mechanism = ChooseFromEhloReply();
  switch (mechanism) {
    case AuthCramMd5:
      return AuthenticateCramMd5(user, password);
    case AuthLogin:
      return AuthenticateLogin(user, password);
    case AuthPlain:
      return AuthenticatePlain(user, password);
    case AuthNtlm:
      if (SECURITY_STATUS status = NtlmAuthenticate(user, password); status < 0) {
        RaiseSmtpError(status, GetLastReply());
      }
      return;
    case AuthAutomatic:  // the server offers nothing that can be chosen
      RaiseSmtpError(msgEhlo, FACILITY_ITF, GetLastReply());
    case AuthSaslPlain:
      return AuthenticateSaslPlain(user, password);
    case AuthOAuth:
      return AuthenticateOAuth(user, password);
    default:
      return;  // any other code authenticates nothing
  }
}

void CTAVSMTPConnection::AuthenticateLogin(const char* user, const char* password) {
  SendCommand("AUTH LOGIN\r\n");
  ExpectReplyOrRaise(334, msgLogin);
  if (!EqualsIgnoringCase(DecodedParameter(GetLastReply()), "username:")) {
    RaiseSmtpError(msgLoginUsernameRequest, FACILITY_ITF, GetLastReply());
  }
  SendCommand(Base64Line(user));
  ExpectReplyOrRaise(334, msgLoginUsernameResponse);
  if (!EqualsIgnoringCase(DecodedParameter(GetLastReply()), "password:")) {
    RaiseSmtpError(msgLoginPasswordRequest, FACILITY_ITF, GetLastReply());
  }
  SendSecretCommand(Base64Line(password));
  ExpectReplyOrRaise(235, msgLoginPasswordResponse);
}

void CTAVSMTPConnection::AuthenticatePlain(const char* user, const char* password) {
  // Sent in clear, a line break would end the answer and start a command.
  RefuseLineBreaks(user);
  RefuseLineBreaks(password);
  SendCommand("AUTH PLAIN\r\n");
  ExpectReplyOrRaise(334, msgPlain);
  if (!EqualsIgnoringCase(ReplyParameter(GetLastReply()), "username:")) {
    RaiseSmtpError(msgPlainUsernameRequest, FACILITY_ITF, GetLastReply());
  }
  SendCommand(std::string(user) + "\r\n");
  ExpectReplyOrRaise(334, msgPlainUsernameResponse);
  if (!EqualsIgnoringCase(ReplyParameter(GetLastReply()), "password:")) {
    RaiseSmtpError(msgPlainPasswordRequest, FACILITY_ITF, GetLastReply());
  }
  SendSecretCommand(Joined({password, "\r\n"}));
  ExpectReplyOrRaise(235, msgPlainPasswordResponse);
}

void CTAVSMTPConnection::AuthenticateCramMd5(const char* user, const char* password) {
  SendCommand("AUTH CRAM-MD5\r\n");
  ExpectReplyOrRaise(334, msgCramMd5);
  std::string challenge = DecodedParameter(GetLastReply());
  CMD5Hasher hasher;
  CMD5Digest digest;
  if (!hasher.Hmac(reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(),
                   reinterpret_cast<const unsigned char*>(password),
                   static_cast<unsigned>(std::strlen(password)), digest)) {
    RaiseSmtpError(GetLastError(), FACILITY_WIN32, "");
  }
  // The answer: the user name, a blank and the digest in lower-case hexadecimal.
  SendCommand(Base64Line(std::string(user) + ' ' + digest.ToHex(false)));
  ExpectReplyOrRaise(235, msgCramMd5Digest);
}

void CTAVSMTPConnection::SendSecretCommand(std::string text) {
  ClearOnExit clear(text);
  SendCommand(text);
}

SECURITY_STATUS CTAVSMTPConnection::SendNtlmFirstToken(const unsigned char* token,
                                                       unsigned length) {
  SendCommand("AUTH NTLM " + Base64(token, length) + "\r\n");
  return SEC_E_OK;
}

SECURITY_STATUS CTAVSMTPConnection::ReceiveNtlmToken(unsigned char* buffer, unsigned capacity,
                                                     unsigned* received) {
  ExpectReplyOrRaise(334, msgNtlm);
  CBase64Buffer token;
  token.Decode(ReplyParameter(GetLastReply()).c_str());
  *received = static_cast<unsigned>(token.Length());
  // A token that fills the buffer is refused along with longer ones.
  if (*received >= capacity) return SEC_E_INSUFFICIENT_MEMORY;
  std::memcpy(buffer, token.Data(), *received);
  return SEC_E_OK;
}

SECURITY_STATUS CTAVSMTPConnection::SendNtlmNextToken(const unsigned char* token,
                                                      unsigned length) {
  SendCommand(Base64(token, length) + "\r\n");
  ExpectReplyOrRaise(235, msgNtlm);
  return SEC_E_OK;
}

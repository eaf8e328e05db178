// OAuth 2.0 bearer tokens over SMTP AUTH: OAUTHBEARER (RFC 7628, with the GS2 header of
// RFC 5801) where the server offers it, else XOAUTH2 as Google and Microsoft define it;
// a refused token ends in the error challenge that carries the server's JSON reason.
#include <string>
#include <string_view>

#include "errors/message_table.h"
#include "platform/secure_clear.h"
#include "smtp/auth_text.h"
#include "smtp/connection.h"
#include "smtp/guards.h"
#include "smtp/server_extensions.h"

namespace {

// Besides the line ends, ^A: it separates the key/value pairs of the initial response.
constexpr std::string_view tokenBreaks{"\r\n\x01", 3};

struct BearerMechanism {
  std::string_view name;
  std::uint32_t message;       // raised for an unexpected reply
  std::string_view refusal;    // the client's answer to an error challenge
};
// OAUTHBEARER answers with ^A (Base64 "AQ=="), XOAUTH2 with an empty line.
constexpr BearerMechanism oauthBearer{"OAUTHBEARER", msgOAuthBearer, "AQ==\r\n"};
constexpr BearerMechanism xoauth2{"XOAUTH2", msgXOAuth2, "\r\n"};

// The user as a GS2 saslname: "," and "=" would end it, so they go as "=2C" and "=3D".
std::string SaslName(std::string_view user) {
  std::string name;
  for (char c : user) {
    if (c == ',') name += "=2C";
    else if (c == '=') name += "=3D";
    else name += c;
  }
  return name;
}

// RFC 7628: the GS2 header "n,a=user," then host, port and auth, each ended by ^A, and
// a last ^A.
std::string OAuthBearerResponse(std::string_view user, const std::string& host,
                                 std::int32_t port, std::string_view token) {
  return Joined({"n,a=", SaslName(user), ",\x01host=", host, "\x01port=", std::to_string(port),
                 "\x01" "auth=Bearer ", token, "\x01\x01"});
}

std::string XOAuth2Response(std::string_view user, std::string_view token) {
  return Joined({"user=", user, "\x01" "auth=Bearer ", token, "\x01\x01"});
}

}  // namespace

void CTAVSMTPConnection::AuthenticateOAuth(const char* user, const char* token) {
  RefuseLineBreaks(user, tokenBreaks);
  RefuseLineBreaks(token, tokenBreaks);
  std::string ehlo = GetLastReply();
  bool bearer = OffersAuthMechanism(ehlo, oauthBearer.name);
  if (!bearer && !OffersAuthMechanism(ehlo, xoauth2.name)) {
    RaiseSmtpError(msgNoOAuthMechanism, FACILITY_ITF, ehlo);
  }
  const BearerMechanism& mechanism = bearer ? oauthBearer : xoauth2;
  std::string response = bearer ? OAuthBearerResponse(user, m_sServerHost, m_nServerPort, token)
                                : XOAuth2Response(user, token);
  ClearOnExit clear(response);
  SendInitialResponse(mechanism.name, response, mechanism.message);
  if (!ExpectEitherReply(235, 334)) RaiseSmtpError(mechanism.message, FACILITY_ITF, GetLastReply());
  if (m_nLastReplyCode == 334) RaiseTokenRefused(mechanism.refusal);
}

void CTAVSMTPConnection::RaiseTokenRefused(std::string_view answer) {
  std::string reason = DecodedParameter(GetLastReply());
  SendCommand(answer);
  // The server now fails the exchange; its final reply goes with the reason, as the
  // QUIT that follows the failure takes the place of the last reply.
  ExpectReply(535);
  RaiseSmtpError(msgOAuthTokenRefused, FACILITY_ITF, reason + "\r\n" + GetLastReply());
}

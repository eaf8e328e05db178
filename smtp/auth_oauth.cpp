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

// Whether word is one of the blank-separated words of list, in any letter case.
bool ListsWord(std::string_view list, std::string_view word) {
  for (;;) {
    std::size_t blank = list.find(' ');
    if (EqualsIgnoringCase(list.substr(0, blank), word)) return true;
    if (blank == std::string_view::npos) return false;
    list.remove_prefix(blank + 1);
  }
}

// Whether a line of the EHLO reply ("250-AUTH ..." or "250 AUTH ...", also the older
// "AUTH=..." form) lists mechanism.
bool EhloOffers(std::string_view reply, std::string_view mechanism) {
  for (std::size_t from = 0; from < reply.size();) {
    std::size_t end = reply.find("\r\n", from);
    std::string_view line = reply.substr(from, end - from);
    if (line.size() > 9 && EqualsIgnoringCase(line.substr(4, 4), "AUTH") &&
        (line[8] == ' ' || line[8] == '=') && ListsWord(line.substr(9), mechanism)) {
      return true;
    }
    if (end == std::string_view::npos) break;
    from = end + 2;
  }
  return false;
}

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
  bool bearer = EhloOffers(ehlo, oauthBearer.name);
  if (!bearer && !EhloOffers(ehlo, xoauth2.name)) {
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

// Mechanisms that open with an initial response (RFC 4954): how that response travels,
// on the AUTH line or after a 334 when the line would be too long, and SASL PLAIN as
// RFC 4616 defines it.
#include <string>
#include <string_view>

#include "errors/message_table.h"
#include "platform/secure_clear.h"
#include "smtp/auth_text.h"
#include "smtp/connection.h"
#include "smtp/guards.h"
#include "smtp/server_extensions.h"

void CTAVSMTPConnection::SendInitialResponse(std::string_view mechanism,
                                             std::string_view response, std::uint32_t message) {
  std::string command = "AUTH " + std::string(mechanism);
  std::string encoded = Base64(response);
  ClearOnExit clear(encoded);
  if (command.size() + 1 + encoded.size() + 2 <= commandLineLimit) {
    return SendSecretCommand(Joined({command, " ", encoded, "\r\n"}));
  }
  SendCommand(command + "\r\n");
  ExpectReplyOrRaise(334, message);
  SendSecretCommand(Joined({encoded, "\r\n"}));
}

void CTAVSMTPConnection::AuthenticateSaslPlain(const char* user, const char* password) {
  RefuseLineBreaks(user);
  RefuseLineBreaks(password);
  // The password travels on the AUTH line itself: only to a server that offers PLAIN,
  // never to one that takes AUTH only after STARTTLS and would get it in clear.
  if (!OffersAuthMechanism(GetLastReply(), "PLAIN")) {
    RaiseSmtpError(msgSaslPlainNotOffered, FACILITY_ITF, GetLastReply());
  }
  // authzid NUL authcid NUL passwd; the empty authzid lets the user act as itself.
  const std::string_view nul{"", 1};
  std::string response = Joined({nul, user, nul, password});
  ClearOnExit clear(response);
  SendInitialResponse("PLAIN", response, msgPlain);
  ExpectReplyOrRaise(235, msgSaslPlainCredentials);
}

// The check's diagnoses: the failures a setting that does not fit the server causes
// (TLS at the wrong moment, STARTTLS or AUTH not where expected, a certificate for
// another name or out of its dates), then the replies whose enhanced status codes
// (RFC 3463) name a cause, then what is left by the step that failed.
#include "app/mailer/check_diagnosis.h"

#include <cctype>
#include <string_view>

#include "errors/message_table.h"
#include "platform/error_numbers.h"
#include "smtp/connection.h"
#include "smtp/server_extensions.h"

namespace {

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::string Port(const CheckFailure& f) { return std::to_string(f.port); }

// True when a line of reply begins with code and holds enhanced as a whole token.
bool ReplyHas(const std::string& reply, std::string_view code, std::string_view enhanced) {
  if (reply.compare(0, code.size(), code) != 0) return false;
  for (std::size_t at = reply.find(enhanced); at != std::string::npos;
       at = reply.find(enhanced, at + 1)) {
    std::size_t end = at + enhanced.size();
    bool startsToken = at == 0 || reply[at - 1] == ' ' || reply[at - 1] == '-';
    bool endsToken = end == reply.size() ||
                     !(std::isdigit(static_cast<unsigned char>(reply[end])) || reply[end] == '.');
    if (startsToken && endsToken) return true;
  }
  return false;
}

// Replies that name their cause, as the large providers send them.
struct ReplyCause {
  std::string_view step;  // the step where it means this; "" for any
  std::string_view code;
  std::string_view enhanced;
  std::string_view problem;
  std::string_view change;
  int exitStatus;
};
constexpr ReplyCause replyCauses[] = {
    {"authentication", "530", "5.7.0", "the server wants TLS before authentication",
     "set StartTLS 1 (port 587 or 25), or SSL 1 with port 465", CheckConfig},
    {"envelope", "530", "5.7.0", "the server wants authentication before it takes mail",
     "set AuthMethod (5 chooses from what the server offers) with AuthUser and AuthPassword",
     CheckNoPermission},
    {"", "534", "5.7.9", "Google wants an app password (or OAuth) for this account",
     "create an app password at https://myaccount.google.com/apppasswords and set it as "
     "AuthPassword, or set AuthMethod 7 with OAuthProvider google and run e-mailer --authorize",
     CheckNoPermission},
    {"", "535", "5.7.139",
     "SMTP AUTH is switched off for this Microsoft 365 mailbox or its tenant",
     "an administrator turns it on (Set-CASMailbox -SmtpClientAuthenticationDisabled $false), "
     "or set AuthMethod 7 with OAuthProvider microsoft and run e-mailer --authorize",
     CheckNoPermission},
    {"", "535", "5.7.3", "the server refused the user name or the password",
     "check AuthUser and AuthPassword (or AuthPasswordCommand); with two-factor sign-in the "
     "provider may want an app password", CheckNoPermission},
    {"", "535", "5.7.8", "the server refused the user name or the password",
     "check AuthUser and AuthPassword (or AuthPasswordCommand); with two-factor sign-in the "
     "provider may want an app password", CheckNoPermission},
    {"", "550", "5.7.30", "the server no longer takes basic authentication (a password)",
     "set AuthMethod 7 with OAuthProvider microsoft and run e-mailer --authorize",
     CheckNoPermission},
};

std::optional<Diagnosis> FromReply(const CheckFailure& f) {
  for (const ReplyCause& cause : replyCauses) {
    if ((cause.step.empty() || cause.step == f.step) && ReplyHas(f.text, cause.code, cause.enhanced)) {
      return Diagnosis{std::string(cause.problem) + ": " + f.text, std::string(cause.change),
                       cause.exitStatus};
    }
  }
  return std::nullopt;
}

std::string Names(const TlsFacts& facts) {
  std::string names;
  for (const std::string& name : facts.names) names += (names.empty() ? "" : ", ") + name;
  return names.empty() ? "no names (subject " + facts.subject + ")" : names;
}

std::optional<Diagnosis> FromCertificate(const CheckFailure& f) {
  if (!f.certificate || !f.certificate->certificate || !Contains(f.text, "not trusted")) {
    return std::nullopt;
  }
  const TlsFacts& c = *f.certificate;
  // Every certificate the check refuses can be pinned: the pin alone decides.
  const std::string pin = "pin this certificate with TLSFingerprint " + c.fingerprint;
  if (c.expired) {
    return Diagnosis{"the server's certificate expired on " + c.notAfter +
                         "; the clock here says " + ClockText(),
                     "the server's administrator must renew the certificate (or, if the clock "
                     "here is wrong, set it right; or " + pin + ")", CheckUnavailable};
  }
  if (c.notYetValid) {
    return Diagnosis{"the server's certificate is valid only from " + c.notBefore +
                         "; the clock here says " + ClockText(),
                     "set this machine's clock right (or the certificate is dated ahead; or " +
                         pin + ")", CheckUnavailable};
  }
  if (!c.namesServer) {
    return Diagnosis{"the server's certificate is for " + Names(c) + ", not for " + f.server,
                     "set Server to a name the certificate holds, or " + pin, CheckConfig};
  }
  return Diagnosis{f.text, "name the server's CA in TLSCAFile, or " + pin, CheckUnavailable};
}

// A handshake that met plain text: OpenSSL reads the server's "220 " as a record.
bool MetPlainText(const std::string& text) {
  return Contains(text, "wrong version number") || Contains(text, "packet length too long") ||
         Contains(text, "record layer failure") || Contains(text, "unknown protocol");
}

std::optional<Diagnosis> FromTransport(const CheckFailure& f) {
  if (f.socket && f.message == static_cast<std::uint32_t>(WSAECONNREFUSED)) {
    return Diagnosis{"nothing takes connections on " + f.server + " port " + Port(f),
                     "check Server and Port (587 with StartTLS 1, or 465 with SSL 1)",
                     CheckUnavailable};
  }
  if (f.socket && f.message == static_cast<std::uint32_t>(WSAETIMEDOUT)) {
    return Diagnosis{"no answer from " + f.server + " port " + Port(f) + " within " +
                         std::to_string(f.timeoutSeconds) + " s",
                     "check Server and Port; a firewall may drop this port", CheckTemporary};
  }
  if (f.message == msgConnectViaSSL && f.ssl && MetPlainText(f.text)) {
    return Diagnosis{"the TLS handshake met plain text: port " + Port(f) +
                         " starts without TLS",
                     "set SSL 0 and StartTLS 1 (SSL 1 is for port 465)", CheckConfig};
  }
  if (f.message == msgGreeting && !f.ssl && f.greeting.empty()) {
    return Diagnosis{"the server sent no greeting within " + std::to_string(f.timeoutSeconds) +
                         " s: it waits for a TLS handshake first",
                     "set SSL 1 and StartTLS 0 (port 465 is TLS from the first byte)",
                     CheckConfig};
  }
  if (f.message == msgStartTlsNotOffered) {
    return Diagnosis{"the server does not offer STARTTLS on port " + Port(f),
                     "use port 465 with SSL 1 and StartTLS 0, or ask the server's "
                     "administrator to offer STARTTLS", CheckConfig};
  }
  return std::nullopt;
}

std::optional<Diagnosis> FromAuthentication(const CheckFailure& f) {
  if (f.step != "authentication") return std::nullopt;
  bool plain = !f.ssl && !f.startTls;
  // Not offered before STARTTLS, or offered and then refused until it ("530 Must issue
  // a STARTTLS command first").
  if (plain && OffersExtension(f.ehloReply, "STARTTLS") &&
      (!OffersExtension(f.ehloReply, "AUTH") || f.text.compare(0, 3, "530") == 0)) {
    return Diagnosis{"the server takes AUTH only after STARTTLS: " + f.text, "set StartTLS 1",
                     CheckConfig};
  }
  if (f.message == msgOAuthTokenRefused || f.message == msgOAuthSignInInvalid) {
    return Diagnosis{"the OAuth sign-in is gone (revoked, expired, or the password changed): " +
                         f.text,
                     "run e-mailer --authorize again", CheckNoPermission};
  }
  if (f.message == msgEhlo && !OffersExtension(f.ehloReply, "AUTH")) {
    return Diagnosis{"the server offers no AUTH mechanism here",
                     "set AuthMethod 0 if it takes mail without authentication, or use its "
                     "submission port (587 with StartTLS 1)", CheckConfig};
  }
  return std::nullopt;
}

// What is left: by the step, with the server's words; a 4xx reply is temporary.
Diagnosis ByStep(const CheckFailure& f) {
  if (!f.socket && !f.text.empty() && f.text[0] == '4') {
    return {"the server says to try later: " + f.text, "nothing, if it passes later",
            CheckTemporary};
  }
  if (f.step == "envelope" && f.message == msgMailFrom) {
    return {"the server refuses the sender " + f.sender + ": " + f.text,
            "set SenderEMail to an address this account may send as (often AuthUser's)",
            CheckNoPermission};
  }
  if (f.step == "envelope" && f.message == msgRcptTo) {
    return {"the server refuses the recipient " + f.recipient + ": " + f.text,
            "check RecipientEMail; a server that relays only for its own users wants "
            "authentication (AuthMethod)", CheckNoUser};
  }
  if (f.step == "authentication") {
    return {"the server refused the sign-in: " + f.text,
            "check AuthMethod, AuthUser and AuthPassword", CheckNoPermission};
  }
  if (f.step == "greeting" && !f.greeting.empty() && f.greeting.compare(0, 3, "220") != 0) {
    return {"the server refused the session: " + f.greeting,
            "ask the server's administrator to take mail from this address", CheckUnavailable};
  }
  return {f.text, "check Server, Port, SSL and StartTLS", f.step == "tls" ? CheckUnavailable
                                                                          : CheckProtocol};
}

}  // namespace

Diagnosis Diagnose(const CheckFailure& failure) {
  for (auto rule : {FromCertificate, FromTransport, FromAuthentication, FromReply}) {
    if (std::optional<Diagnosis> diagnosis = rule(failure)) return *diagnosis;
  }
  return ByStep(failure);
}

// The check's diagnoses that no server of the integration tests gives: a certificate
// not yet valid, a timeout, a refused session, 530 at MAIL FROM, enhanced codes that
// differ only in a later digit, and the closest known name to a typo.
#include "app/mailer/check_diagnosis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/mailer/check_settings.h"
#include "errors/message_table.h"
#include "platform/error_numbers.h"

namespace {

CheckFailure Failure(const std::string& step, std::uint32_t message, const std::string& text) {
  CheckFailure f;
  f.step = step;
  f.message = message;
  f.text = text;
  f.server = "smtp.example.com";
  f.port = 587;
  f.startTls = true;
  f.timeoutSeconds = 60;
  f.sender = "me@example.com";
  f.recipient = "you@example.com";
  return f;
}

TEST(Diagnose, EachFailureGetsItsRemedyAndStatus) {
  CheckFailure notYet = Failure("tls", msgConnectViaSSL, "the server's certificate is not trusted");
  notYet.certificate = TlsFacts{};
  notYet.certificate->certificate = true;
  notYet.certificate->namesServer = true;
  notYet.certificate->notYetValid = true;
  CheckFailure timeout = Failure("connect", WSAETIMEDOUT, "");
  timeout.socket = true;
  CheckFailure refusedSession = Failure("greeting", msgGreeting, "554 5.7.1 go away");
  refusedSession.greeting = "554 5.7.1 go away";
  struct Case {
    CheckFailure failure;
    std::string change;
    int exitStatus;
  };
  for (const Case& c : std::vector<Case>{
           {notYet, "set this machine's clock right", CheckUnavailable},
           {timeout, "a firewall may drop this port", CheckTemporary},
           {refusedSession, "ask the server's administrator", CheckUnavailable},
           {Failure("envelope", msgMailFrom, "530 5.7.0 Authentication required"),
            "set AuthMethod", CheckNoPermission},
           {Failure("authentication", msgLogin, "535 5.7.30 not the code of basic auth"),
            "check AuthMethod, AuthUser and AuthPassword", CheckNoPermission},
           {Failure("authentication", msgLogin, "535 5.7.139 disabled"),
            "SmtpClientAuthenticationDisabled", CheckNoPermission},
           {Failure("authentication", msgLogin, "535-5.7.8 bad\r\n535 5.7.8 credentials"),
            "check AuthUser and AuthPassword (or", CheckNoPermission},
           {Failure("envelope", msgRcptTo, "451 4.3.0 try later"), "nothing, if it passes later",
            CheckTemporary},
       }) {
    Diagnosis d = Diagnose(c.failure);
    EXPECT_NE(d.change.find(c.change), std::string::npos) << c.failure.text << ": " << d.change;
    EXPECT_EQ(d.exitStatus, c.exitStatus) << c.failure.text;
  }
}

TEST(ClosestSettingName, TyposFindTheirSettingAndOtherWordsNone) {
  const std::pair<std::string, std::string> cases[] = {
      {"Sever", "Server"},          {"startls", "StartTLS"}, {"AuthPasword", "AuthPassword"},
      {"TLSVerfy", "TLSVerify"},    {"RecipientEmail", "RecipientEMail"},
      {"Colour", ""},               {"x", ""},
  };
  for (const auto& [typo, known] : cases) EXPECT_EQ(ClosestSettingName(typo), known) << typo;
}

}  // namespace

// "e-mailer --check" end to end: against aiosmtpd and Postfix, against servers whose
// transport does not fit the settings (TLS first on a port set for plain, plain on a
// port set for SSL, STARTTLS missing, AUTH only after STARTTLS), against certificates
// for another name or out of their dates, and against a scripted server answering
// each reply code the check explains. Each prints its diagnosis with the right exit
// status, the JSON holds the same steps, and no message is ever sent.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/mailer_program.h"
#include "tests/support/postfix_server.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_server.h"

namespace {

using namespace std::chrono_literals;
using Values = std::vector<std::pair<std::string, std::string>>;

Values SettingsFor(std::uint16_t port, const Values& more) {
  Values values{{"Server", "localhost"},      {"Port", std::to_string(port)},
                {"AuthMethod", "2"},          {"AuthUser", "user"},
                {"AuthPassword", "secret"},   {"SenderEMail", "backup@example.com"},
                {"RecipientEMail", "admin@example.com"}, {"Timeout", "5"}};
  for (const auto& [name, value] : more) {
    bool replaced = false;
    for (auto& [known, old] : values) {
      if (known == name) old = value, replaced = true;
    }
    if (!replaced) values.emplace_back(name, value);
  }
  return values;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

MailerRun Check(const Values& values) { return RunMailer(SmtpSettings(values), {"--check"}); }

}  // namespace

// A setting that fits: every step passes, the envelope is tried and reset, nothing is
// sent; the JSON holds the same steps, and the password is never shown.
TEST(EMailerCheck, PassesAgainstAiosmtpdWithoutSendingAndReportsAsJson) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}});
  MailerRun run = Check(SettingsFor(server.Port(), {}));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  for (const char* line : {"ok   settings", "ok   server name", "ok   connect", "ok   greeting",
                           "ok   authentication", "ok   envelope", "AuthPassword: set",
                           "AuthMethod 2 chose AUTH LOGIN", "RSET"}) {
    EXPECT_TRUE(Contains(run.output, line)) << line << "\n" << run.output;
  }
  EXPECT_FALSE(Contains(run.output, "secret")) << run.output;
  EXPECT_TRUE(server.Messages().empty());
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"LOGIN user"});

  MailerRun json = RunMailer(SmtpSettings(SettingsFor(server.Port(), {})), {"--check", "--json"});
  EXPECT_EQ(json.exitCode, 0) << json.output;
  nlohmann::json report = nlohmann::json::parse(json.output);
  EXPECT_EQ(report["ok"], true);
  std::vector<std::string> steps;
  for (const auto& step : report["steps"]) steps.push_back(step["step"]);
  EXPECT_EQ(steps, (std::vector<std::string>{"settings", "server name", "connect", "greeting",
                                             "authentication", "envelope"}));
  EXPECT_TRUE(server.Messages().empty());
}

// Settings that keep a message from going stop at the first step (EX_CONFIG), and an
// unknown name is shown with the known one it is closest to.
TEST(EMailerCheck, SettingsOutOfRangeAndTyposAreNamed) {
  struct Case {
    Values more;
    std::string expected;
    int exitCode;
  };
  for (const Case& c : std::vector<Case>{
           {{{"Port", "70000"}}, "Port 70000 is not 1-65535", 78},
           {{{"StartTLS", "yes"}}, "StartTLS holds \"yes\", which is not a number", 78},
           {{{"AuthPassword", ""}}, "AuthMethod needs AuthPassword or AuthPasswordCommand", 78},
           {{{"RecipientEMail", ""}}, "RecipientEMail is not set", 78},
           {{{"Sever", "x"}, {"Port", "0"}}, "Sever: not a setting e-mailer knows (did you mean Server?)", 78},
       }) {
    MailerRun run = Check(SettingsFor(1, c.more));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, c.expected)) << run.output;
    EXPECT_TRUE(Contains(run.output, "FAIL settings")) << run.output;
  }
}

// The transport that does not fit the server, each with its remedy.
TEST(EMailerCheck, TransportThatDoesNotFitTheServerIsDiagnosed) {
  SmtpTestServer implicitTls({.mechanisms = {"LOGIN"}, .tls = true});
  SmtpTestServer plain({.mechanisms = {"LOGIN"}});
  SmtpTestServer startTls({.mechanisms = {"LOGIN"}, .startTls = true});
  struct Case {
    std::uint16_t port;
    Values more;
    std::string step;
    std::string change;
    int exitCode;
  };
  for (const Case& c : std::vector<Case>{
           {implicitTls.Port(), {{"Timeout", "1"}}, "FAIL greeting", "set SSL 1 and StartTLS 0", 78},
           {plain.Port(), {{"SSL", "1"}}, "FAIL tls", "set SSL 0 and StartTLS 1", 78},
           {plain.Port(), {{"StartTLS", "1"}, {"TLSVerify", "0"}}, "FAIL tls",
            "use port 465 with SSL 1", 78},
           {startTls.Port(), {}, "FAIL authentication", "what to change: set StartTLS 1", 78},
       }) {
    MailerRun run = Check(SettingsFor(c.port, c.more));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, c.step)) << run.output;
    EXPECT_TRUE(Contains(run.output, c.change)) << run.output;
  }
  EXPECT_TRUE(startTls.Logins().empty());
}

// Certificates for another name and out of their dates, made by the test's CA.
TEST(EMailerCheck, CertificateProblemsNameTheCertificate) {
  TestCertificateAuthority ca;
  const TestCertificate otherNameCertificate = ca.Issue("mail.other.test", "DNS:mail.other.test");
  const TestCertificate expiredCertificate = ca.Issue("localhost", "DNS:localhost", true);
  SmtpTestServer otherName({.mechanisms = {"LOGIN"}, .startTls = true, .certificate = otherNameCertificate});
  SmtpTestServer expired({.mechanisms = {"LOGIN"}, .startTls = true, .certificate = expiredCertificate});
  SmtpTestServer good({.mechanisms = {"LOGIN"}, .startTls = true,
                       .certificate = ca.Issue("localhost", "DNS:localhost")});
  const Values tls{{"StartTLS", "1"}, {"TLSCAFile", ca.Certificate().string()}};
  MailerRun run = Check(SettingsFor(otherName.Port(), tls));
  EXPECT_EQ(run.exitCode, 78) << run.output;
  EXPECT_TRUE(Contains(run.output, "is for mail.other.test, not for localhost")) << run.output;
  // What a user pins to take the certificate as it is.
  const std::string pin = "TLSFingerprint ";
  EXPECT_TRUE(Contains(run.output, pin + Sha256Fingerprint(otherNameCertificate.certificate))) << run.output;
  run = Check(SettingsFor(expired.Port(), tls));
  EXPECT_EQ(run.exitCode, 69) << run.output;
  EXPECT_TRUE(Contains(run.output, "expired on 2020-01-")) << run.output;
  EXPECT_TRUE(Contains(run.output, pin + Sha256Fingerprint(expiredCertificate.certificate))) << run.output;
  EXPECT_TRUE(Contains(run.output, "the clock here says")) << run.output;
  run = Check(SettingsFor(good.Port(), tls));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  for (const char* part : {"after STARTTLS", "names: localhost", "verification: verified",
                           "fingerprint (TLSFingerprint): "}) {
    EXPECT_TRUE(Contains(run.output, part)) << part << "\n" << run.output;
  }
  SmtpTestServer implicit({.mechanisms = {"LOGIN"}, .tls = true,
                           .certificate = ca.Issue("localhost", "DNS:localhost")});
  run = Check(SettingsFor(implicit.Port(), {{"SSL", "1"}, {"TLSCAFile", ca.Certificate().string()}}));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(Contains(run.output, "(implicit, with the connect)")) << run.output;
  EXPECT_TRUE(Contains(run.output, "verification: verified")) << run.output;
  EXPECT_TRUE(otherName.Logins().empty() && expired.Logins().empty());
}

// The replies whose enhanced codes name a cause, from a scripted server: at AUTH PLAIN
// (RFC 4616) or, once signed in, at MAIL FROM.
TEST(EMailerCheck, RepliesThatNameTheirCauseAreExplained) {
  struct Case {
    std::string reply;
    bool atMailFrom;
    std::string change;
    int exitCode;
  };
  for (const Case& c : std::vector<Case>{
           {"530 5.7.0 Must issue a STARTTLS command first\r\n", false, "set StartTLS 1", 78},
           {"534-5.7.9 Application-specific password required.\r\n534 5.7.9 Learn more\r\n",
            false, "app password", 77},
           {"535 5.7.139 Authentication unsuccessful, SmtpClientAuthentication is disabled\r\n",
            false, "SmtpClientAuthenticationDisabled", 77},
           {"535 5.7.3 Authentication unsuccessful\r\n", false, "check AuthUser and AuthPassword", 77},
           {"535 5.7.8 Username and Password not accepted\r\n", false,
            "check AuthUser and AuthPassword", 77},
           {"550 5.7.30 Basic authentication is not supported\r\n", false,
            "OAuthProvider microsoft", 77},
           {"454 4.7.0 Temporary authentication failure\r\n", false, "nothing, if it passes later", 75},
           {"553 5.7.1 Sender address rejected: not owned by user\r\n", true,
            "set SenderEMail to an address this account may send as", 77},
       }) {
    PeerScript script;
    script.Send("220 mail.test ESMTP\r\n").ReadLine().Send("250-mail.test\r\n250 AUTH PLAIN\r\n");
    script.ReadLine();
    if (c.atMailFrom) script.Send("235 2.7.0 ok\r\n").Expect("MAIL FROM:<backup@example.com>\r\n");
    script.Send(c.reply).Expect("QUIT\r\n").Send("221 bye\r\n").ExpectClosed();
    ScriptedPeer peer(script);
    MailerRun run = Check(SettingsFor(peer.Port(), {{"AuthMethod", "6"}}));
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, c.change)) << c.reply << run.output;
    EXPECT_FALSE(Contains(peer.Received(), "DATA")) << peer.Received();
  }
}

// A refused recipient: the envelope is reset and the connection ended, never DATA.
TEST(EMailerCheck, RefusedRecipientEndsWithRsetAndQuit) {
  PeerScript script;
  script.Send("220 mail.test ESMTP\r\n")
      .Expect("HELO " )
      .ReadLine()
      .Send("250 mail.test\r\n")
      .Expect("MAIL FROM:<backup@example.com>\r\n")
      .Send("250 ok\r\n")
      .Expect("RCPT TO:<admin@example.com>\r\n")
      .Send("550 5.1.1 User unknown\r\n")
      .Expect("RSET\r\n")
      .Send("250 ok\r\n")
      .Expect("QUIT\r\n")
      .Send("221 bye\r\n")
      .ExpectClosed();
  ScriptedPeer peer(script);
  MailerRun run = Check(SettingsFor(peer.Port(), {{"AuthMethod", "0"}}));
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_EQ(run.exitCode, 67) << run.output;
  EXPECT_TRUE(Contains(run.output, "FAIL envelope")) << run.output;
  EXPECT_TRUE(Contains(run.output, "greets with HELO")) << run.output;
}

// Postfix on its submission setting: STARTTLS, AUTH only after it.
TEST(EMailerCheck, PostfixWithStartTlsAndAuthAfterIt) {
  if (std::string why = PostfixServer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  TestCertificateAuthority ca;
  PostfixServer postfix(
      PostfixOptions{.certificate = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1")});
  Values account{{"AuthMethod", "5"},
                 {"RecipientEMail", "admin@mail.test"}};
  MailerRun run = Check(SettingsFor(postfix.Port(), account));
  EXPECT_EQ(run.exitCode, 78) << run.output;
  EXPECT_TRUE(Contains(run.output, "the server takes AUTH only after STARTTLS")) << run.output;
  account.insert(account.end(), {{"StartTLS", "1"}, {"TLSCAFile", ca.Certificate().string()}});
  run = Check(SettingsFor(postfix.Port(), account));
  EXPECT_EQ(run.exitCode, 0) << run.output << postfix.Log();
  EXPECT_TRUE(Contains(run.output, "ok   envelope")) << run.output;
}

// The sendmail face's queue, where there is one: its entries and the next try; the
// check neither sends nor flushes them.
TEST(EMailerCheck, ReportsTheQueueWithoutFlushingIt) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}});
  TempConfigHome home;
  home.WriteFile(home.SmtpKeyFile(), SmtpSettings(SettingsFor(server.Port(), {})));
  MailerRun run = RunMailer(home, {"--check"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_FALSE(Contains(run.output, "queue")) << run.output;
  ASSERT_EQ(RunSendmail(home, {"-odq", "-i", "admin@example.com"}, "Subject: queued\n\nx\n").exitCode,
            0);
  run = RunMailer(home, {"--check"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(Contains(run.output, ": 1 waiting")) << run.output;
  EXPECT_TRUE(Contains(run.output, "next try: now")) << run.output;
  EXPECT_TRUE(server.Messages().empty());
  EXPECT_TRUE(Contains(RunSendmail(home, {"-bp"}, "").output, "1 message in the queue")) << "still queued";
}

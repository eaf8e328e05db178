// The program's transport settings end to end: StartTLS with the certificate checked
// (TLSCAFile), a refused certificate that stops the run before the password goes, a
// TLSFingerprint pin for implicit TLS, a Port outside 1-65535, Timeout bounding a
// server that stops answering after 354, and the settings that fail the run rather than
// let the password go unchecked.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/mailer_program.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_server.h"

namespace {

using namespace std::chrono_literals;
using Values = std::vector<std::pair<std::string, std::string>>;

// A LOGIN session as user/secret with server on host, plus more.
Values SettingsFor(std::uint16_t port, const std::string& host, const Values& more) {
  Values values{{"Server", host},
                {"Port", std::to_string(port)},
                {"AuthMethod", "2"},
                {"AuthUser", "user"},
                {"AuthPassword", "secret"},
                {"SenderEMail", "backup@example.com"},
                {"RecipientEMail", "admin@example.com"}};
  values.insert(values.end(), more.begin(), more.end());
  return values;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(EMailerTransport, StartTlsSendsWithTheServerCertificateChecked) {
  TestCertificateAuthority ca;
  SmtpTestServer server({.mechanisms = {"LOGIN"},
                         .startTls = true,
                         .certificate = ca.Issue("localhost", "DNS:localhost")});
  MailerRun run = RunMailer(
      SmtpSettings(SettingsFor(server.Port(), "localhost",
                               {{"StartTLS", "1"}, {"TLSCAFile", ca.Certificate().string()}})),
      {"Backup done", "Sent through STARTTLS."});
  EXPECT_EQ(run.exitCode, 0) << run.output << server.Log();
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"LOGIN user"});
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_TRUE(Contains(server.Messages()[0].content, "Sent through STARTTLS."));
}

// StartTLS checks by default: a self-signed server is refused as a connect failure,
// with the reason and the remedy, and never hears the password.
TEST(EMailerTransport, UntrustedStartTlsServerFailsTheConnectBeforeTheLogin) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}, .startTls = true});
  MailerRun run = RunMailer(SmtpSettings(SettingsFor(server.Port(), "localhost",
                                                     {{"StartTLS", "1"}})),
                            {"Backup done"});
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(Contains(run.output, "Failed to connect via SSL")) << run.output;
  EXPECT_TRUE(Contains(run.output, "self-signed certificate")) << run.output;
  EXPECT_TRUE(Contains(run.output, "TLSFingerprint")) << run.output;
  EXPECT_TRUE(server.Logins().empty());
  EXPECT_TRUE(server.Messages().empty());
}

// SSL 1 alone checks nothing (as it always has); a pin makes it check.
TEST(EMailerTransport, FingerprintPinsTheImplicitTlsServer) {
  TempDir dir;
  TestCertificate certificate = MakeTestCertificate(dir);
  SmtpTestServer server({.mechanisms = {"LOGIN"}, .tls = true, .certificate = certificate});
  const std::string pin = Sha256Fingerprint(certificate.certificate);
  std::string wrong = pin;
  wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
  for (const auto& [fingerprint, exitCode] :
       {std::pair<std::string, int>{"", 0}, {pin, 0}, {wrong, 1}}) {
    MailerRun run = RunMailer(
        SmtpSettings(SettingsFor(server.Port(), "localhost",
                                 {{"SSL", "1"}, {"TLSFingerprint", fingerprint}})),
        {"Backup done"});
    EXPECT_EQ(run.exitCode, exitCode) << fingerprint << "\n" << run.output;
  }
  EXPECT_EQ(server.Messages().size(), 2u);
}

// Each way a TLS setting used to be passed over while the password went out now fails
// the connect (exit 1) with what to change: a CA file that cannot be loaded, SSL with
// StartTLS against an impostor, a trust setting without TLS, and a switch that is not a
// number. The impostors and the plain server take user/secret but see no login.
TEST(EMailerTransport, TlsSettingsNeverFailOpen) {
  TempDir dir;
  TestCertificate impostor = MakeTestCertificate(dir);
  SmtpTestServer implicit({.mechanisms = {"LOGIN"}, .tls = true, .certificate = impostor});
  SmtpTestServer starttls({.mechanisms = {"LOGIN"}, .startTls = true, .certificate = impostor});
  SmtpTestServer plain({.mechanisms = {"LOGIN"}});
  const std::string missing = (dir.Path() / "missing.pem").string();
  struct Case {
    const SmtpTestServer& server;
    Values settings;
    const char* text;
  };
  for (const Case& c : {
           Case{implicit, {{"SSL", "1"}, {"TLSCAFile", missing}}, "TLSCAFile"},
           Case{starttls, {{"StartTLS", "1"}, {"TLSVerify", "0"}, {"TLSCAFile", missing}},
                "TLSCAFile"},
           Case{implicit, {{"SSL", "1"}, {"StartTLS", "1"}}, "self-signed certificate"},
           Case{plain, {{"TLSVerify", "1"}}, "set StartTLS 1"},
           Case{plain, {{"TLSFingerprint", Sha256Fingerprint(impostor.certificate)}},
                "set StartTLS 1"},
           Case{plain, {{"StartTLS", "yes"}},
                "e-mailer: The setting StartTLS holds \"yes\", which is not a number\n"},
           Case{starttls, {{"StartTLS", "1"}, {"TLSVerify", "true"}},
                "e-mailer: The setting TLSVerify holds \"true\", which is not a number\n"},
           Case{plain, {{"Timeout", ""}},
                "e-mailer: The setting Timeout holds \"\", which is not a number\n"},
           Case{plain, {{"Pipelining", "off"}},
                "e-mailer: The setting Pipelining holds \"off\", which is not a number\n"}}) {
    MailerRun run = RunMailer(SmtpSettings(SettingsFor(c.server.Port(), "localhost", c.settings)),
                              {"Backup done"});
    EXPECT_EQ(run.exitCode, 1) << c.text << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, c.text)) << run.output;
  }
  for (const SmtpTestServer* server : {&implicit, &starttls, &plain}) {
    EXPECT_TRUE(server->Logins().empty());
    EXPECT_TRUE(server->Messages().empty());
  }
}

// 70000 would be port 4464 once cut to 16 bits; nothing is sent anywhere.
TEST(EMailerTransport, PortOutsideTheRangeFailsTheConnect) {
  ScriptedPeer peer{PeerScript().ExpectClosed(), 300ms};
  MailerRun run = RunMailer(
      SmtpSettings(SettingsFor(static_cast<std::uint16_t>(0), "127.0.0.1",
                               {{"Port", std::to_string(65536 + peer.Port())}})),
      {"Backup done"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output,
            "e-mailer: The parameter is incorrect.\n"
            "e-mailer: Failed to connect to SMTP server\n\n");
  EXPECT_EQ(peer.Finish(), "no connection arrived");
}

// A server that answers 354 and then neither reads nor answers: Timeout 1 bounds the
// wait, so the run fails the send (exit 2) and closes long before the peer's own bound,
// which the default of 60 seconds would pass.
TEST(EMailerTransport, TimeoutBoundsAServerThatStopsAfter354) {
  ScriptedPeer peer{PeerScript()
                        .Send("220 hi\r\n")
                        .ReadLine()
                        .Send("250 ok\r\n")
                        .ReadLine()
                        .Send("250 ok\r\n")
                        .ReadLine()
                        .Send("250 ok\r\n")
                        .ReadLine()
                        .Send("354 go ahead\r\n")
                        .ReadUntilClosed(),
                    20s};
  Values settings = SettingsFor(peer.Port(), "127.0.0.1", {{"Timeout", "1"}});
  settings[2].second = "0";  // HELO, no authentication
  MailerRun run = RunMailer(SmtpSettings(settings), {"Backup done"});
  EXPECT_EQ(run.exitCode, 2) << run.output;
  EXPECT_EQ(peer.Finish(), "");
}

// AuthMethod 6 puts the password on the AUTH line: to a server that offers AUTH only
// after STARTTLS, without StartTLS, nothing of it goes out, and the send, like the
// check, names the setting that makes it work.
TEST(EMailerTransport, AuthPlainBeforeStartTlsSendsNoCredentialAndNamesStartTls) {
  auto server = [] {
    return PeerScript()
        .Send("220 mail.test ESMTP\r\n")
        .Expect("EHLO " + std::string())
        .ReadLine()
        .Send("250-mail.test\r\n250-STARTTLS\r\n250 SIZE 1000000\r\n")
        .Expect("QUIT\r\n")
        .Send("221 bye\r\n")
        .ExpectClosed();
  };
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"Backup done"},
                                                     std::vector<std::string>{"--check"}}) {
    SCOPED_TRACE(arguments[0]);
    ScriptedPeer peer{server()};
    MailerRun run = RunMailer(SmtpSettings(SettingsFor(peer.Port(), "localhost", {{"AuthMethod", "6"}})), arguments);
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_NE(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "set StartTLS 1")) << run.output;
    EXPECT_FALSE(Contains(peer.Received(), "AUTH")) << peer.Received();
  }
}

// An address too long for its command fails before anything of the message is sent;
// besides the dialog's text, a line says how long it is and how long it may be.
TEST(EMailerTransport, AddressTooLongForItsCommandIsNamedWithItsLength) {
  const std::string recipient = std::string(600, 'a') + "@example.com";
  ScriptedPeer peer{PeerScript()
                        .Send("220 mail.test ESMTP\r\n")
                        .ReadLine()
                        .Send("250 mail.test\r\n")
                        .Expect("QUIT\r\n")
                        .Send("221 bye\r\n")
                        .ExpectClosed()};
  MailerRun run = RunMailer(SmtpSettings(SettingsFor(peer.Port(), "localhost",
                                                     {{"AuthMethod", "0"}, {"RecipientEMail", recipient}})),
                            {"Backup done"});
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_EQ(run.exitCode, 2) << run.output;
  EXPECT_TRUE(Contains(run.output, "the recipient address aaaa")) << run.output;
  EXPECT_TRUE(Contains(run.output, "has 612 octets; its command takes at most 500")) << run.output;
  EXPECT_TRUE(Contains(run.output, "Failed to send the SMTP message\nThe parameter is incorrect")) << run.output;
}

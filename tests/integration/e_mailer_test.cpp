// The program itself, end to end: the e-mailer binary runs with a settings file of its
// own (a temporary XDG_CONFIG_HOME) and no display, against aiosmtpd on 127.0.0.1; the
// tests read its exit status, its output, and what the server stored.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/mailer_program.h"
#include "tests/support/parse_message.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_server.h"

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

// Settings for a plain session with the test server: HELO, one sender, one recipient.
Settings SettingsFor(const SmtpTestServer& server) {
  return {{"Server", "127.0.0.1"},
          {"Port", std::to_string(server.Port())},
          {"SenderName", "Backup job"},
          {"SenderEMail", "backup@example.com"},
          {"RecipientName", "Admin"},
          {"RecipientEMail", "admin@example.com"}};
}

void Set(Settings& settings, const std::string& name, const std::string& value) {
  for (auto& [n, v] : settings) {
    if (n == name) {
      v = value;
      return;
    }
  }
  settings.emplace_back(name, value);
}

// The program with these settings and parameters.
MailerRun RunWith(const Settings& settings, const std::vector<std::string>& parameters) {
  return RunMailer(SmtpSettings(settings), parameters);
}

// A port of 127.0.0.1 that refuses connections: bound, so no one else takes it, but
// not listening.
class RefusingPort {
 public:
  RefusingPort() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  ~RefusingPort() { close(fd); }

  int fd;
  std::uint16_t port = 0;
};

// The header lines of a stored message (CR LF removed) and its body after the empty
// line.
std::pair<std::vector<std::string>, std::string> SplitMessage(const std::string& content) {
  std::size_t end = content.find("\r\n\r\n");
  std::vector<std::string> lines;
  for (std::size_t from = 0, p; end != std::string::npos && from < end + 2; from = p + 2) {
    p = content.find("\r\n", from);
    lines.push_back(content.substr(from, p - from));
  }
  return {lines, end == std::string::npos ? "" : content.substr(end + 4)};
}

// Whether text has the shape: in it "9" stands for a digit, "A" for an upper-case and
// "a" for a lower-case letter, "+" for a sign; every other character for itself.
bool HasShape(const std::string& text, const std::string& shape) {
  auto fits = [](unsigned char c, char s) {
    switch (s) {
      case '9': return std::isdigit(c) != 0;
      case 'A': return std::isupper(c) != 0;
      case 'a': return std::islower(c) != 0;
      case '+': return c == '+' || c == '-';
      default: return c == static_cast<unsigned char>(s);
    }
  };
  return text.size() == shape.size() &&
         std::equal(text.begin(), text.end(), shape.begin(), [&](char c, char s) {
           return fits(static_cast<unsigned char>(c), s);
         });
}

MailerRun Succeeded() { return {0, ""}; }

}  // namespace

TEST(EMailer, TwoParametersSendTheMessageSilently) {
  SmtpTestServer server;
  EXPECT_EQ(RunWith(SettingsFor(server), {"Backup done", "Finished at 02:14.\n.snapshots kept"}),
            Succeeded());
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u) << server.Log();
  EXPECT_EQ(messages[0].envelope,
            "MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\n");
  auto [header, body] = SplitMessage(messages[0].content);
  ASSERT_EQ(header.size(), 8u) << messages[0].content;
  EXPECT_EQ(header[0], "From: Backup job <backup@example.com>");
  EXPECT_EQ(header[1], "To: Admin <admin@example.com>");
  EXPECT_EQ(header[2], "Subject: Backup done");
  EXPECT_EQ(header[3], "X-Mailer: CTAVSMTPConnection v2.67");
  EXPECT_EQ(header[4], "Content-Type: text/plain;");
  EXPECT_EQ(header[5], "\tcharset=UTF-8");
  EXPECT_TRUE(HasShape(header[6], "Date: Aaa, 99 Aaa 9999 99:99:99 +9999")) << header[6];
  // A fresh id at the sender's domain.
  EXPECT_TRUE(header[7].starts_with("Message-ID: <") && header[7].ends_with("@example.com>")) << header[7];
  EXPECT_EQ(header[7].size(), std::string("Message-ID: <@example.com>").size() + 44) << header[7];
  // The body's LF went out as CR LF; the server has undone the dot stuffing.
  EXPECT_EQ(body, "Finished at 02:14.\r\n.snapshots kept\r\n");
}

TEST(EMailer, ShowUiReportsTheSuccess) {
  SmtpTestServer server;
  EXPECT_EQ(RunWith(SettingsFor(server), {"Backup done", "-SHOWUI", "All good."}),
            (MailerRun{0, "e-mailer: Message sent OK\n"}));
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].content.find("\r\nSubject: Backup done\r\n"), std::string::npos);
  EXPECT_EQ(SplitMessage(messages[0].content).second, "All good.\r\n");
}

TEST(EMailer, RejectedRecipientFailsTheSendWithTheRcptReply) {
  SmtpTestServer server({.rejectedRecipients = {"nobody@example.com"}});
  Settings settings = SettingsFor(server);
  Set(settings, "RecipientEMail", "nobody@example.com");
  EXPECT_EQ(RunWith(settings, {"Backup done", "Body", "showui"}),
            (MailerRun{2,
                       "e-mailer: Failed to send the SMTP message\n"
                       "550 5.1.1 <nobody@example.com>: Recipient address rejected: "
                       "User unknown\n"}));
  EXPECT_TRUE(server.Messages().empty());
}

// The error's own text comes first (the message box), then the dialog's text, whose
// second line is empty: no reply was read.
TEST(EMailer, RefusedConnectionShowsTheSocketErrorThenTheConnectFailure) {
  RefusingPort refusing;
  EXPECT_EQ(RunWith({{"Server", "127.0.0.1"}, {"Port", std::to_string(refusing.port)}},
                    {"Backup done", "Body"}),
            (MailerRun{1,
                       "e-mailer: The connection was refused by the remote host.\n"
                       "e-mailer: Failed to connect to SMTP server\n\n"}));
}

// "587abc" is port 587: the leading digits count. The test server's port stands in for
// 587, which a test may not take.
TEST(EMailer, PortOfDigitsFollowedByLettersIsTheDigits) {
  SmtpTestServer server;
  Settings settings = SettingsFor(server);
  Set(settings, "Port", std::to_string(server.Port()) + "abc");
  EXPECT_EQ(RunWith(settings, {"Backup done"}), Succeeded());
  EXPECT_EQ(server.Messages().size(), 1u);
}

TEST(EMailer, SslOneSendsOverImplicitTls) {
  SmtpTestServer server({.tls = true});
  Settings settings = SettingsFor(server);
  Set(settings, "Server", "localhost");
  Set(settings, "SSL", "1");
  EXPECT_EQ(RunWith(settings, {"Backup done", "Over TLS."}), Succeeded());
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u) << server.Log();
  EXPECT_EQ(SplitMessage(messages[0].content).second, "Over TLS.\r\n");
}

// The TLS library starts with the OpenSSL configuration (here OPENSSL_CONF's, as the
// system's would be), for implicit TLS and for STARTTLS alike: one that allows only a
// TLS 1.3 suite the server does not offer ends the run at the handshake.
TEST(EMailer, TlsFollowsTheOpenSslConfiguration) {
  TempDir dir;
  const auto conf = dir.Write("openssl.cnf",
                              "openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\n"
                              "system_default = tls\n[tls]\nMinProtocol = TLSv1.3\n"
                              "Ciphersuites = TLS_AES_128_CCM_8_SHA256\n");
  for (bool startTls : {false, true}) {
    SCOPED_TRACE(startTls ? "STARTTLS" : "implicit TLS");
    SmtpTestServer server({.tls = !startTls, .startTls = startTls});
    Settings settings = SettingsFor(server);
    Set(settings, "Server", "localhost");
    Set(settings, startTls ? "StartTLS" : "SSL", "1");
    Set(settings, "TLSVerify", "0");  // the configuration alone decides
    setenv("OPENSSL_CONF", conf.c_str(), 1);
    const MailerRun run = RunWith(settings, {"Backup done"});
    unsetenv("OPENSSL_CONF");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("Failed to connect via SSL"), std::string::npos) << run.output;
    EXPECT_TRUE(server.Messages().empty());
  }
}

TEST(EMailer, Utf8SubjectUnderAUtf8LocaleArrivesAsAnEncodedWord) {
  SmtpTestServer server;
  const std::string subject = "Grüße aus Köln", body = "Schöne Grüße";
  EXPECT_EQ(RunWith(SettingsFor(server), {subject, body}), Succeeded());
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(SplitMessage(messages[0].content).first[2].rfind("Subject: =?UTF-8?q?", 0), 0u)
      << messages[0].content;
  TempDir dir;
  const auto parsed = ParseMessageFile(dir.Write("1.eml", messages[0].content).string());
  EXPECT_NE(std::find(parsed.begin(), parsed.end(), "subject " + Hex(subject)), parsed.end());
  EXPECT_NE(std::find(parsed.begin(), parsed.end(), "part text/plain - " + Hex(body + "\n")),
            parsed.end());
}

// Command output as the body (a line of 1,500 octets, 8-bit text), a long Cyrillic
// subject and a sender name with a comma: the server, which refuses lines over 1,000
// octets, takes the message, and two readers read back what was given.
TEST(EMailer, LongLinesEightBitTextAndACommaInTheNameArriveAsGiven) {
  SmtpTestServer server;
  Settings settings = SettingsFor(server);
  Set(settings, "SenderName", "Smith, John");
  std::string subject, body = "df output:\n" + std::string(1500, '#') + "\nGrüße \n";
  for (int i = 0; i < 170; ++i) subject += "Ж";
  EXPECT_EQ(RunWith(settings, {subject, body}), Succeeded());
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u) << server.Log();
  TempDir dir;
  const auto parsed = ParseMessageFileWithBothReaders(dir.Write("1.eml", messages[0].content).string());
  ASSERT_EQ(parsed.size(), 6u);
  EXPECT_EQ(parsed[1], "subject " + Hex(subject));
  EXPECT_EQ(parsed[2], "from " + Hex("Smith, John") + " " + Hex("backup@example.com"));
  EXPECT_EQ(parsed[4], "part text/plain - " + Hex(body + "\n"));
  EXPECT_EQ(parsed[5], "defects 0");
}

// The server took the message but closed the connection instead of answering QUIT: the
// run shows nothing, not even with showui, and says so by its exit status alone.
TEST(EMailer, QuitWithoutAnswerExitsThreeWithTheMessageStored) {
  SmtpTestServer server({.dropOnQuit = true});
  EXPECT_EQ(RunWith(SettingsFor(server), {"Backup done", "Body", "showui"}),
            (MailerRun{3, ""}));
  EXPECT_EQ(server.Messages().size(), 1u);
}

namespace {

struct AuthCase {
  const char* method;  // the AuthMethod setting
  const char* user;
  std::vector<std::string> logins;  // what the server recorded
};

void PrintTo(const AuthCase& c, std::ostream* os) { *os << "AuthMethod " << c.method; }

class EachAuthMethod : public testing::TestWithParam<AuthCase> {};

}  // namespace

// The server offers every mechanism; 5 picks NTLM, the first of its order.
TEST_P(EachAuthMethod, SendsAfterAuthenticatingWithTheMechanism) {
  SmtpTestServer server({.mechanisms = {"LOGIN", "PLAIN", "CRAM-MD5", "NTLM"},
                         .ntlmUsers = "DOM:user:secret\n"});
  Settings settings = SettingsFor(server);
  Set(settings, "AuthMethod", GetParam().method);
  Set(settings, "AuthUser", GetParam().user);
  Set(settings, "AuthPassword", "secret");
  EXPECT_EQ(RunWith(settings, {"Backup done", "Body"}), Succeeded()) << server.Log();
  EXPECT_EQ(server.Logins(), GetParam().logins);
  EXPECT_EQ(server.Messages().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    EMailer, EachAuthMethod,
    testing::Values(AuthCase{"0", "user", {}}, AuthCase{"1", "user", {"CRAM-MD5 user"}},
                    AuthCase{"2", "user", {"LOGIN user"}}, AuthCase{"3", "user", {"PLAIN user"}},
                    AuthCase{"4", "DOM\\user", {"NTLM DOM\\user"}},
                    AuthCase{"5", "DOM\\user", {"NTLM DOM\\user"}}));

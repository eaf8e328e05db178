// The program under the name "sendmail", end to end: a message on standard input, its
// settings in a config folder of its own, against aiosmtpd and Postfix on 127.0.0.1;
// what the servers stored is read back with Python's email package and Email::MIME.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/mailer_program.h"
#include "tests/support/parse_message.h"
#include "tests/support/postfix_server.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_server.h"
#include "tests/support/tls_server.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// The settings of a plain session with the server, more values added after these.
std::unique_ptr<TempConfigHome> HomeFor(std::uint16_t port, const Values& more = {}) {
  Values values{{"Server", "127.0.0.1"},
                {"Port", std::to_string(port)},
                {"SenderName", "Backup job"},
                {"SenderEMail", "backup@example.com"}};
  values.insert(values.end(), more.begin(), more.end());
  auto home = std::make_unique<TempConfigHome>();
  home->WriteFile(home->SmtpKeyFile(), SmtpSettings(values));
  return home;
}

// What both readers see in a message text.
std::vector<std::string> Read(const TempConfigHome& home, const std::string& content) {
  const std::string path = home.base + "/received.eml";
  home.WriteFile(path, content);
  return ParseMessageFileWithBothReaders(path);
}

bool Holds(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(Sendmail, AMessageOnStandardInputIsDelivered) {
  SmtpTestServer server;
  auto home = HomeFor(server.Port());
  MailerRun run = RunSendmail(*home, {"-i", "admin@example.com"}, "Subject: t\n\nhello\n.\n");
  ASSERT_EQ(run, (MailerRun{0, ""}));
  auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\n");
  std::vector<std::string> lines = Read(*home, messages[0].content);
  EXPECT_EQ(lines[0], "headers from,subject,date,message-id,to");
  EXPECT_TRUE(Holds(lines, "from " + Hex("Backup job") + " " + Hex("backup@example.com")));
  EXPECT_TRUE(Holds(lines, "part text/plain - " + Hex("hello\n.\n")));
  EXPECT_TRUE(messages[0].content.find("\r\nTo: undisclosed-recipients:;\r\n") != std::string::npos);
  EXPECT_TRUE(server.Transcript().front().starts_with("EHLO ")) << server.Transcript().front();
}

TEST(Sendmail, DeliveryStatusNotificationOptionsReachTheEnvelope) {
  SmtpTestServer server({.dsn = true});
  // The face greets with EHLO, which the parameters need, though it authenticates
  // nothing (AuthMethod 0).
  auto home = HomeFor(server.Port());
  ASSERT_EQ(RunSendmail(*home, {"-N", "success,failure", "-R", "hdrs", "-V", "ENV1", "-fme@example.org",
                                "--", "a@example.com"},
                        "Subject: t\n\nx\n"),
            (MailerRun{0, ""}));
  auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].envelope,
            "MAIL FROM:<me@example.org> RET=HDRS ENVID=ENV1\nRCPT TO:<a@example.com> NOTIFY=SUCCESS,FAILURE\n");
}

// PHP's mail() and git send-email: -t takes To, Cc and Bcc; Bcc is gone from the text;
// the From line of the message stays, and is the envelope sender without SenderEMail.
TEST(Sendmail, RecipientsFromTheHeaderAndBccGone) {
  SmtpTestServer server;
  auto home = std::make_unique<TempConfigHome>();
  home->WriteFile(home->SmtpKeyFile(),
                  SmtpSettings({{"Server", "127.0.0.1"}, {"Port", std::to_string(server.Port())}}));
  const std::string message =
      "From: Web Site <web@example.org>\r\nTo: a@example.com,\r\n \"Doe, J\" <b@example.com>\r\n"
      "Cc: c@example.com\r\nBCC: hidden@example.com\r\nSubject: =?UTF-8?Q?caf=C3=A9?=\r\n\r\n"
      "caf\xc3\xa9\r\n";
  ASSERT_EQ(RunSendmail(*home, {"-t", "-i", "extra@example.com"}, message), (MailerRun{0, ""}));
  auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].envelope,
            "MAIL FROM:<web@example.org>\nRCPT TO:<extra@example.com>\nRCPT TO:<a@example.com>\n"
            "RCPT TO:<b@example.com>\nRCPT TO:<c@example.com>\nRCPT TO:<hidden@example.com>\n");
  EXPECT_EQ(messages[0].content.find("hidden"), std::string::npos);
  std::vector<std::string> lines = Read(*home, messages[0].content);
  EXPECT_TRUE(Holds(lines, "from " + Hex("Web Site") + " " + Hex("web@example.org")));
  EXPECT_TRUE(Holds(lines, "to " + Hex("Doe, J") + " " + Hex("b@example.com")));
  EXPECT_TRUE(Holds(lines, "subject " + Hex("caf\xc3\xa9")));
  EXPECT_TRUE(Holds(lines, "part text/plain - " + Hex("caf\xc3\xa9\n")));
}

// Cron's command line and message: "root" found in the aliases file, the From line of
// a local name replaced, a Latin-1 body sent quoted-printable under LANG's charset.
TEST(Sendmail, CronsMessageToALocalName) {
  SmtpTestServer server;
  TempConfigHome probe;
  auto home = HomeFor(server.Port(), {{"Aliases", probe.base + "/aliases"}});
  home->WriteFile(probe.base + "/aliases", "# local names\nroot: ops, admin@example.com\nops: ops@example.com\n");
  const std::string body = "disk 99% full \xe9t\xe9\nlast line without end";
  MailerRun run = RunSendmail(*home, {"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"},
                              "From: root (Cron Daemon)\nTo: root\nSubject: Cron <root@host> df\n\n" + body,
                              "de_DE.ISO-8859-1");
  ASSERT_EQ(run, (MailerRun{0, ""}));
  auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].envelope,
            "MAIL FROM:<backup@example.com>\nRCPT TO:<ops@example.com>\nRCPT TO:<admin@example.com>\n");
  EXPECT_NE(messages[0].content.find("Content-Type: text/plain; charset=ISO-8859-1\r\n"), std::string::npos);
  // The readers differ on a To line of a local name: Python's email package alone.
  home->WriteFile(home->base + "/received.eml", messages[0].content);
  std::vector<std::string> lines = ParseMessageFile(home->base + "/received.eml");
  EXPECT_TRUE(Holds(lines, "from " + Hex("CronDaemon") + " " + Hex("backup@example.com")));
  EXPECT_TRUE(Holds(lines, "part text/plain - " + Hex(Latin1ToUtf8(body) + "\n")));
}

// A plain body larger than what is looked at before sending streams through
// quoted-printable and reads back byte for byte.
TEST(Sendmail, ALongBodyStreamsAndReadsBackTheSame) {
  SmtpTestServer server;
  auto home = HomeFor(server.Port());
  std::string body;
  for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) body += "line " + std::to_string(i) + " of the report.\n";
  ASSERT_EQ(RunSendmail(*home, {"admin@example.com"}, "Subject: big\n\n" + body), (MailerRun{0, ""}));
  auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(Holds(Read(*home, messages[0].content), "part text/plain - " + Hex(body)));
}

struct BadInputCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string input;
  int status;
  std::string line;
};

TEST(Sendmail, BadInputGetsItsStatusAndOneLineAndSendsNothing) {
  SmtpTestServer server({.rejectedRecipients = {"gone@example.com"}});
  auto home = HomeFor(server.Port());
  const std::string refused =
      "sendmail: the recipient gone@example.com was refused, and the message sent to no one: "
      "Unexpected RCPT TO response, Last Response: 550 5.1.1 <gone@example.com>: Recipient "
      "address rejected: User unknown\n";
  const BadInputCase cases[] = {
      {"no recipients", {"-i"}, "Subject: t\n\nx\n", 64, "sendmail: no recipients: give addresses or -t\n"},
      {"unknown option", {"-Z", "a@example.com"}, "", 64, "sendmail: option -Z is not supported\n"},
      {"a queue run at intervals", {"-q1h"}, "", 64, "sendmail: option -q is not supported\n"},
      {"no colon", {"a@example.com"}, "Subject: t\nno colon here\n\nx\n", 65,
       "sendmail: line 2 of the header is not a header field (it has no colon)\n"},
      {"2 MiB header", {"a@example.com"}, "Subject: t\nX-Big: " + std::string(2 << 20, 'a') + "\n\nx\n", 65,
       "sendmail: the header is longer than 1 MiB\n"},
      {"MIME line too long", {"a@example.com"},
       "MIME-Version: 1.0\nSubject: t\n\nok\n" + std::string(1200, 'x') + "\n", 65,
       "sendmail: line 5 of the message holds a NUL or is longer than 998 octets, and a MIME "
       "message is sent as it is\n"},
      {"local name", {"-i", "nobody-here"}, "Subject: t\n\nx\n", 67,
       "sendmail: the local name nobody-here has no address: set RecipientEMail in the settings, "
       "or an alias in the aliases file (setting Aliases)\n"},
      {"refused recipient", {"-i", "a@example.com", "gone@example.com", "b@example.com"}, "Subject: t\n\nx\n", 67,
       refused},
      {"bad address", {"-i", "a@example.com", "b <c@d"}, "Subject: t\n\nx\n", 64,
       "sendmail: not a valid address: <c@d\n"},
      // The server offers no SMTPUTF8 in its answer to EHLO.
      {"local part not ASCII", {"-i", "a@example.com", "j\xc3\xbcrgen@example.com"}, "Subject: t\n\nx\n", 65,
       "sendmail: the message was not sent: Address cannot be sent to this server, Details: "
       "j\xc3\xbcrgen@example.com: its local part is not ASCII, which needs SMTPUTF8, and the server "
       "does not offer SMTPUTF8\n"},
  };
  for (const BadInputCase& c : cases) {
    EXPECT_EQ(RunSendmail(*home, c.arguments, c.input), (MailerRun{c.status, c.line})) << c.name;
  }
  EXPECT_TRUE(server.Messages().empty());
}

// The envelope's domain that is not ASCII goes out as its A-label; the caller's header
// goes as it is.
TEST(Sendmail, EnvelopeDomainGoesOutAsItsALabel) {
  SmtpTestServer server;
  auto home = HomeFor(server.Port());
  const std::string to = "To: intl@b\xc3\xbc" "cher.test\n";
  ASSERT_EQ(RunSendmail(*home, {"-i", "-t"}, to + "Subject: t\n\nx\n"), (MailerRun{0, ""}));
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<intl@xn--bcher-kva.test>\n");
  EXPECT_TRUE(messages[0].content.starts_with("From: Backup job <backup@example.com>\r\n" + to.substr(0, to.size() - 1) + "\r\n"))
      << messages[0].content;
}

TEST(Sendmail, StandardInputThatFailsOrAServerThatIsNotThere) {
  auto home = HomeFor(FreePort());
  // A folder as standard input: the read fails.
  MailerRun run = RunSendmail(*home, {"-V", "x"}, "");  // makes the link
  std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" a@example.com < /", home->base + "/sendmail"};
  std::string output;
  EXPECT_EQ(RunCommand(argv, &output), 74);
  EXPECT_EQ(output, "sendmail: standard input could not be read\n");
  // Nothing listens at the port, and the queue is off: a temporary failure.
  home->WriteFile(home->SmtpKeyFile(), SmtpSettings({{"Server", "127.0.0.1"},
                                                     {"Port", std::to_string(FreePort())},
                                                     {"SenderEMail", "backup@example.com"},
                                                     {"Queue", "0"}}));
  run = RunSendmail(*home, {"a@example.com"}, "Subject: t\n\nx\n");
  EXPECT_EQ(run.exitCode, 75) << run.output;
  EXPECT_TRUE(run.output.starts_with("sendmail: cannot connect to 127.0.0.1 port ")) << run.output;
  // Settings without a server: the failure names the file.
  home->WriteFile(home->SmtpKeyFile(), SmtpSettings({{"SenderEMail", "a@example.com"}}));
  EXPECT_EQ(RunSendmail(*home, {"a@example.com"}, "Subject: t\n\nx\n"),
            (MailerRun{78, "sendmail: no SMTP server: set Server in " + home->SmtpKeyFile() + "\n"}));
}

// Debian's packages call newaliases after they add an alias: it and -bi succeed and
// say why there is nothing to do.
TEST(Sendmail, NewaliasesAndBiSucceed) {
  auto home = HomeFor(FreePort());
  const MailerRun said{0, "the aliases file (setting Aliases, default /etc/aliases) is read on every run: "
                          "nothing to rebuild\n"};
  EXPECT_EQ(RunSendmail(*home, {"-bi"}, ""), said);
  const std::string newaliases = home->base + "/newaliases";
  std::filesystem::create_symlink(std::filesystem::read_symlink(home->base + "/sendmail"), newaliases);
  MailerRun run{};
  run.exitCode = RunCommand({newaliases}, &run.output);
  EXPECT_EQ(run, said);
}

// An aliases file that cannot be read stops the run before anything is sent; an empty
// one, /dev/null among them, is an empty table.
TEST(Sendmail, AnAliasesFileThatCannotBeReadStopsTheRun) {
  SmtpTestServer server;
  const std::string missing = "/nonexistent/aliases";
  const struct {
    std::string file;
    MailerRun expected;
  } cases[] = {
      {missing, {78, "sendmail: the aliases file " + missing + " cannot be read (setting Aliases)\n"}},
      {"/", {78, "sendmail: the aliases file / cannot be read (setting Aliases)\n"}},
      {"/dev/null", {0, ""}},
  };
  for (const auto& c : cases) {
    auto home = HomeFor(server.Port(), {{"Aliases", c.file}});
    EXPECT_EQ(RunSendmail(*home, {"-i", "a@example.com"}, "Subject: t\n\nx\n"), c.expected) << c.file;
  }
  EXPECT_EQ(server.Messages().size(), 1u);
}

TEST(Sendmail, VerboseShowsTheDialogueButNotTheAuthenticationData) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}});
  auto home = HomeFor(server.Port(), {{"AuthMethod", "2"}, {"AuthUser", "user"}, {"AuthPassword", "secret"}});
  MailerRun run = RunSendmail(*home, {"-v", "-i", "admin@example.com"}, "Subject: t\n\nx\n");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  for (const char* line : {"> AUTH LOGIN\n", "< 334 <hidden>\n", "> <hidden>\n", "< 235 ", "> RCPT TO:<admin@example.com>\n",
                           "> <message text>\n"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << run.output;
  }
  for (const char* secret : {"secret", "c2VjcmV0", "dXNlcg"}) {
    EXPECT_EQ(run.output.find(secret), std::string::npos) << secret;
  }
}

// Through Postfix with STARTTLS and authentication: a MIME message passed as it is and
// a plain one with 8-bit text, each read back from the mailbox.
TEST(Sendmail, DeliversThroughPostfix) {
  if (std::string why = PostfixServer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  TestCertificateAuthority ca;
  PostfixServer postfix(PostfixOptions{.certificate = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1")});
  auto home = HomeFor(postfix.Port(), {{"StartTLS", "1"},
                                       {"TLSCAFile", ca.Certificate().string()},
                                       {"AuthMethod", "5"},
                                       {"AuthUser", "user"},
                                       {"AuthPassword", "secret"}});
  const std::string mime =
      "MIME-Version: 1.0\nTo: admin@mail.test\nBcc: admin@mail.test\nSubject: mime\n"
      "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain; charset=UTF-8\n\n"
      ".dot first\n--b--\n";
  ASSERT_EQ(RunSendmail(*home, {"-t", "-i"}, mime), (MailerRun{0, ""}));
  ASSERT_EQ(RunSendmail(*home, {"admin@mail.test"}, "Subject: plain\n\nna\xc3\xafve\n"), (MailerRun{0, ""}));
  auto files = postfix.Delivered("admin", 2);
  ASSERT_EQ(files.size(), 2u);
  std::vector<std::string> first = ParseMessageFileWithBothReaders(files[0].string());
  std::vector<std::string> second = ParseMessageFileWithBothReaders(files[1].string());
  if (Holds(first, "subject " + Hex("plain"))) std::swap(first, second);
  EXPECT_TRUE(Holds(first, "part text/plain - " + Hex(".dot first"))) << postfix.Log();
  EXPECT_EQ(home->ReadFile(files[0].string()).find("Bcc"), std::string::npos);
  EXPECT_TRUE(Holds(second, "part text/plain - " + Hex("na\xc3\xafve\n")));
}

}  // namespace

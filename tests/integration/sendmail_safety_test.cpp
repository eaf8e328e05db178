// The sendmail face against hostile and awkward input, end to end against aiosmtpd:
// nothing a caller gives (environment, options, operands, message) reaches the wire as
// a command or the header as a line of its own; no message is lost to an alias that
// leads nowhere; a failure that can never pass is not queued; and what -q -v shows.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/mailer_program.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_server.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// The entries in the queue of home.
std::size_t QueuedEntries(const TempConfigHome& home) {
  std::error_code ignored;
  std::size_t count = 0;
  for (const auto& item : std::filesystem::directory_iterator(home.base + "/state/e-mailer/queue", ignored)) {
    count += item.path().extension() == ".entry" ? 1 : 0;
  }
  return count;
}

bool IsEnvelopeCommand(const std::string& line) {
  for (const char* command : {"EHLO ", "HELO ", "MAIL FROM:", "RCPT TO:"}) {
    if (line.starts_with(command)) return true;
  }
  return line == "DATA" || line == "QUIT";
}

struct HostileCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string input;
  std::string lang;
  int status;
};

// Each input holds what would end the data and start a command, or a header line of
// its own: the run either refuses it (64) or sends it as harmless text.
TEST(SendmailSafety, HostileValuesReachNoCommandAndNoHeaderLine) {
  SmtpTestServer server;
  auto home = PlainSessionHome(server.Port());
  const std::string inject = "\r\nX-Injected: yes\n.\r\nRSET";
  const std::string latin1 = "Subject: t\n\ncaf\xe9 cr\xe8me\n";
  const HostileCase cases[] = {
      {"LANG", {"-i", "a@example.com"}, latin1, "en_US.ISO-8859-1" + inject, 0},
      {"LANG with a bare CR", {"-i", "a@example.com"}, latin1, "en_US.ISO-8859-1\r.\rRSET", 0},
      {"-F", {"-i", "-F", "Ann" + inject, "a@example.com"}, "Subject: t\n\nx\n", "", 0},
      {"-f", {"-i", "-f", "b@example.org" + inject, "a@example.com"}, "Subject: t\n\nx\n", "", 64},
      {"-N", {"-i", "-N", "success" + inject, "a@example.com"}, "Subject: t\n\nx\n", "", 64},
      {"-V", {"-i", "-V", "ID" + inject, "a@example.com"}, "Subject: t\n\nx\n", "", 64},
      {"recipient", {"-i", "a@example.com" + inject}, "Subject: t\n\nx\n", "", 64},
      {"header", {"-t"}, "To: a@example.com\r\n.\r\nRSET\r\n\r\nx\n", "", 0},
      {"body", {"-i", "a@example.com"}, "Subject: t\n\nx\r.\r\nRSET\n.\n", "", 0},
  };
  for (const HostileCase& c : cases) {
    EXPECT_EQ(RunSendmail(*home, c.arguments, c.input, c.lang).exitCode, c.status) << c.name;
  }
  for (const std::string& line : server.Transcript()) EXPECT_TRUE(IsEnvelopeCommand(line)) << line;
  const std::vector<ReceivedMessage> messages = server.Messages();
  ASSERT_EQ(messages.size(), 5u);
  for (const ReceivedMessage& message : messages) {
    EXPECT_EQ(message.content.find("\nX-Injected"), std::string::npos) << message.content;
  }
  // LANG names no charset there: the 8-bit text goes out as what it is, unknown-8bit.
  for (int i : {0, 1}) {
    EXPECT_NE(messages[i].content.find("Content-Type: text/plain; charset=unknown-8bit\r\n"), std::string::npos)
        << messages[i].content;
  }
  EXPECT_NE(messages[4].content.find("\r\n\r\nx\r\n.\r\nRSET\r\n.\r\n"), std::string::npos) << messages[4].content;
}

// "root: /var/mail/root", a leftover of another mail system: root has no address, so
// the message goes to RecipientEMail or fails naming root; it is never sent or queued
// with no recipient.
TEST(SendmailSafety, AnAliasOfFilesAndProgramsGoesToRecipientEMailOrFails) {
  SmtpTestServer server;
  TempConfigHome files;
  const std::string aliases = files.base + "/aliases";
  files.WriteFile(aliases, "root: /var/mail/root, |/usr/bin/procmail\npostmaster: root\nlist: :include:/etc/list\n");
  auto home = PlainSessionHome(server.Port(), {{"Aliases", aliases}});
  for (const char* name : {"postmaster", "list"}) {
    EXPECT_EQ(RunSendmail(*home, {"-i", name}, "Subject: t\n\nx\n"),
              (MailerRun{67, std::string("sendmail: the local name ") + (name[0] == 'p' ? "root" : name) +
                                 " has no address: set RecipientEMail in the settings, or an alias in the "
                                 "aliases file (setting Aliases)\n"}));
  }
  auto down = PlainSessionHome(FreePort(), {{"Aliases", aliases}});
  EXPECT_EQ(RunSendmail(*down, {"-i", "root"}, "Subject: t\n\nx\n").exitCode, 67);
  EXPECT_EQ(QueuedEntries(*down), 0u);
  EXPECT_TRUE(server.Messages().empty());

  home = PlainSessionHome(server.Port(), {{"Aliases", aliases}, {"RecipientEMail", "admin@example.com"}});
  ASSERT_EQ(RunSendmail(*home, {"-i", "root"}, "Subject: t\n\nx\n"), (MailerRun{0, ""}));
  // An empty aliases file is an empty table, not a file that cannot be read.
  files.WriteFile(aliases, "");
  ASSERT_EQ(RunSendmail(*home, {"-i", "root"}, "Subject: t\n\nx\n"), (MailerRun{0, ""}));
  const std::vector<ReceivedMessage> messages = server.Messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const ReceivedMessage& message : messages) {
    EXPECT_EQ(message.envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\n");
  }
}

struct PermanentCase {
  const char* name;
  Values settings;
  int status;
  std::string text;
};

// A wrong OAuth provider, a sign-in that is gone, a token store that cannot be read and
// an SSL that is no number fail at once: no try later could pass, so nothing is queued.
TEST(SendmailSafety, PermanentFailuresAreNeverQueued) {
  const Values oauth{{"AuthMethod", "7"}, {"AuthUser", "me@example.com"}, {"OAuthClientID", "app"}};
  auto with = [&](Values more) {
    more.insert(more.begin(), oauth.begin(), oauth.end());
    return more;
  };
  const PermanentCase cases[] = {
      {"wrong provider", with({{"OAuthProvider", "nowhere"}}), 78, "is not microsoft, google or custom"},
      {"no sign-in", with({{"OAuthProvider", "google"}}), 77, "e-mailer --authorize"},
      {"store not a record", with({{"OAuthProvider", "google"}}), 78, "oauth-tokens.json"},
      {"SSL a word", {{"SSL", "yes"}, {"AuthMethod", "1"}, {"AuthPassword", "secret"}}, 78,
       "The setting SSL holds \"yes\", which does not start with a number"},
  };
  SmtpTestServer server;
  for (const PermanentCase& c : cases) {
    auto home = PlainSessionHome(server.Port(), c.settings);
    if (std::string(c.name) == "store not a record") {
      home->WriteFile(home->base + "/state/e-mailer/oauth-tokens.json", "{not json");
    }
    MailerRun run = RunSendmail(*home, {"-i", "a@example.com"}, "Subject: t\n\nx\n");
    EXPECT_EQ(run.exitCode, c.status) << c.name << ": " << run.output;
    EXPECT_NE(run.output.find(c.text), std::string::npos) << c.name << ": " << run.output;
    EXPECT_EQ(QueuedEntries(*home), 0u) << c.name;
  }
  EXPECT_TRUE(server.Transcript().empty());
}

// A quoted local part is one address, blanks and all, in the envelope and in -t.
TEST(SendmailSafety, AQuotedLocalPartKeepsItsBlanks) {
  SmtpTestServer server;
  auto home = PlainSessionHome(server.Port());
  ASSERT_EQ(RunSendmail(*home, {"-i", "\"john smith\"@example.org"}, "Subject: t\n\nx\n"), (MailerRun{0, ""}));
  ASSERT_EQ(RunSendmail(*home, {"-i", "-t"}, "To: John <\"john  smith\"@example.org>\nSubject: t\n\nx\n"),
            (MailerRun{0, ""}));
  const std::vector<ReceivedMessage> messages = server.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<\"john smith\"@example.org>\n");
  EXPECT_EQ(messages[1].envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<\"john  smith\"@example.org>\n");
}

// -q -v shows the dialogue of a flush as that of a message sent at once: the text
// itself stays out of it.
TEST(SendmailSafety, VerboseFlushHidesTheMessageText) {
  SmtpTestServer server;
  auto home = PlainSessionHome(server.Port());
  ASSERT_EQ(RunSendmail(*home, {"-odq", "-i", "a@example.com"}, "Subject: private\n\nbody line\n").exitCode, 0);
  MailerRun run = RunSendmail(*home, {"-q", "-v"}, "");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("> <message text>\n> .\n< 250 "), std::string::npos) << run.output;
  for (const char* text : {"private", "body line"}) EXPECT_EQ(run.output.find(text), std::string::npos) << run.output;
  EXPECT_EQ(server.Messages().size(), 1u);
}

}  // namespace

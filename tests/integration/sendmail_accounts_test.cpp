// The sendmail face with accounts, end to end: a settings file with the default and two
// accounts, each sending through an aiosmtpd of its own that takes only its own user and
// password. The account is chosen by -a, by the sender the caller gave (-f, or the From
// line) or is the default; queued messages keep their account and a flush sends each
// through its own server only; names with hostile characters fail clearly and reach no
// server. One account's relay is Postfix.
#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/mailer_program.h"
#include "tests/support/postfix_server.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_server.h"
#include "tests/support/tls_server.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

enum Relay { Default, Work, Gmail };

// A relay that refuses mail before AUTH PLAIN with its own user and password.
SmtpServerOptions RelayOptions(const std::string& user, const std::string& password) {
  return {.mechanisms = {"BUILTIN-PLAIN"}, .authRequired = true, .user = user, .password = password};
}

class AccountsWorld {
 public:
  // Writes the settings with the relays at these ports; without gmail, the file has no
  // such account.
  void PointAt(std::uint16_t defaultPort, std::uint16_t workPort, std::uint16_t gmailPort, bool gmail = true) {
    std::string text = SmtpSettings({{"Server", "127.0.0.1"},
                                     {"Port", std::to_string(defaultPort)},
                                     {"AuthMethod", "6"},
                                     {"AuthUser", "ann"},
                                     {"AuthPassword", "default-secret"},
                                     {"SenderEMail", "ann@example.org"},
                                     {"LogFile", home.base + "/mail.log"}}) +
                       SmtpAccountSettings("work", {{"Port", std::to_string(workPort)},
                                           {"AuthUser", "a.smith"},
                                           {"AuthPassword", "work-secret"},
                                           {"SenderEMail", "ann.smith@work.example"},
                                           {"SenderMatch", "*@work.example, boss@example.org"}});
    if (gmail) {
      text += SmtpAccountSettings("gmail", {{"Port", std::to_string(gmailPort)},
                                   {"AuthUser", "ann.private@gmail.com"},
                                   {"AuthPassword", "gmail-secret"},
                                   {"SenderEMail", "ann.private@gmail.com"},
                                   {"SenderMatch", "ann.private@gmail.com"}});
    }
    // An account whose name holds a quote, blanks and an escape, chosen by its sender.
    text += SmtpAccountSettings("o'k \"x\" \x1b[2J", {{"Port", std::to_string(workPort)},
                                               {"AuthUser", "a.smith"},
                                               {"AuthPassword", "work-secret"},
                                               {"SenderMatch", "odd@example.net"}});
    home.WriteFile(home.SmtpKeyFile(), text);
  }

  MailerRun Send(const std::vector<std::string>& arguments, const std::string& input) {
    return RunSendmail(home, arguments, input);
  }

  TempConfigHome home;
};

// "Subject: " lines of the messages a relay received, in order.
std::vector<std::string> Subjects(const SmtpTestServer& server) {
  std::vector<std::string> subjects;
  for (const ReceivedMessage& message : server.Messages()) {
    const std::size_t start = message.content.find("Subject: ") + 9;
    subjects.push_back(message.content.substr(start, message.content.find('\r', start) - start));
  }
  return subjects;
}

class SendmailAccounts : public ::testing::Test {
 protected:
  SendmailAccounts() { world.PointAt(relays[Default].Port(), relays[Work].Port(), relays[Gmail].Port()); }

  SmtpTestServer relays[3] = {SmtpTestServer(RelayOptions("ann", "default-secret")),
                              SmtpTestServer(RelayOptions("a.smith", "work-secret")),
                              SmtpTestServer(RelayOptions("ann.private@gmail.com", "gmail-secret"))};
  AccountsWorld world;
};

TEST_F(SendmailAccounts, TheNameOrTheSenderChoosesTheRelay) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string header;
    Relay relay;
    std::string mailFrom;
  };
  const Case cases[] = {
      {"-f matches work", {"-f", "me@Work.Example", "b@example.com"}, "", Work, "me@Work.Example"},
      {"-t, From matches gmail",
       {"-t"},
       "From: Ann <Ann.Private@Gmail.com>\nTo: b@example.com\n",
       Gmail,
       "ann.private@gmail.com"},
      {"From matches without -t", {"b@example.com"}, "From: boss@example.org\n", Work, "ann.smith@work.example"},
      {"-a before the sender", {"-a", "gmail", "-f", "me@work.example", "b@example.com"}, "", Gmail,
       "me@work.example"},
      {"--account in any case", {"--account=WORK", "b@example.com"}, "", Work, "ann.smith@work.example"},
      {"--account NAME", {"--account", "work", "b@example.com"}, "From: x@gmail.com\n", Work,
       "ann.smith@work.example"},
      {"no match: the default", {"-f", "me@other.example", "b@example.com"}, "", Default, "me@other.example"},
      {"no sender given: the default", {"b@example.com"}, "", Default, "ann@example.org"},
  };
  std::size_t before[3] = {0, 0, 0};
  for (const Case& c : cases) {
    std::vector<std::string> arguments{"-i"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(world.Send(arguments, c.header + "Subject: " + c.name + "\n\nx\n"), (MailerRun{0, ""})) << c.name;
    for (int relay : {Default, Work, Gmail}) {
      const std::vector<ReceivedMessage> messages = relays[relay].Messages();
      ASSERT_EQ(messages.size(), before[relay] + (relay == c.relay ? 1 : 0)) << c.name << ", relay " << relay;
      before[relay] = messages.size();
      if (relay == c.relay) {
        EXPECT_TRUE(messages.back().envelope.starts_with("MAIL FROM:<" + c.mailFrom + ">\n"))
            << c.name << ": " << messages.back().envelope;
      }
    }
  }
  EXPECT_EQ(relays[Gmail].Logins(), std::vector<std::string>(2, "PLAIN ann.private@gmail.com"));
  const std::string log = world.home.ReadFile(world.home.base + "/mail.log");
  EXPECT_NE(log.find(" account=work server=127.0.0.1:" + std::to_string(relays[Work].Port()) +
                     " tls=off auth=on user=a.smith "),
            std::string::npos)
      << log;
}

// Queued while every relay is away, the entries keep their account; one flush sends each
// through its own relay once, over one connection per relay. An entry whose account is
// gone waits, saying why, and goes through no other relay.
TEST_F(SendmailAccounts, AFlushSendsEachAccountsEntriesThroughItsOwnRelayOnly) {
  world.PointAt(FreePort(), FreePort(), FreePort());
  const std::pair<std::vector<std::string>, std::string> messages[] = {
      {{"-f", "me@work.example", "b@example.com"}, "work one"},
      {{"b@example.com"}, "default one"},
      {{"-a", "gmail", "b@example.com"}, "gmail one"},
      {{"-f", "boss@example.org", "b@example.com"}, "work two"},
  };
  for (const auto& [arguments, subject] : messages) {
    std::vector<std::string> all{"-i"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    MailerRun run = world.Send(all, "Subject: " + subject + "\n\nx\n");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_NE(run.output.find("queued as "), std::string::npos) << run.output;
  }
  const MailerRun listing = world.Send({"-bp"}, "");
  std::size_t works = 0;
  for (std::size_t at = 0; (at = listing.output.find("\n    account: work\n", at)) != std::string::npos; ++at) ++works;
  EXPECT_EQ(works, 2u) << listing.output;
  EXPECT_NE(listing.output.find("\n    account: gmail\n"), std::string::npos) << listing.output;

  world.PointAt(relays[Default].Port(), relays[Work].Port(), relays[Gmail].Port());
  EXPECT_EQ(world.Send({"-q"}, ""), (MailerRun{0, ""}));
  EXPECT_EQ(Subjects(relays[Work]), (std::vector<std::string>{"work one", "work two"}));
  EXPECT_EQ(Subjects(relays[Default]), (std::vector<std::string>{"default one"}));
  EXPECT_EQ(Subjects(relays[Gmail]), (std::vector<std::string>{"gmail one"}));
  for (const SmtpTestServer& relay : relays) EXPECT_EQ(relay.Logins().size(), 1u);
  EXPECT_EQ(world.Send({"-bp"}, ""), (MailerRun{0, "Mail queue is empty\n"}));

  ASSERT_EQ(world.Send({"-odq", "-i", "-a", "gmail", "b@example.com"}, "Subject: gmail two\n\nx\n").exitCode, 0);
  world.PointAt(relays[Default].Port(), relays[Work].Port(), relays[Gmail].Port(), false);
  const MailerRun flush = world.Send({"-q"}, "");
  EXPECT_EQ(flush.exitCode, 78);
  EXPECT_NE(flush.output.find("the account gmail of queued messages is not in the settings (the accounts there "
                              "are: work, "),
            std::string::npos)
      << flush.output;
  EXPECT_NE(world.Send({"-bp"}, "").output.find("    last reason: the account gmail of queued messages is not "),
            std::string::npos);
  for (const SmtpTestServer& relay : relays) EXPECT_EQ(relay.Messages().size(), 1u + (&relay == &relays[Work]));
  const std::string log = world.home.ReadFile(world.home.base + "/mail.log");
  EXPECT_NE(log.find(" account=gmail server='' tls='' auth=off outcome=queued reason='the account gmail "),
            std::string::npos)
      << log;
}

// An account's name that the command line gives or the settings hold, and a sender
// that a pattern matches, with control characters, line ends, quotes or path
// separators: a clear line, escaped, and nothing reaches a relay.
TEST_F(SendmailAccounts, HostileNamesFailClearlyAndReachNoRelay) {
  const std::string known = "the accounts there are: work, gmail, o'k \"x\" \\x1B[2J\n";
  struct Case {
    std::vector<std::string> arguments;
    MailerRun expected;
  };
  const Case cases[] = {
      {{"-a", "wo\r\nrk"}, {78, "sendmail: no account 'wo\\x0D\\x0Ark' in the settings; " + known}},
      {{"-a", "work\\..\\gmail"}, {78, "sendmail: no account 'work\\\\..\\\\gmail' in the settings; " + known}},
      {{"--account=../work"}, {78, "sendmail: no account ../work in the settings; " + known}},
      {{"-a", "work\" -f x"}, {78, "sendmail: no account 'work\" -f x' in the settings; " + known}},
      {{"-a", ""}, {64, "sendmail: -a needs the name of an account\n"}},
      {{"--account"}, {64, "sendmail: option --account needs a value\n"}},
      {{"-f", "x\r\nRCPT TO:<evil@example.net>@work.example"},
       {64, "sendmail: not a valid address: 'x\\x0D\\x0ARCPT TO:<evil@example.net>@work.example'\n"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments{"b@example.com"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(world.Send(arguments, "Subject: t\n\nx\n"), c.expected) << c.arguments[0];
  }
  for (const SmtpTestServer& relay : relays) EXPECT_TRUE(relay.Transcript().empty());

  // The odd name, chosen by its sender, is queued, listed and logged escaped.
  world.PointAt(FreePort(), FreePort(), FreePort());
  ASSERT_EQ(world.Send({"-i", "-f", "odd@example.net", "b@example.com"}, "Subject: t\n\nx\n").exitCode, 0);
  EXPECT_NE(world.Send({"-bp"}, "").output.find("\n    account: o'k \"x\"  [2J\n"), std::string::npos);
  const std::string log = world.home.ReadFile(world.home.base + "/mail.log");
  EXPECT_NE(log.find(" account='o\\'k \"x\" \\x1B[2J' "), std::string::npos) << log;
  world.PointAt(relays[Default].Port(), relays[Work].Port(), relays[Gmail].Port());
  EXPECT_EQ(world.Send({"-q"}, ""), (MailerRun{0, ""}));
  EXPECT_EQ(relays[Work].Messages().size(), 1u);
}

// The work account's relay is Postfix, with STARTTLS and a user of its own; the
// default's relay gets nothing.
TEST(SendmailAccountsPostfix, AnAccountSendsThroughItsPostfix) {
  if (std::string why = PostfixServer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  TestCertificateAuthority ca;
  PostfixServer postfix(PostfixOptions{.certificate = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1")});
  SmtpTestServer relay(RelayOptions("ann", "default-secret"));
  TempConfigHome home;
  home.WriteFile(home.SmtpKeyFile(), SmtpSettings({{"Server", "127.0.0.1"},
                                                   {"Port", std::to_string(relay.Port())},
                                                   {"AuthMethod", "6"},
                                                   {"AuthUser", "ann"},
                                                   {"AuthPassword", "default-secret"},
                                                   {"SenderEMail", "ann@example.org"}}) +
                                         SmtpAccountSettings("work", {{"Port", std::to_string(postfix.Port())},
                                                             {"StartTLS", "1"},
                                                             {"TLSCAFile", ca.Certificate().string()},
                                                             {"AuthMethod", "5"},
                                                             {"AuthUser", "user"},
                                                             {"AuthPassword", "secret"},
                                                             {"SenderMatch", "*@work.example"}}));
  EXPECT_EQ(RunSendmail(home, {"-i", "-f", "me@work.example", "admin@mail.test"}, "Subject: t\n\nx\n"),
            (MailerRun{0, ""}));
  EXPECT_EQ(postfix.Delivered("admin", 1).size(), 1u) << postfix.Log();
  EXPECT_TRUE(relay.Transcript().empty());
}

}  // namespace

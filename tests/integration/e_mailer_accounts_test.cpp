// The program's accounts end to end: one settings file with the default account and
// accounts under Accounts\NAME, each account on an aiosmtpd server of its own that takes
// only its own credentials. "--account NAME" sends through the account, which takes what
// it leaves out from the default but never the default's password for another server
// or user; a name that is no account ends the run with one line; "--check" goes through
// every account.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/mailer_program.h"
#include "tests/support/smtp_server.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

SmtpServerOptions Taking(const std::string& user, const std::string& password) {
  return {.mechanisms = {"LOGIN"}, .user = user, .password = password};
}

// Every AUTH a server got: "LOGIN user" for one it took, "refused LOGIN user password"
// for one it refused, with the password as it was sent.
std::vector<std::string> Attempts(const SmtpTestServer& server) {
  std::vector<std::string> attempts = server.Logins();
  for (const std::string& refused : server.RefusedLogins()) attempts.push_back("refused " + refused);
  return attempts;
}

// The default account on main (with a SenderMatch, which only an account has), and the
// accounts:
//   Relay     on relay, the same Server and AuthUser but another Port, and so the
//             default's password as its own (another Port never inherits it);
//   mail      on mail, Server "localhost" with a user and password of its own (and
//             Aliases, which only the default account has);
//   stranger  on mail, Server "localhost" and no password: the default's is not its own;
//   intruder  on relay, the same Server but another AuthUser: no password either;
//   porter    on relay, the same Server and AuthUser, another Port and no password:
//             the default's does not go to another port (issue 46).
struct AccountsWorld {
  AccountsWorld() {
    const Values defaults{{"Server", "127.0.0.1"},         {"Port", std::to_string(main.Port())},
                          {"AuthMethod", "2"},             {"AuthUser", "boss"},
                          {"AuthPassword", "pw-default"},  {"SenderName", "Backup job"},
                          {"SenderEMail", "backup@example.com"}, {"RecipientEMail", "admin@example.com"},
                          {"Timeout", "10"},               {"SenderMatch", "*@example.com"}};
    home.WriteFile(home.SmtpKeyFile(),
                   SmtpSettings(defaults) +
                       SmtpAccountSettings("Relay", {{"Port", std::to_string(relay.Port())},
                                                     {"AuthPassword", "pw-default"}}) +
                       SmtpAccountSettings("mail", {{"Server", "localhost"},
                                                    {"Port", std::to_string(mail.Port())},
                                                    {"AuthUser", "mailer"},
                                                    {"AuthPassword", "pw-mail"},
                                                    {"SenderEMail", "mail@example.com"},
                                                    {"Aliases", "/nonexistent"}}) +
                       SmtpAccountSettings("stranger", {{"Server", "localhost"},
                                                        {"Port", std::to_string(mail.Port())}}) +
                       SmtpAccountSettings("intruder", {{"Port", std::to_string(relay.Port())},
                                                        {"AuthUser", "intruder"}}) +
                       SmtpAccountSettings("porter", {{"Port", std::to_string(relay.Port())}}));
  }

  MailerRun Run(const std::vector<std::string>& arguments) const { return RunMailer(home, arguments); }

  SmtpTestServer main{Taking("boss", "pw-default")};
  SmtpTestServer relay{Taking("boss", "pw-default")};
  SmtpTestServer mail{Taking("mailer", "pw-mail")};
  TempConfigHome home;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// Each run goes to its account's server with the credentials it may use; what an account
// leaves out (AuthMethod, the sender's name, the recipient) is the default's.
TEST(Accounts, EachAccountSendsWithItsOwnCredentialsAndNeverTheDefaultsPasswordElsewhere) {
  AccountsWorld world;
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    const SmtpTestServer* server;
    std::string attempt;  // what the server's Attempts gain from the run
    std::string from;     // of the delivered message; "" when none is delivered
  } cases[] = {
      {{"Default", "Body"}, 0, &world.main, "LOGIN boss", "backup@example.com"},
      {{"--account", "Relay", "Relayed", "Body"}, 0, &world.relay, "LOGIN boss", "backup@example.com"},
      {{"--account", "MAIL", "Own", "Body", "showui"}, 0, &world.mail, "LOGIN mailer", "mail@example.com"},
      {{"--account", "stranger", "Refused", "Body"}, 1, &world.mail, "refused LOGIN boss ", ""},
      {{"--account", "intruder", "Refused", "Body"}, 1, &world.relay, "refused LOGIN intruder ", ""},
      {{"--account", "porter", "Refused", "Body"}, 1, &world.relay, "refused LOGIN boss ", ""},
  };
  for (const Case& c : cases) {
    const SmtpTestServer* servers[] = {&world.main, &world.relay, &world.mail};
    std::vector<std::size_t> before;
    for (const SmtpTestServer* server : servers) before.push_back(server->Messages().size());
    std::vector<std::string> attempts = Attempts(*c.server);

    MailerRun run = world.Run(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments[1] << ": " << run.output;
    attempts.push_back(c.attempt);
    std::vector<std::string> now = Attempts(*c.server);
    std::sort(attempts.begin(), attempts.end());
    std::sort(now.begin(), now.end());
    EXPECT_EQ(now, attempts) << c.arguments[1];
    for (std::size_t i = 0; i < std::size(servers); ++i) {
      const std::vector<ReceivedMessage> messages = servers[i]->Messages();
      const bool delivered = servers[i] == c.server && !c.from.empty();
      ASSERT_EQ(messages.size(), before[i] + (delivered ? 1 : 0)) << c.arguments[1];
      if (!delivered) continue;
      EXPECT_EQ(messages.back().envelope.rfind("MAIL FROM:<" + c.from + "> ", 0), 0u) << messages.back().envelope;
      EXPECT_TRUE(Contains(messages.back().content, "From: Backup job <" + c.from + ">\r\n"))
          << messages.back().content;
    }
  }
}

// A name that is no account, or none at all, ends the run before any server is asked,
// with one line that shows the name as printable text and the accounts there are.
TEST(Accounts, UnknownOrHostileNamesAreRefusedWithOneLine) {
  AccountsWorld world;
  const std::string known = "the accounts there are: Relay, mail, stranger, intruder, porter";
  struct Case {
    std::vector<std::string> arguments;
    std::string line;
  } cases[] = {
      {{"--account", "nope", "S", "B"}, "no account \"nope\" in the settings; " + known},
      {{"--check", "--account", "two\nlines"}, "no account \"two\\x0Alines\" in the settings; " + known},
      {{"--account", "cr\r\n", "--check"}, "no account \"cr\\x0D\\x0A\" in the settings; " + known},
      {{"--account", "\x1b]0;title\x07", "S"}, "no account \"\\x1B]0;title\\x07\" in the settings; " + known},
      {{"--account", "../../etc/passwd", "--authorize"},
       "no account \"../../etc/passwd\" in the settings; " + known},
      {{"--account", "mail/../Relay", "S"}, "no account \"mail/../Relay\" in the settings; " + known},
      {{"--account"}, "--account needs the name of an account"},
      {{"--account", "", "S", "B"}, "--account needs the name of an account"},
      {{"--account", "mail", "--flush"}, "--account goes with a message, --check or --authorize, not with --flush"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(world.Run(c.arguments), (MailerRun{64, "e-mailer: " + c.line + "\n"}));
  }
  for (const SmtpTestServer* server : {&world.main, &world.relay, &world.mail}) {
    EXPECT_TRUE(server->Transcript().empty());
  }
}

// "--check" goes through the default and every account, each under its heading, and
// exits with the first failure's status; "--check --account NAME" checks one; the JSON
// holds one object per account. An account without the default's secrets is told why.
TEST(Accounts, CheckGoesThroughEveryAccountOrTheOneNamed) {
  AccountsWorld world;
  MailerRun all = world.Run({"--check"});
  EXPECT_EQ(all.exitCode, 78) << all.output;
  std::size_t at = 0;
  for (const char* part : {"--- the default account ---\n", "SenderMatch: read only in an account",
                           "--- account Relay ---\n", "--- account mail ---\n",
                           "Aliases: not read in an account", "--- account stranger ---\n",
                           "problem: AuthMethod needs AuthPassword or AuthPasswordCommand (an account "
                           "that sends elsewhere or otherwise than the default account, another Server, "
                           "Port, AuthUser or weaker TLS, has only its own)\n",
                           "--- account intruder ---\n", "--- account porter ---\n",
                           "\nOf 6 accounts 3 would send a message: exit status 78.\n"}) {
    at = all.output.find(part, at);
    EXPECT_NE(at, std::string::npos) << part << "\n" << all.output;
  }

  for (const auto& arguments : {std::vector<std::string>{"--check", "--account", "mail"},
                                std::vector<std::string>{"--account", "mail", "--check"}}) {
    MailerRun one = world.Run(arguments);
    EXPECT_EQ(one.exitCode, 0) << one.output;
    EXPECT_EQ(one.output.rfind("--- account mail ---\nok   settings ", 0), 0u) << one.output;
    EXPECT_TRUE(Contains(one.output, "AuthMethod 2 chose AUTH LOGIN")) << one.output;
    EXPECT_FALSE(Contains(one.output, "--- the default account")) << one.output;
  }

  MailerRun json = world.Run({"--check", "--json"});
  EXPECT_EQ(json.exitCode, 78) << json.output;
  nlohmann::json report = nlohmann::json::parse(json.output);
  EXPECT_EQ(report["ok"], false);
  EXPECT_EQ(report["exitStatus"], 78);
  std::vector<std::pair<std::string, int>> accounts;
  for (const auto& account : report["accounts"]) accounts.emplace_back(account["account"], account["exitStatus"]);
  EXPECT_EQ(accounts, (std::vector<std::pair<std::string, int>>{
                          {"", 0}, {"Relay", 0}, {"mail", 0}, {"stranger", 78}, {"intruder", 78}, {"porter", 78}}));
  nlohmann::json one = nlohmann::json::parse(world.Run({"--check", "--json", "--account", "MAIL"}).output);
  EXPECT_EQ(one["account"], "mail");
  EXPECT_EQ(one["exitStatus"], 0);
  EXPECT_TRUE(one["steps"].is_array());

  for (const SmtpTestServer* server : {&world.main, &world.relay, &world.mail}) {
    EXPECT_TRUE(server->Messages().empty());
  }
}

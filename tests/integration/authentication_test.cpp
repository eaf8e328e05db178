// The program's authentication settings end to end: AuthMethod 6 against aiosmtpd's own
// RFC 4616 PLAIN, AuthMethod 7 against its OAuth mechanisms, and AuthPasswordCommand;
// the program's exit code and what it writes.
#include <sys/resource.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/mailer_program.h"
#include "tests/support/smtp_server.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

MailerRun Send(const SmtpTestServer& server, const Values& authentication) {
  Values values{{"Server", "127.0.0.1"},
                {"Port", std::to_string(server.Port())},
                {"AuthUser", "user"},
                {"SenderEMail", "backup@example.com"},
                {"RecipientEMail", "admin@example.com"}};
  values.insert(values.end(), authentication.begin(), authentication.end());
  return RunMailer(SmtpSettings(values), {"Backup done", "Body"});
}

const std::string failedToConnect = "e-mailer: Failed to connect to SMTP server\n";

}  // namespace

// A password that a keyring tool prints with CR LF (its line end is not part of it),
// in place of AuthPassword, for RFC 4616 PLAIN.
TEST(AuthenticationSettings, SaslPlainWithThePasswordFromACommand) {
  SmtpTestServer server({.mechanisms = {"BUILTIN-PLAIN"}});
  EXPECT_EQ(Send(server, {{"AuthMethod", "6"},
                          {"AuthPassword", "not this one"},
                          {"AuthPasswordCommand", "printf 'secret\\r\\n'"}}),
            (MailerRun{0, ""}))
      << server.Log();
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"PLAIN user"});
  EXPECT_EQ(server.Messages().size(), 1u);
}

// The program holds the password where no core dump can show it: the command it runs
// for it inherits a core size limit of 0, whatever limit the program was started with.
TEST(AuthenticationSettings, ThePasswordIsHeldWithNoCoreDump) {
  rlimit core{RLIM_INFINITY, RLIM_INFINITY};
  if (setrlimit(RLIMIT_CORE, &core) != 0) {
    getrlimit(RLIMIT_CORE, &core);
    core.rlim_cur = core.rlim_max;
    setrlimit(RLIMIT_CORE, &core);
  }
  SmtpTestServer server({.mechanisms = {"BUILTIN-PLAIN"}});
  EXPECT_EQ(Send(server, {{"AuthMethod", "6"},
                          {"AuthPasswordCommand", "test \"$(ulimit -c)\" = 0 && echo secret"}}),
            (MailerRun{0, ""}))
      << server.Log();
}

TEST(AuthenticationSettings, OAuthWithATokenFromACommand) {
  SmtpTestServer server({.mechanisms = {"XOAUTH2"}, .password = "ya29.token"});
  EXPECT_EQ(Send(server, {{"AuthMethod", "7"}, {"AuthPasswordCommand", "echo ya29.token"}}),
            (MailerRun{0, ""}))
      << server.Log();
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"XOAUTH2 user"});
  EXPECT_EQ(server.Messages().size(), 1u);
}

// The user reads why: the server's JSON reason and its final reply.
TEST(AuthenticationSettings, ARefusedTokenShowsTheServersReason) {
  SmtpTestServer server({.mechanisms = {"OAUTHBEARER"}, .password = "ya29.token"});
  EXPECT_EQ(Send(server, {{"AuthMethod", "7"}, {"AuthPassword", "ya29.expired"}}),
            (MailerRun{1,
                       "e-mailer: The server refused the OAuth 2.0 token, Details: "
                       "{\"status\":\"invalid_token\",\"scope\":\"https://mail.test/\"}\n"
                       "535 5.7.8 Authentication credentials invalid\n" +
                           failedToConnect + "221 Bye\n"}));
  EXPECT_TRUE(server.Messages().empty());
}

// A command that gives no password ends the run before anything is sent: its own
// standard error comes through, then the error names the setting and why, but never
// shows the command or what it printed.
TEST(AuthenticationSettings, ACommandThatGivesNoPasswordEndsTheRunBeforeAnythingIsSent) {
  SmtpTestServer server({.mechanisms = {"BUILTIN-PLAIN"}});
  struct Case {
    std::string command;
    std::string output;
  };
  // Issue 46: the text names the setting, never the command, whose arguments may hold a
  // token.
  const std::string prefix = "e-mailer: Failed to get the password from AuthPasswordCommand: the command ";
  const Case cases[] = {
      {"printf 'hunt%sr2\\n' e; echo 'keyring is locked' >&2; exit 1",
       "keyring is locked\n" + prefix + "exited with status 1\n"},
      {"yes hunter2", prefix + "printed more than 65536 bytes\n"},
      {"true", prefix + "printed no password\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    // The dialog's second line, the last reply, is empty: no server was reached.
    EXPECT_EQ(Send(server, {{"AuthMethod", "6"}, {"AuthPasswordCommand", c.command}}),
              (MailerRun{1, c.output + failedToConnect + "\n"}));
  }
  EXPECT_TRUE(server.Transcript().empty());
}

// AuthMethod 0 needs no password: the command is not run.
TEST(AuthenticationSettings, WithoutAuthenticationTheCommandIsNotRun) {
  SmtpTestServer server;
  EXPECT_EQ(Send(server, {{"AuthMethod", "0"}, {"AuthPasswordCommand", "exit 1"}}),
            (MailerRun{0, ""}));
  EXPECT_EQ(server.Messages().size(), 1u);
}

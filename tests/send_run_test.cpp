// The send run in this process against a scripted server: how the SSL setting is read,
// when each setting is read, the order of the result dialog and the closing QUIT, and
// the text of a failure that no reply caused.
// Without a display every text the run shows goes to standard error.
#include "app/mailer/send_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "errors/exceptions.h"
#include "errors/message_table.h"
#include "platform/error_numbers.h"
#include "tests/support/mailer_program.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_config_home.h"

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

// The host name that HELO and EHLO carry.
std::string LocalHostName() {
  char name[260] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

PeerScript Step(const std::string& command, const std::string& reply) {
  return PeerScript().Expect(command + "\r\n").Send(reply + "\r\n");
}

// A run with its own settings and its standard error in a file that the server can
// read while the run goes on.
class SendRunTest : public ::testing::Test {
 protected:
  SendRunTest() {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }

  void WriteSettings(const Settings& values) const {
    home.WriteFile(home.SmtpKeyFile(), SmtpSettings(values));
  }

  Settings ServerSettings(std::uint16_t port, Settings more = {}) const {
    more.insert(more.begin(), {{"Server", "127.0.0.1"}, {"Port", std::to_string(port)}});
    return more;
  }

  int Run() {
    std::fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int file = open(ErrorFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(file, STDERR_FILENO);
    close(file);
    const MailerRunParameters run{"Subject", "Body", true, false};
    const ScriptOptions options;
    const CScriptFiles files;
    const std::string account;
    const int code = SendRun({run, options, files, account});
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return code;
  }

  std::string ErrorFile() const { return home.base + "/stderr"; }
  std::string Shown() const { return ReadFile(ErrorFile()); }

  TempConfigHome home;
};

}  // namespace

// "0" leaves TLS off; any non-zero number turns it on, and the client then speaks first
// with a TLS handshake record.
TEST_F(SendRunTest, SslIsOnForAnyNonZeroNumber) {
  const PeerScript plain =
      PeerScript().Send("554 no\r\n").Expect("QUIT\r\n").Send("221 bye\r\n").ExpectClosed();
  const PeerScript tls = PeerScript().ReadAny().Send("554 no\r\n").ReadUntilClosed();
  const std::pair<const char*, bool> values[] = {{"0", false}, {"2", true}, {"-1", true}, {" 7x", true}};
  for (const auto& [value, on] : values) {
    SCOPED_TRACE(value);
    ScriptedPeer server{on ? tls : plain};
    WriteSettings(ServerSettings(server.Port(), {{"SSL", value}}));
    EXPECT_EQ(Run(), ExitConnectFailed);
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(server.Received().substr(0, 1), on ? "\x16" : "Q");
  }
}

// A word where SSL wants a number would read as 0 and send the password in clear: the
// run fails before it connects, naming the setting.
TEST_F(SendRunTest, SslHoldingAWordFailsBeforeItConnects) {
  for (const char* value : {"abc", "yes", "true"}) {
    SCOPED_TRACE(value);
    ScriptedPeer server{PeerScript()};
    WriteSettings(ServerSettings(server.Port(), {{"SSL", value}}));
    EXPECT_EQ(Run(), ExitConnectFailed);
    EXPECT_EQ(server.Finish(), "no connection arrived");
    EXPECT_NE(Shown().find("The setting SSL holds"), std::string::npos) << Shown();
  }
}

// The connect settings are read before the connection is made, the sender and the
// recipient only once it stands: the server changes them all while it greets.
TEST_F(SendRunTest, SenderAndRecipientAreReadOnlyAfterTheConnect) {
  ScriptedPeer server{
      PeerScript()
          .Do([&] {
            WriteSettings({{"Server", "192.0.2.1"}, {"Port", "1"}, {"AuthMethod", "0"},
                           {"AuthUser", "new"}, {"AuthPassword", "other"},
                           {"SenderEMail", "new@example.com"},
                           {"RecipientEMail", "new-to@example.com"}});
            return std::string();
          })
          .Send("220 hi\r\n")
          .Then(Step("EHLO " + LocalHostName(), "250-hi\r\n250 AUTH LOGIN"))
          .Then(Step("AUTH LOGIN", "334 VXNlcm5hbWU6"))
          .Then(Step("b2xk", "334 UGFzc3dvcmQ6"))  // "old"
          .Then(Step("c2VjcmV0", "235 ok"))        // "secret"
          .Then(Step("MAIL FROM:<new@example.com>", "250 ok"))
          .Then(Step("RCPT TO:<new-to@example.com>", "250 ok"))
          .Then(Step("DATA", "354 go ahead"))
          .ReadUntil("\r\n.\r\n")
          .Send("250 queued\r\n")
          .Then(Step("QUIT", "221 bye"))
          .ExpectClosed()};
  WriteSettings(ServerSettings(server.Port(), {{"AuthMethod", "2"},
                                               {"AuthUser", "old"},
                                               {"AuthPassword", "secret"},
                                               {"SenderEMail", "old@example.com"},
                                               {"RecipientEMail", "old-to@example.com"}}));
  EXPECT_EQ(Run(), ExitSent);
  EXPECT_EQ(server.Finish(), "");
}

// After a failed send the dialog is shown while the session still stands; the
// connection's destructor says QUIT only after it has closed.
TEST_F(SendRunTest, AfterAFailedSendTheDialogComesBeforeTheQuit) {
  const std::string dialog = "Failed to send the SMTP message\n550 no such user\n";
  std::string shownAtQuit;
  ScriptedPeer server{PeerScript()
                          .Send("220 hi\r\n")
                          .Then(Step("HELO " + LocalHostName(), "250 ok"))
                          .Then(Step("MAIL FROM:<a@example.com>", "250 ok"))
                          .Then(Step("RCPT TO:<b@example.com>", "550 no such user"))
                          .Expect("QUIT\r\n")
                          .Do([&] {
                            shownAtQuit = Shown();
                            return std::string();
                          })
                          .Send("221 bye\r\n")
                          .ExpectClosed()};
  WriteSettings(ServerSettings(server.Port(), {{"SenderEMail", "a@example.com"},
                                               {"RecipientEMail", "b@example.com"}}));
  EXPECT_EQ(Run(), ExitSendFailed);
  EXPECT_EQ(server.Finish(), "");
  EXPECT_TRUE(shownAtQuit.ends_with(dialog)) << shownAtQuit;
  EXPECT_EQ(Shown(), shownAtQuit);
}

// A failure that the engine finds before it asks the server shows its own text, not the
// EHLO reply that came last: a message over the server's SIZE (563), a local part that
// is not ASCII to a server without SMTPUTF8 (564), an address too long for its command
// (87).
TEST_F(SendRunTest, AFailureNoReplyCausedShowsItsOwnText) {
  struct Case {
    const char* name;
    std::string recipient;
    const char* ehloReply;
    CTAVSMTPException error;
  };
  const Case cases[] = {
      {"too large", "b@example.com", "250-test.local\r\n250 SIZE 100",
       CTAVSMTPException(msgMessageTooLarge, FACILITY_ITF, "")},
      {"local part not ASCII", "j\xC3\xB6rg@example.com", "250 test.local",
       CTAVSMTPException(msgAddressNotSendable, FACILITY_ITF, "j\xC3\xB6rg@example.com")},
      {"address too long", std::string(600, 'b') + "@example.com", "250 test.local",
       CTAVSMTPException(ERROR_INVALID_PARAMETER, FACILITY_WIN32, "")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer server{PeerScript()
                            .Send("220 hi\r\n")
                            .Then(Step("EHLO " + LocalHostName(), c.ehloReply))
                            .Then(Step("QUIT", "221 bye"))
                            .ExpectClosed()};
    WriteSettings(ServerSettings(server.Port(), {{"AuthMethod", "99"},
                                                 {"SenderEMail", "a@example.com"},
                                                 {"RecipientEMail", c.recipient}}));
    EXPECT_EQ(Run(), ExitSendFailed);
    EXPECT_EQ(server.Finish(), "");
    // The text's start: the details of 563 and 564 follow in it.
    const std::string shown = Shown();
    const std::string expected = "Failed to send the SMTP message\n" +
                                 std::string(c.error.what()).substr(0, std::string(c.error.what()).find("Details:"));
    EXPECT_NE(shown.find(expected), std::string::npos) << shown;
    EXPECT_EQ(shown.find("test.local"), std::string::npos) << shown;
  }
}

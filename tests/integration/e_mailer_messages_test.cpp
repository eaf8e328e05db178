// What the e-mailer program tells its user, run as a script runs it (no display)
// against aiosmtpd or a scripted peer on 127.0.0.1: --help and --version, settings
// files that cannot be written, read or parsed, and server text that reaches the
// terminal.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/run/exit_codes.h"
#include "tests/support/mailer_program.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_server.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

Values SettingsFor(std::uint16_t port) {
  return {{"Server", "127.0.0.1"},
          {"Port", std::to_string(port)},
          {"SenderEMail", "backup@example.com"},
          {"RecipientEMail", "admin@example.com"}};
}

bool HasSubject(const ReceivedMessage& message, const std::string& subject) {
  return message.content.find("\r\nSubject: " + subject + "\r\n") != std::string::npos;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The run as one text, so that it can come back from an unprivileged child.
std::string Outcome(const MailerRun& run) {
  return std::to_string(run.exitCode) + "|" + run.output;
}

}  // namespace

// "--help" and "--version" alone print their text and send nothing; beside anything
// else, or with one dash, they are a subject like any other (one leading '-' removed).
TEST(EMailerCommandLine, HelpAndVersionAloneSendNothingEveryOtherLineIsARun) {
  SmtpTestServer server;
  std::string settings = SmtpSettings(SettingsFor(server.Port()));

  MailerRun help = RunMailer(settings, {"--help"});
  EXPECT_EQ(help.exitCode, ExitSent);
  EXPECT_EQ(help.output.rfind("Usage: e-mailer [--account NAME] SUBJECT [BODY] [showui]\n", 0), 0u) << help.output;
  MailerRun version = RunMailer(settings, {"--version"});
  EXPECT_EQ(Outcome(version), "0|e-mailer 0.1\n");
  EXPECT_TRUE(server.Transcript().empty());

  for (const std::vector<std::string>& line :
       std::vector<std::vector<std::string>>{{"-urgent", "body"}, {"-h"}, {"--help", "body"}}) {
    EXPECT_EQ(Outcome(RunMailer(settings, line)), "0|") << line[0];
  }
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_TRUE(HasSubject(messages[0], "urgent"));
  EXPECT_TRUE(HasSubject(messages[1], "h"));
  EXPECT_TRUE(HasSubject(messages[2], "-help"));
}

// A file the user protected (read-only, in read-only folders) is read: values are
// never written.
TEST(EMailerSettings, SettingsThatCannotBeWrittenAreRead) {
  SmtpTestServer server;
  TempConfigHome home;
  home.WriteFile(home.SmtpKeyFile(), SmtpSettings(SettingsFor(server.Port())));
  chmod(home.SmtpKeyFile().c_str(), 0444);
  for (const std::string& folder :
       {home.config + "/Zelkor/Kestrum", home.config + "/Zelkor", home.config}) {
    chmod(folder.c_str(), 0555);
  }
  EXPECT_EQ(RunUnprivileged([&] { return Outcome(RunMailer(home, {"Backup done"})); }), "0|");
  EXPECT_EQ(server.Messages().size(), 1u) << server.Log();
}

// A settings file that exists but cannot be used is named, with the reason, on one
// line before anything else; the run then goes on with the defaults (no server: the
// name cannot be resolved).
TEST(EMailerSettings, UnusableFileIsNamedFirstWithTheReasonThenDefaultsAreUsed) {
  struct UnusableCase {
    const char* what;
    void (*make)(const std::string& path);
    std::string problem;  // after the path
  };
  static const std::string valid = SmtpSettings({{"Server", "127.0.0.1"}});
  const UnusableCase cases[] = {
      {"syntax",
       [](const std::string& path) {
         std::ofstream(path) << valid << "\"Port\"=\"25\" ; port\r\n";
       },
       ":5: text follows the closing quote"},
      {"size",
       [](const std::string& path) { std::ofstream(path) << valid << std::string(1 << 20, ';'); },
       ": the file is larger than 1 MiB"},
      {"folder", [](const std::string& path) { std::filesystem::create_directory(path); },
       ": not a regular file"},
      {"fifo", [](const std::string& path) { mkfifo(path.c_str(), 0666); },
       ": not a regular file"},
      {"dangling link",
       [](const std::string& path) { std::filesystem::create_symlink(path + ".gone", path); },
       ": a symbolic link to a missing file"},
      {"unreadable",
       [](const std::string& path) {
         std::ofstream(path) << valid;
         chmod(path.c_str(), 0200);
       },
       ": Permission denied"},
  };
  for (const UnusableCase& c : cases) {
    TempConfigHome home;
    std::filesystem::create_directories(home.config + "/Zelkor/Kestrum");
    c.make(home.SmtpKeyFile());
    std::string outcome =
        RunUnprivileged([&] { return Outcome(RunMailer(home, {"Backup done"})); });
    std::string line = "e-mailer: " + home.SmtpKeyFile() + c.problem +
                       "; the defaults are used instead\n";
    EXPECT_EQ(outcome.rfind("1|" + line, 0), 0u) << c.what << ": " << outcome;
    EXPECT_EQ(Count(outcome, "defaults are used"), 1u) << c.what << ": " << outcome;
  }
}

// A missing file is no problem: it is created, the missing server is named with the
// file to set it in, and the connect fails as it always has.
TEST(EMailerSettings, MissingFileIsCreatedSilently) {
  TempConfigHome home;
  MailerRun run = RunMailer(home, {"Backup done"});
  EXPECT_EQ(run.exitCode, ExitConnectFailed);
  EXPECT_EQ(run.output, "e-mailer: no SMTP server: set Server in " + home.SmtpKeyFile() +
                            "\ne-mailer: The host name is not known.\n"
                            "e-mailer: Failed to connect to SMTP server\n\n");
  EXPECT_EQ(TempConfigHome::Mode(home.SmtpKeyFile()), 0600u);
}

// Settings that hold a password or a password command are refused while another user
// could change them: the run stops (exit 1) before the command runs or the server is
// reached, naming the file or folder and the reason. Without either they are used.
TEST(EMailerSettings, SettingsOthersCanChangeAreRefusedWhenTheyHoldAPassword) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}});
  struct LooseCase {
    std::string where;  // below the config folder
    unsigned mode;      // 0: given to "nobody" instead (as root only)
    const char* reason;
    const char* secret;
  };
  const LooseCase cases[] = {
      {"/Zelkor/Kestrum/SMTP.reg", 0620, "the file is writable by its group", "AuthPassword"},
      {"/Zelkor/Kestrum", 0777, "the folder is writable by all users", "AuthPasswordCommand"},
      {"/Zelkor/Kestrum/SMTP.reg", 0, "the file is owned by another user (uid 65534)",
       "AuthPasswordCommand"},
      {"", 0, "the folder is owned by another user (uid 65534)", "AuthPassword"},
  };
  for (const LooseCase& c : cases) {
    if (c.mode == 0 && geteuid() != 0) continue;
    TempConfigHome home;
    const std::string ran = home.base + "/ran", path = home.config + c.where;
    Values values = SettingsFor(server.Port());
    values.insert(values.end(), {{"AuthMethod", "2"}, {"AuthUser", "user"}, {c.secret, "secret"}});
    if (c.secret == std::string("AuthPasswordCommand")) values.back().second = "touch " + ran;
    home.WriteFile(home.SmtpKeyFile(), SmtpSettings(values));
    ASSERT_EQ(c.mode != 0 ? chmod(path.c_str(), c.mode) : chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Outcome(RunMailer(home, {"Backup done"})),
              "1|e-mailer: " + path + ": " + c.reason +
                  "; settings that hold AuthPassword, AuthPasswordCommand or OAuthClientID must "
                  "be writable by their owner alone, so they are not used\ne-mailer: Failed to "
                  "connect to SMTP server\n\n");
    EXPECT_FALSE(std::filesystem::exists(ran));
  }
  EXPECT_TRUE(server.Transcript().empty());
  // A settings file that is a link is as safe as the folders above its target: one that
  // all may write is named; a sticky one (as /tmp, above the target here) is not.
  for (unsigned mode : {0777u, 01777u}) {
    TempConfigHome home;
    Values values = SettingsFor(server.Port());
    values.insert(values.end(), {{"AuthMethod", "2"}, {"AuthUser", "user"}, {"AuthPassword", "x"}});
    const std::string open = home.base + "/open", target = open + "/SMTP.reg";
    std::filesystem::create_directory(open);
    home.WriteFile(target, SmtpSettings(values));
    ASSERT_EQ(chmod(target.c_str(), 0600) | chmod(open.c_str(), mode), 0);
    std::filesystem::create_directories(std::filesystem::path(home.SmtpKeyFile()).parent_path());
    std::filesystem::create_symlink(target, home.SmtpKeyFile());
    const std::string outcome = Outcome(RunMailer(home, {"Backup done"}));
    EXPECT_EQ(outcome.find(open + ": the folder is writable by all users; settings") != std::string::npos,
              mode == 0777u) << outcome;
  }

  TempConfigHome home;
  home.WriteFile(home.SmtpKeyFile(), SmtpSettings(SettingsFor(server.Port())));
  chmod(home.SmtpKeyFile().c_str(), 0666);
  EXPECT_EQ(Outcome(RunMailer(home, {"Backup done"})), "0|");
}

// A user name written by hand with one backslash reads as written; \\ and \" stay
// escapes. The server takes the login only with both texts exactly right.
TEST(EMailerSettings, BackslashBeforeAnyOtherCharacterIsKept) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}, .user = "CORP\\jdoe", .password = "a\\b\"c\\d"});
  std::string settings = SmtpSettings(SettingsFor(server.Port())) +
                         "\"AuthMethod\"=\"2\"\r\n"
                         "\"AuthUser\"=\"CORP\\jdoe\"\r\n"
                         "\"AuthPassword\"=\"a\\\\b\\\"c\\d\"\r\n";
  EXPECT_EQ(Outcome(RunMailer(settings, {"Backup done"})), "0|") << server.Log();
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"LOGIN CORP\\jdoe"});
}

// Whatever a server sends, standard error gets no byte that a terminal acts on: control
// characters and malformed UTF-8 (the program runs under C.UTF-8) show as \xHH, CR LF
// as LF.
TEST(EMailerTerminal, ServerTextReachesStandardErrorEscaped) {
  ScriptedPeer peer(PeerScript()
                        .Send("554-title \x1B]0;owned\x07\r\n"
                              "554 \x1B[2J caf\xC3\xA9 \xFF\xC3\r\n")
                        .Expect("QUIT\r\n")
                        .Close());
  MailerRun run = RunMailer(SmtpSettings(SettingsFor(peer.Port())), {"Backup done"});
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_EQ(run.exitCode, ExitConnectFailed);
  EXPECT_NE(run.output.find("554-title \\x1B]0;owned\\x07\n"
                            "554 \\x1B[2J caf\xC3\xA9 \\xFF\\xC3\n"),
            std::string::npos)
      << run.output;
  for (char c : run.output) {
    EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << run.output;
  }
}

// A huge reply is not printed whole, neither in the error's text nor in the failure's:
// each message is cut at 4 KiB and says so.
TEST(EMailerTerminal, EachMessageIsCutAtFourKibibytes) {
  std::string reply;
  while (reply.size() < 512 * 1024) reply += "554-" + std::string(1000, 'x') + "\r\n";
  ScriptedPeer peer(PeerScript().Send(reply + "554 end\r\n").Expect("QUIT\r\n").Close());
  MailerRun run = RunMailer(SmtpSettings(SettingsFor(peer.Port())), {"Backup done"});
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_EQ(run.exitCode, ExitConnectFailed);
  EXPECT_LT(run.output.size(), 2u * (4096 + 100)) << run.output.size();
  EXPECT_GE(Count(run.output, " more bytes not shown]\n"), 1u) << run.output;
}

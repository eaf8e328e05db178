// AuthPasswordCommand's runner: the first output line of a real /bin/sh command, and a
// failure that names the command and why for every way a command can fail to give one.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/run/password_command.h"
#include "errors/exceptions.h"
#include "errors/message_table.h"
#include "platform/win_types.h"
#include "tests/support/server_process.h"

namespace {

// A bound that only ends a test gone wrong, generous for a loaded machine.
constexpr std::uint32_t generous = 20000;

// The text of the failure of command, or nullopt when it gave a password.
std::optional<std::string> FailureOf(const std::string& command,
                                     std::uint32_t timeout = generous) {
  try {
    PasswordFromCommand(command, timeout);
  } catch (const CTAVSMTPException& e) {
    EXPECT_EQ(e.m_hrError, MakeFailureHresult(FACILITY_ITF, msgPasswordCommand));
    return e.what();
  }
  return std::nullopt;
}

}  // namespace

// The first line counts, without its LF or CR LF; more lines and blanks stay out of it
// and inside it as they are.
TEST(PasswordCommand, TheFirstLineWithoutItsLineEndIsThePassword) {
  struct Case {
    const char* command;
    const char* password;
  };
  const Case cases[] = {
      {"echo secret", "secret"},
      {"printf 'se cret\\r\\nsecond line\\n'", "se cret"},
      {"printf 'no line end'", "no line end"},
      {"printf ' both \\t\\nmore'", " both \t"},
      {"printf 'a\\rb\\n'", "a\rb"},  // only a CR that ends the line is taken off
      // Standard input is /dev/null, not the program's.
      {"wc -c", "0"},
      // The command's environment is the program's.
      {"echo \"$EMAILER_TEST_VALUE\"", "from the environment"},
      // A process left behind with the output open does not hold the run up.
      {"(exec sleep 5 2>/dev/null &); echo secret", "secret"},
  };
  setenv("EMAILER_TEST_VALUE", "from the environment", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(PasswordFromCommand(c.command, generous), c.password);
  }
}

TEST(PasswordCommand, EachFailureNamesTheSettingAndWhyButNeitherCommandNorOutput) {
  const std::string prefix = "Failed to get the password from AuthPasswordCommand: ";
  struct Case {
    const char* command;
    const char* why;
  };
  const Case cases[] = {
      {"echo secret; exit 3", "exited with status 3"},
      {"no-such-command-here 2>/dev/null", "exited with status 127"},
      {"echo secret; kill -KILL $$", "was ended by signal 9"},
      {"true", "printed no password"},
      {"printf '\\nsecret\\n'", "printed no password"},
      {"printf '\\r\\n'", "printed no password"},
      {"printf 'sec\\0ret\\n'", "printed a NUL byte in its first line"},
      {"head -c 65537 /dev/zero | tr '\\0' x", "printed more than 65536 bytes"},
      // Endless output is cut off and the command ended.
      {"yes secret", "printed more than 65536 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    // Issue 46: the setting is named, never the command, whose arguments may hold a token.
    EXPECT_EQ(FailureOf(c.command), prefix + "the command " + c.why);
  }
  // Output of exactly the cap is taken.
  EXPECT_EQ(PasswordFromCommand("head -c 65535 /dev/zero | tr '\\0' x; echo", generous),
            std::string(65535, 'x'));
}

// Whether process pid ends (is gone, or a zombie not yet reaped by its new parent)
// within a generous bound: a SIGKILL takes effect once the process is scheduled.
bool Ends(const std::string& pid) {
  for (int i = 0; i < 1000; ++i) {
    std::string stat = ReadFile("/proc/" + pid + "/stat");
    std::size_t state = stat.rfind(") ");
    if (state == std::string::npos || stat.compare(state + 2, 1, "Z") == 0) return true;
    usleep(10000);
  }
  return false;
}

// A silent command is ended at the timeout, with all it started.
TEST(PasswordCommand, ACommandPastTheTimeoutIsEndedWithItsProcessGroup) {
  TempDir dir;
  const std::string pidFile = (dir.Path() / "pid").string();
  const std::string command = "sleep 60 & echo $! >" + pidFile + "; wait";
  EXPECT_EQ(FailureOf(command, 1000),
            "Failed to get the password from AuthPasswordCommand: the command did not finish within 1 second");
  std::string pid = ReadFile(pidFile);
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(Ends(pid.substr(0, pid.find('\n'))));
  EXPECT_EQ(FailureOf("exec sleep 60", 1500),
            "Failed to get the password from AuthPasswordCommand: "
            "the command did not finish within 1.5 seconds");
}

// The program ignores SIGPIPE; the command must not inherit that, or a pipeline whose
// reader has gone would go on writing. A SIGCHLD that the program's parent left ignored
// must not take the command's status away.
TEST(PasswordCommand, SignalsThatTheProgramInheritsOrSetsDoNotChangeTheRun) {
  signal(SIGPIPE, SIG_IGN);
  auto failure = FailureOf("kill -PIPE $$; echo survived");
  signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(failure, "Failed to get the password from AuthPasswordCommand: "
                     "the command was ended by signal 13");

  signal(SIGCHLD, SIG_IGN);
  std::string password = PasswordFromCommand("echo secret", generous);
  failure = FailureOf("exit 4");
  bool stillIgnored = signal(SIGCHLD, SIG_DFL) == SIG_IGN;
  EXPECT_EQ(password, "secret");
  EXPECT_EQ(failure, "Failed to get the password from AuthPasswordCommand: the command exited "
                     "with status 4");
  EXPECT_TRUE(stillIgnored);
}

// Whether process pid is gone: killed and reaped, not a zombie left for someone else.
bool Gone(const std::string& pid) { return kill(std::stoi(pid), 0) != 0 && errno == ESRCH; }

// Nothing the command starts outlives the call, not even a process that leaves its
// process group and session with setsid, nor one whose parent has gone: at the end of
// the command, and at the timeout.
TEST(PasswordCommand, NoProcessOfTheCommandOutlivesTheCall) {
  struct Case {
    const char* escape;     // starts a process that writes its pid to $f and sleeps
    std::uint32_t timeout;  // the command waits for it when this is short
    const char* outcome;
  };
  const char* daemon = "setsid sh -c 'echo $$ >\"$f.new\"; mv \"$f.new\" \"$f\"; exec sleep 100'";
  const std::string held = std::string(daemon) + " &";                       // output open
  const std::string orphan = "(" + std::string(daemon) + " >/dev/null &)";   // parent gone
  const Case cases[] = {
      {held.c_str(), generous, nullptr},
      {orphan.c_str(), generous, nullptr},
      {held.c_str(), 1000, "did not finish within 1 second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.escape) + ", timeout " + std::to_string(c.timeout));
    TempDir dir;
    const std::string pidFile = (dir.Path() / "pid").string();
    std::string command = "export f='" + pidFile + "'; " + c.escape +
                          "\nwhile [ ! -e \"$f\" ]; do sleep 0.01; done; " +
                          (c.outcome == nullptr ? "echo secret" : "sleep 100");
    auto failure = FailureOf(command, c.timeout);
    if (c.outcome == nullptr) {
      EXPECT_EQ(failure, std::nullopt);
    } else {
      EXPECT_EQ(failure, std::string("Failed to get the password from AuthPasswordCommand: the command ") +
                             c.outcome);
    }
    std::string pid = ReadFile(pidFile);
    ASSERT_FALSE(pid.empty());
    EXPECT_TRUE(Gone(pid.substr(0, pid.find('\n'))));
  }
  // The program holds nobody's orphans afterwards.
  int subreaper = -1;
  prctl(PR_GET_CHILD_SUBREAPER, &subreaper);
  EXPECT_EQ(subreaper, 0);
}

// RunShellCommand on Windows through the real cmd.exe: the output whole and as printed,
// the exit code, NUL as standard input and the program's standard error as the
// command's, and the job of all the command started ended when it runs too long or
// prints too much, but left alone when the command ends by itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/shell_command.h"
#include "platform/system_messages.h"
#include "platform/uuid.h"

namespace {

// A bound that only ends a test gone wrong, generous for a loaded machine.
constexpr std::uint32_t generous = 20000;
constexpr std::size_t cap = 64 * 1024;

ShellCommandResult RunCapped(const std::string& command, std::uint32_t timeout = generous) {
  return RunShellCommand(command, timeout, cap);
}

// A folder of its own under the temporary folder, removed with all it holds.
class TempFolder {
 public:
  TempFolder() { std::filesystem::create_directories(path); }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(path / name, std::ios::binary) << text;
    return (path / name).string();
  }
  std::string Read(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(path / name, std::ios::binary).rdbuf();
    return text.str();
  }
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("e-mailer-shell-" + NewUuidText());
};

// One of the program's standard handles replaced while it lives.
class StandardHandle {
 public:
  StandardHandle(DWORD handle, HANDLE replacement) : which(handle), saved(GetStdHandle(handle)) {
    SetStdHandle(handle, replacement);
  }
  StandardHandle(const StandardHandle&) = delete;
  StandardHandle& operator=(const StandardHandle&) = delete;
  ~StandardHandle() { SetStdHandle(which, saved); }

 private:
  DWORD which;
  HANDLE saved;
};

// A pipe whose write end every process the test starts inherits, down to the processes
// those start: the read end shows when all of them have ended.
class InheritedPipe {
 public:
  InheritedPipe() {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    CreatePipe(&reader, &writer, &inherited, 0);
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
  }
  InheritedPipe(const InheritedPipe&) = delete;
  InheritedPipe& operator=(const InheritedPipe&) = delete;
  ~InheritedPipe() {
    CloseHandle(reader);
    if (writer != nullptr) CloseHandle(writer);
  }
  // Whether every process that inherited the write end ends, within a generous bound
  // (termination takes effect once a process is scheduled).
  bool HoldersEnd() {
    CloseHandle(writer);
    writer = nullptr;
    for (int i = 0; i < 2000; ++i) {
      DWORD available = 0;
      if (!PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr)) {
        return GetLastError() == ERROR_BROKEN_PIPE;
      }
      Sleep(10);
    }
    return false;
  }

 private:
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
};

}  // namespace

// The output comes as printed, CR LF and all (the password reader takes the line end
// off, as on Linux), with cmd's exit code; the command's environment is the program's,
// its quotes reach cmd as they are, and its input is NUL, not the program's.
TEST(ShellCommand, TheOutputAsPrintedAndTheExitCode) {
  struct Case {
    const char* command;
    const char* output;
    int exitStatus;
  };
  const Case cases[] = {
      {"echo secret", "secret\r\n", 0},
      {"echo se cret& echo second line", "se cret\r\nsecond line\r\n", 0},
      {"echo secret& exit 3", "secret\r\n", 3},
      {"rem", "", 0},
      {"no-such-command-here 2>NUL", "", 9009},
      {"echo %EMAILER_TEST_VALUE%", "from the environment\r\n", 0},
      {"\"%ComSpec%\" /c echo \"two  spaces\"", "\"two  spaces\"\r\n", 0},
      {"find \"program\"", "", 1},
  };
  SetEnvironmentVariableA("EMAILER_TEST_VALUE", "from the environment");
  // What the program's own input holds, had the command read it.
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE inputReader = nullptr, inputWriter = nullptr;
  ASSERT_TRUE(CreatePipe(&inputReader, &inputWriter, &inherited, 0));
  DWORD written = 0;
  WriteFile(inputWriter, "the program's input\r\n", 21, &written, nullptr);
  CloseHandle(inputWriter);
  {
    StandardHandle input(STD_INPUT_HANDLE, inputReader);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.command);
      ShellCommandResult result = RunCapped(c.command);
      EXPECT_EQ(result.outcome, ShellCommandResult::Exited);
      EXPECT_EQ(result.exitStatus, c.exitStatus);
      EXPECT_EQ(result.output, c.output);
    }
  }
  CloseHandle(inputReader);
}

// What the command writes to standard error goes where the program's goes.
TEST(ShellCommand, StandardErrorIsTheProgramsAndNotCaptured) {
  TempFolder folder;
  // Shared: under Wine the command's handle may still be open a moment after it ended.
  HANDLE file = CreateFileA((folder.path / "errors").string().c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ShellCommandResult result;
  {
    StandardHandle error(STD_ERROR_HANDLE, file);
    result = RunCapped("echo secret& echo to standard error>&2");
  }
  CloseHandle(file);
  EXPECT_EQ(result.outcome, ShellCommandResult::Exited);
  EXPECT_EQ(result.output, "secret\r\n");
  EXPECT_EQ(folder.Read("errors"), "to standard error\r\n");
}

// cmd.exe is found through ComSpec, or in the system folder without it; one that can't
// be started gives the system's number and text for why.
TEST(ShellCommand, TheInterpreterAndWhyItCouldNotStart) {
  char saved[MAX_PATH] = "";
  ASSERT_GT(GetEnvironmentVariableA("ComSpec", saved, sizeof saved), 0u);
  SetEnvironmentVariableA("ComSpec", nullptr);
  ShellCommandResult fallback = RunCapped("echo secret");
  SetEnvironmentVariableA("ComSpec", "C:\\no-such-folder\\cmd.exe");
  ShellCommandResult missing = RunCapped("echo secret");
  SetEnvironmentVariableA("ComSpec", saved);

  EXPECT_EQ(fallback.outcome, ShellCommandResult::Exited);
  EXPECT_EQ(fallback.output, "secret\r\n");
  EXPECT_EQ(missing.outcome, ShellCommandResult::NotStarted);
  EXPECT_TRUE(missing.error == ERROR_PATH_NOT_FOUND || missing.error == ERROR_FILE_NOT_FOUND)
      << missing.error;
  EXPECT_EQ(ShellCommandErrorText(missing.error), SystemMessageText(missing.error));
  EXPECT_NE(ShellCommandErrorText(missing.error), "");
}

// Output of the cap is taken whole; past it, the command is ended with all it started
// and its output dropped, endless output too.
TEST(ShellCommand, OutputPastTheCapEndsTheJob) {
  TempFolder folder;
  std::string full = folder.Write("full", std::string(cap, 'x'));
  std::string over = folder.Write("over", std::string(cap + 1, 'x'));
  ShellCommandResult result = RunCapped("type \"" + full + "\"");
  EXPECT_EQ(result.outcome, ShellCommandResult::Exited);
  EXPECT_EQ(result.output, std::string(cap, 'x'));

  result = RunCapped("type \"" + over + "\"");
  EXPECT_EQ(result.outcome, ShellCommandResult::TooLong);
  EXPECT_EQ(result.output, "");

  // Long lines, as a pipe written by cmd under Wine takes about a millisecond a write.
  InheritedPipe pipe;
  result = RunCapped("cmd /c for /l %i in (0,0,1) do @echo " + std::string(1000, 'x'));
  EXPECT_EQ(result.outcome, ShellCommandResult::TooLong);
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(pipe.HoldersEnd());
}

// A command still running at the deadline is ended with every process it started.
TEST(ShellCommand, ACommandPastTheTimeoutIsEndedWithItsJob) {
  InheritedPipe pipe;
  ShellCommandResult result = RunCapped("cmd /c for /l %i in (0,0,1) do @rem", 1500);
  EXPECT_EQ(result.outcome, ShellCommandResult::TimedOut);
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(pipe.HoldersEnd());
}

// A process that the command leaves behind neither holds the run up nor is ended with
// the job: it goes on until it is done, here until the test lets it.
TEST(ShellCommand, AProcessLeftBehindLivesOn) {
  TempFolder folder;
  const std::string stop = (folder.path / "stop").string();
  const std::string lived = (folder.path / "lived").string();
  std::string survivor = folder.Write(
      "survivor.cmd", "@echo off\r\n:wait\r\nif not exist \"" + stop + "\" goto wait\r\n" +
                          "echo lived>\"" + lived + "\"\r\n");
  ShellCommandResult result = RunCapped("start /b \"\" \"" + survivor + "\" & echo secret");
  EXPECT_EQ(result.outcome, ShellCommandResult::Exited);
  EXPECT_EQ(result.output, "secret\r\n");

  folder.Write("stop", "");
  // cmd writes the line and its end apart.
  std::string text;
  for (int i = 0; i < 2000 && text != "lived\r\n"; ++i) {
    Sleep(10);
    text = folder.Read("lived");
  }
  EXPECT_EQ(text, "lived\r\n");
}

#include "app/run/password_command.h"

#include <cstdio>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/secure_clear.h"
#include "platform/shell_command.h"

namespace {

// Far more than any password or token (those of OAuth 2.0 take a few KiB), and little
// enough to hold.
constexpr std::size_t outputCap = 64 * 1024;

// The text names the setting (the message table's), never the command: its arguments may
// hold a token, and the text reaches a terminal and the log.
[[noreturn]] void RaiseCommandFailed(const std::string& why) {
  RaiseSmtpError(msgPasswordCommand, FACILITY_ITF, "the command " + why);
}

std::string Seconds(std::uint32_t milliseconds) {
  char number[32];
  std::snprintf(number, sizeof number, "%g", milliseconds / 1000.0);
  return std::string(number) + (milliseconds == 1000 ? " second" : " seconds");
}

// Why a command that did not exit with status 0 gave no password.
std::string Failure(const ShellCommandResult& result, std::uint32_t timeout) {
  switch (result.outcome) {
    case ShellCommandResult::NotStarted:
      return "could not be started: " + ShellCommandErrorText(result.error);
    case ShellCommandResult::TimedOut:
      return "did not finish within " + Seconds(timeout);
    case ShellCommandResult::TooLong:
      return "printed more than " + std::to_string(outputCap) + " bytes";
    case ShellCommandResult::Signalled:
      return "was ended by signal " + std::to_string(result.signal);
    case ShellCommandResult::Exited:
      break;
  }
  return "exited with status " + std::to_string(result.exitStatus);
}

}  // namespace

std::string PasswordFromCommand(const std::string& command, std::uint32_t timeout) {
  ShellCommandResult result = RunShellCommand(command, timeout, outputCap);
  ClearOnExit clearOutput(result.output);
  if (result.outcome != ShellCommandResult::Exited || result.exitStatus != 0) {
    RaiseCommandFailed(Failure(result, timeout));
  }
  // The caller clears the password; a line that is refused is cleared here.
  std::string line = result.output.substr(0, result.output.find('\n'));
  ClearOnExit clearRefused(line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) RaiseCommandFailed("printed no password");
  // The password goes on as a C string: a NUL would silently cut it short.
  if (line.find('\0') != std::string::npos) {
    RaiseCommandFailed("printed a NUL byte in its first line");
  }
  // Moved out rather than named: the guard must not clear the password it returns.
  return std::string(std::move(line));
}

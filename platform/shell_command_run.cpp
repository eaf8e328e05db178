// RunShellCommand on every system: the wait for a started command's end, bounded by its
// deadline and by the cap of its output, and its end when it passes either.
#include <algorithm>
#include <chrono>

#include "platform/secure_clear.h"
#include "platform/shell_command.h"
#include "platform/shell_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads what the output holds now, stopping once it holds more than cap bytes; false at
// the output's end or on an error.
// The output is read in pieces of this size, straight into its room.
constexpr std::size_t readSize = 4096;

bool ReadAvailable(ShellProcess& process, std::size_t cap, std::string& output) {
  while (output.size() <= cap) {
    std::size_t held = output.size();
    output.resize(held + readSize);
    std::ptrdiff_t n = process.ReadOutput(output.data() + held, readSize);
    output.resize(held + static_cast<std::size_t>(std::max<std::ptrdiff_t>(n, 0)));
    if (n <= 0) return n == 0;
  }
  return true;
}

// How often the wait looks whether the process has ended: its output may stay open
// after it (a process it left behind holds it) or close before it.
constexpr int exitCheckInterval = 10;  // ms

// Collects the output until the process has ended, leaving how in result; TimedOut or
// TooLong when it has to be stopped.
ShellCommandResult::Outcome Collect(ShellProcess& process, Clock::time_point deadline,
                                    std::size_t outputCap, ShellCommandResult& result) {
  bool outputOpen = true;
  for (;;) {
    // Once the process has ended, all it wrote is in the pipe: it is read after the check.
    bool ended = process.Ended(result);
    if (outputOpen) outputOpen = ReadAvailable(process, outputCap, result.output);
    if (result.output.size() > outputCap) return ShellCommandResult::TooLong;
    if (ended) return result.outcome;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ShellCommandResult::TimedOut;
    process.Wait(static_cast<int>(std::min<long long>(left, exitCheckInterval)), outputOpen);
  }
}

}  // namespace

ShellCommandResult RunShellCommand(const std::string& command, std::uint32_t timeout,
                                   std::size_t outputCap) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  ShellCommandResult result;
  // The output may be a password: its room is taken at once, so that it never moves and
  // leaves no copy behind in memory given back.
  result.output.reserve(outputCap + readSize);
  std::unique_ptr<ShellProcess> process = StartShellProcess(command, result.error);
  if (!process) return result;
  result.outcome = Collect(*process, deadline, outputCap, result);
  if (result.outcome == ShellCommandResult::TimedOut ||
      result.outcome == ShellCommandResult::TooLong) {
    process->Kill();
    SecureClear(result.output);
  }
  return result;
}

// A shell command run for its output: /bin/sh -c on Linux, cmd.exe /d /s /c on Windows,
// with standard input from the null device and standard error shared with the program,
// its run time and output bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ShellCommandResult {
  enum Outcome {
    Exited,      // ended by itself: exitStatus (on Windows the whole exit code)
    Signalled,   // ended by signal number signal (Linux only)
    NotStarted,  // the shell could not be started: error holds the system's number for why
    TimedOut,    // still running at the deadline: ended with all it started
    TooLong,     // printed more than the cap: ended with all it started
  };
  Outcome outcome = NotStarted;
  int exitStatus = 0;
  int signal = 0;
  int error = 0;  // errno on Linux, GetLastError() on Windows
  std::string output;  // standard output, whole; empty unless Exited or Signalled
};

// Runs command and waits until it has ended, at most timeout milliseconds, reading at
// most outputCap bytes of its standard output. The command runs in a process group of
// its own (on Windows a job object), which is ended whole when it takes too long or
// prints too much; on Linux with SIGPIPE at its default action. Its output is complete
// once it has ended; what processes it left behind write later is not waited for (the
// end is seen within 10 ms), and they live on. Never raises.
ShellCommandResult RunShellCommand(const std::string& command, std::uint32_t timeout,
                                   std::size_t outputCap);

// The system's text for ShellCommandResult::error: strerror's on Linux, FormatMessageA's
// on Windows. Never raises.
std::string ShellCommandErrorText(int error);

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
  int error = 0;       // errno on Linux, GetLastError() on Windows
  std::string output;  // standard output, whole; empty unless Exited or Signalled. It
                       // never moved while read, so it is the only copy: a caller that
                       // takes a secret from it clears it (SecureClear)
};

// Runs command and waits until it has ended, at most timeout milliseconds, reading at
// most outputCap bytes of its standard output. Every process the command starts is held
// (on Linux by a forked warden that is their child subreaper, so setsid or a double fork
// does not escape it; on Windows by a job object) and ended with it: when it takes too
// long, prints too much, or ends by itself, whatever it left behind is ended too, so no
// process of it outlives the call. The command runs with SIGPIPE at its default action
// on Linux, and on Windows inherits no handle but its three standard ones. Its output is
// complete once it has ended; what processes it left behind would write later is not
// waited for (the end is seen at once). The calling process's signal dispositions and
// subreaper flag stay as they are. Never raises.
ShellCommandResult RunShellCommand(const std::string& command, std::uint32_t timeout,
                                   std::size_t outputCap);

// The system's text for ShellCommandResult::error: strerror's on Linux, FormatMessageA's
// on Windows. Never raises.
std::string ShellCommandErrorText(int error);

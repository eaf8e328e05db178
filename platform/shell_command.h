// A shell command run for its output: /bin/sh -c with standard input from /dev/null and
// standard error shared with the program, its run time and output bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ShellCommandResult {
  enum Outcome {
    Exited,      // ended by itself: exitStatus
    Signalled,   // ended by signal number signal
    NotStarted,  // the shell could not be started: error holds the errno
    TimedOut,    // still running at the deadline: ended with SIGKILL
    TooLong,     // printed more than the cap: ended with SIGKILL
  };
  Outcome outcome = NotStarted;
  int exitStatus = 0;
  int signal = 0;
  int error = 0;
  std::string output;  // standard output, whole; empty unless Exited or Signalled
};

// Runs command and waits until it has ended, at most timeout milliseconds, reading at
// most outputCap bytes of its standard output. The command runs in a process group of
// its own, which is killed whole when it takes too long or prints too much, and with
// SIGPIPE at its default action. Its output is complete once it has ended; what
// processes it left behind write later is not waited for (the end is seen within 10 ms).
// Never raises.
ShellCommandResult RunShellCommand(const std::string& command, std::uint32_t timeout,
                                   std::size_t outputCap);

// A started shell command as the system runs it: the part of RunShellCommand that each
// system has its own of. The wait for its end, bounded by time and output, is shared.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/shell_command.h"

class ShellProcess {
 public:
  ShellProcess() = default;
  ShellProcess(const ShellProcess&) = delete;
  ShellProcess& operator=(const ShellProcess&) = delete;
  virtual ~ShellProcess() = default;

  // Whether the command has ended; once it has, result's outcome is Exited with its exit
  // status or Signalled with its signal.
  virtual bool Ended(ShellCommandResult& result) = 0;
  // Reads at most size bytes of what its output holds now, without waiting: the number
  // of bytes, 0 when it holds nothing yet, -1 at its end or on an error.
  virtual std::ptrdiff_t ReadOutput(char* buffer, std::size_t size) = 0;
  // Waits at most milliseconds for more output (while outputOpen) or for the end.
  virtual void Wait(int milliseconds, bool outputOpen) = 0;
  // Ends the command with every process it started, and waits for it to end.
  virtual void Kill() = 0;
};

// Starts command with its standard output on a pipe read by the returned process; null,
// with the system's number for why in error, when it could not be started.
std::unique_ptr<ShellProcess> StartShellProcess(const std::string& command, int& error);

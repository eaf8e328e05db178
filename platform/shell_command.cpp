#include "platform/shell_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A descriptor closed when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  int fd;
};

// SIGCHLD at its default action while it lives: a parent may have left it ignored, and
// an ignored SIGCHLD has the command reaped by the system, with no status to wait for.
class DefaultChildSignal {
 public:
  DefaultChildSignal() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &action, &previous);
  }
  DefaultChildSignal(const DefaultChildSignal&) = delete;
  DefaultChildSignal& operator=(const DefaultChildSignal&) = delete;
  ~DefaultChildSignal() { sigaction(SIGCHLD, &previous, nullptr); }

 private:
  struct sigaction previous {};
};

// Starts /bin/sh -c command with its standard output on outputFd; the process id, or
// -1 with errno set.
pid_t SpawnShell(const std::string& command, int outputFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The program ignores SIGPIPE, and an ignored signal stays ignored across exec: the
  // command gets the default back, as a shell pipeline expects.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  char sh[] = "sh", dashC[] = "-c";
  char* argv[] = {sh, dashC, const_cast<char*>(command.c_str()), nullptr};
  pid_t pid = -1;
  int error = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    errno = error;
    return -1;
  }
  return pid;
}

// Reads what the pipe holds now into output, stopping once it holds more than cap
// bytes; false at the pipe's end or on an error.
bool ReadAvailable(int fd, std::size_t cap, std::string& output) {
  char buffer[4096];
  while (output.size() <= cap) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return n < 0 && errno == EAGAIN;
    }
  }
  return true;
}

// How often the wait looks whether the process has ended: its output may stay open
// after it (a process it left behind holds it) or close before it.
constexpr int exitCheckInterval = 10;  // ms

// Collects the output until the process has ended, leaving its wait status in status;
// TimedOut or TooLong when it has to be stopped.
ShellCommandResult::Outcome Collect(pid_t pid, int outputFd, Clock::time_point deadline,
                                    std::size_t outputCap, std::string& output, int& status) {
  pollfd watched{outputFd, POLLIN, 0};
  for (;;) {
    // Once the process has ended, all it wrote is in the pipe: it is read after the check.
    bool ended = waitpid(pid, &status, WNOHANG) == pid;
    if (watched.fd >= 0 && !ReadAvailable(outputFd, outputCap, output)) watched.fd = -1;
    if (output.size() > outputCap) return ShellCommandResult::TooLong;
    if (ended) return ShellCommandResult::Exited;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ShellCommandResult::TimedOut;
    poll(&watched, 1, static_cast<int>(std::min<long long>(left, exitCheckInterval)));
  }
}

}  // namespace

ShellCommandResult RunShellCommand(const std::string& command, std::uint32_t timeout,
                                   std::size_t outputCap) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  DefaultChildSignal childSignal;
  ShellCommandResult result;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  FileDescriptor reader(pipeFds[0]), writer(pipeFds[1]);
  // Only this end: the command writes as to any pipe, waiting while it is full.
  fcntl(reader.fd, F_SETFL, O_NONBLOCK);
  pid_t pid = SpawnShell(command, writer.fd);
  if (pid < 0) {
    result.error = errno;
    return result;
  }
  writer.Close();
  int status = 0;
  result.outcome = Collect(pid, reader.fd, deadline, outputCap, result.output, status);
  if (result.outcome != ShellCommandResult::Exited) {
    kill(-pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.output.clear();
  } else if (WIFSIGNALED(status)) {
    result.outcome = ShellCommandResult::Signalled;
    result.signal = WTERMSIG(status);
  } else {
    result.exitStatus = WEXITSTATUS(status);
  }
  return result;
}

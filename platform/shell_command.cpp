#include "platform/shell_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A descriptor that becomes readable when the process pid ends (pidfd_open, which
// glibc's header does not declare for C++), or -1 with errno set.
int ProcessDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

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

// Collects the output until the process has ended; TimedOut or TooLong when it has to
// be stopped, else Exited (the status is read by the caller).
ShellCommandResult::Outcome Collect(int outputFd, int processFd, Clock::time_point deadline,
                                    std::size_t outputCap, std::string& output) {
  pollfd fds[] = {{outputFd, POLLIN, 0}, {processFd, POLLIN, 0}};
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ShellCommandResult::TimedOut;
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) {
      return ShellCommandResult::TimedOut;
    }
    // Once the process has ended, all it wrote is in the pipe: read it whatever poll
    // saw of the pipe.
    bool ended = (fds[1].revents & POLLIN) != 0;
    if ((ended || fds[0].revents != 0) && fds[0].fd >= 0 &&
        !ReadAvailable(outputFd, outputCap, output)) {
      fds[0].fd = -1;
    }
    if (output.size() > outputCap) return ShellCommandResult::TooLong;
    if (ended) return ShellCommandResult::Exited;
  }
}

}  // namespace

ShellCommandResult RunShellCommand(const std::string& command, std::uint32_t timeout,
                                   std::size_t outputCap) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  ShellCommandResult result;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  FileDescriptor reader(pipeFds[0]), writer(pipeFds[1]);
  pid_t pid = SpawnShell(command, writer.fd);
  writer.Close();
  FileDescriptor process(pid < 0 ? -1 : ProcessDescriptor(pid));
  if (process.fd < 0) {
    result.error = errno;
    if (pid >= 0) kill(-pid, SIGKILL);
  } else {
    fcntl(reader.fd, F_SETFL, O_NONBLOCK);
    result.outcome = Collect(reader.fd, process.fd, deadline, outputCap, result.output);
    if (result.outcome != ShellCommandResult::Exited) kill(-pid, SIGKILL);
  }
  if (pid < 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (result.outcome != ShellCommandResult::Exited) {
    result.output.clear();
  } else if (WIFSIGNALED(status)) {
    result.outcome = ShellCommandResult::Signalled;
    result.signal = WTERMSIG(status);
  } else {
    result.exitStatus = WEXITSTATUS(status);
  }
  return result;
}

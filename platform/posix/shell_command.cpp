// The Linux side of RunShellCommand: /bin/sh -c started with posix_spawn in a process
// group of its own, its output read from a non-blocking pipe.
#include "platform/shell_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/shell_process.h"

extern char** environ;

namespace {

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

// The shell in its own process group, leading it.
class ShellProcessGroup final : public ShellProcess {
 public:
  // Starts command; 0, or the errno of why it could not be started.
  int Start(const std::string& command) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
    reader.fd = pipeFds[0];
    FileDescriptor writer(pipeFds[1]);
    // Only this end: the command writes as to any pipe, waiting while it is full.
    fcntl(reader.fd, F_SETFL, O_NONBLOCK);
    pid = SpawnShell(command, writer.fd);
    return pid < 0 ? errno : 0;
  }

  bool Ended(ShellCommandResult& result) override {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return false;
    if (WIFSIGNALED(status)) {
      result.outcome = ShellCommandResult::Signalled;
      result.signal = WTERMSIG(status);
    } else {
      result.outcome = ShellCommandResult::Exited;
      result.exitStatus = WEXITSTATUS(status);
    }
    return true;
  }

  std::ptrdiff_t ReadOutput(char* buffer, std::size_t size) override {
    for (;;) {
      ssize_t n = read(reader.fd, buffer, size);
      if (n > 0) return n;
      if (n == 0 || errno != EINTR) return n < 0 && errno == EAGAIN ? 0 : -1;
    }
  }

  void Wait(int milliseconds, bool outputOpen) override {
    pollfd watched{outputOpen ? reader.fd : -1, POLLIN, 0};
    poll(&watched, 1, milliseconds);
  }

  void Kill() override {
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

 private:
  DefaultChildSignal childSignal;  // from before the start until after the last wait
  FileDescriptor reader{-1};
  pid_t pid = -1;
};

}  // namespace

std::unique_ptr<ShellProcess> StartShellProcess(const std::string& command, int& error) {
  auto process = std::make_unique<ShellProcessGroup>();
  error = process->Start(command);
  if (error != 0) return nullptr;
  return process;
}

std::string ShellCommandErrorText(int error) { return std::strerror(error); }

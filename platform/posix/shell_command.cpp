// The Linux side of RunShellCommand: /bin/sh -c started by a warden, a process forked
// for this one run, which is a child subreaper (prctl PR_SET_CHILD_SUBREAPER). Every
// process the command starts stays the warden's descendant, even one that leaves with
// setsid or a double fork; when the command has ended, or the program wants it ended,
// the warden kills and reaps them all. The program itself changes no process-wide
// state (no subreaper flag, no signal disposition) that a library's caller, or its other
// threads, would see. The command's output is read from a non-blocking pipe.
#include "platform/shell_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/shell_process.h"

extern char** environ;

namespace {

// A descriptor that refers to process pid (closed on exec), or -1 where the system has
// none. Called as a system call, as glibc declares it without C linkage.
int OpenPidFd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// A descriptor closed when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor = -1) : fd(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  int fd;
};

// Both ends of a close-on-exec pipe; 0, or the errno of why it could not be made.
int MakePipe(FileDescriptor& reader, FileDescriptor& writer) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return errno;
  reader.fd = ends[0];
  writer.fd = ends[1];
  return 0;
}

// What the warden tells the program, one record per write (a pipe keeps it whole).
struct WardenReport {
  enum Kind { Started, NotStarted, Ended };
  int kind;
  int value;  // NotStarted: the errno of why; Ended: the shell's wait status
};

// How long the program waits for the warden to have ended all of the command: SIGKILL
// takes effect at once, unless a process is stuck in the kernel.
constexpr int killWait = 5000;  // ms
// How often the warden looks for the shell's end where the system has no pidfd.
constexpr int exitCheckInterval = 10;  // ms

// The arguments of posix_spawn, made before the fork: the warden allocates nothing.
struct ShellSpawn {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  char sh[3] = "sh", dashC[3] = "-c";
  char* argv[4];

  ShellSpawn(const std::string& command, int outputFd) : argv{sh, dashC, nullptr, nullptr} {
    argv[2] = const_cast<char*>(command.c_str());
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_init(&attributes);
    // The program ignores SIGPIPE, and so does the warden; an ignored signal stays
    // ignored across exec: the command gets the default back, as a shell pipeline
    // expects.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  }
  ShellSpawn(const ShellSpawn&) = delete;
  ShellSpawn& operator=(const ShellSpawn&) = delete;
  ~ShellSpawn() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

// The descriptors of one run: the program keeps the readers of output and reports and the
// writer of control; the warden the others. The warden ends the command once control
// reads its end (the program closed it, or has died).
struct RunPipes {
  FileDescriptor outputReader, outputWriter, reportReader, reportWriter, controlReader,
      controlWriter;
};

// The warden's own calls are system calls only (the program may have other threads,
// whose locks a forked copy inherits held). glibc's posix_spawn allocates nothing: it
// maps its child's stack.
void Report(int fd, int kind, int value) {
  WardenReport report{kind, value};
  while (write(fd, &report, sizeof report) < 0 && errno == EINTR) {
  }
}

// Appends the decimal digits of number at end; the new end.
char* AppendNumber(char* end, long number) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0);
  while (count > 0) *end++ = digits[--count];
  return end;
}

// Sends SIGKILL to each of the warden's children; whether it has any.
bool KillChildren() {
  // The children of a process's only thread: a list of numbers, each ended by a blank.
  char path[64] = "/proc/self/task/";
  char* end = AppendNumber(path + std::strlen(path), getpid());
  std::memcpy(end, "/children", sizeof "/children");
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char list[4096];
  ssize_t length = read(fd, list, sizeof list);
  close(fd);
  bool any = false;
  long pid = 0;
  for (ssize_t i = 0; i < length; ++i) {
    if (list[i] >= '0' && list[i] <= '9') {
      pid = pid * 10 + (list[i] - '0');
    } else if (pid > 0) {
      kill(static_cast<pid_t>(pid), SIGKILL);
      any = true;
      pid = 0;
    }
  }
  return any;
}

// Kills and reaps every descendant. The children of a killed process become the
// warden's (it is their subreaper) and are killed in the next turn.
void EndDescendants() {
  for (;;) {
    KillChildren();
    pid_t reaped = waitpid(-1, nullptr, 0);
    if (reaped < 0 && errno == ECHILD) return;
  }
}

// Waits until the shell has ended (reporting its status) or control reads its end.
void WatchShell(pid_t shell, int control, int reports) {
  pollfd watched[2] = {{control, POLLIN, 0}, {OpenPidFd(shell), POLLIN, 0}};
  for (;;) {
    int status = 0;
    if (waitpid(shell, &status, WNOHANG) == shell) {
      return Report(reports, WardenReport::Ended, status);
    }
    if (poll(watched, 2, watched[1].fd < 0 ? exitCheckInterval : -1) > 0 &&
        watched[0].revents != 0) {
      return;
    }
  }
}

[[noreturn]] void RunWarden(RunPipes& pipes, ShellSpawn& spawn) {
  close(pipes.outputReader.fd);
  close(pipes.reportReader.fd);
  close(pipes.controlWriter.fd);
  // A process group of its own, so that a terminal's interrupt, sent to the program's
  // group, cannot end the warden before it has ended the command.
  setpgid(0, 0);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  // The program may ignore SIGCHLD, which would leave no status to wait for, and SIGPIPE
  // must not end the warden before its work is done.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &action, nullptr);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
  const int reports = pipes.reportWriter.fd;
  pid_t shell = -1;
  // A program that holds a group of its own (set-group-ID) runs the command, which the
  // system's settings name, in an environment of its own: the caller's PATH or ENV would
  // otherwise choose what runs with that group.
  static char fixedPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  static char* fixedEnvironment[] = {fixedPath, nullptr};
  const gid_t group = getegid();
  const bool ownGroup = group != getgid();
  // dash, the /bin/sh of Debian, gives up an effective group that is not the real one
  // as it starts: the warden makes the group its real one too, so that the command runs
  // with it, as the settings' manual says. Where that is refused, nothing is started.
  int error = ownGroup && setresgid(group, group, group) != 0 ? errno : 0;
  if (error == 0) {
    error = posix_spawn(&shell, "/bin/sh", &spawn.actions, &spawn.attributes, spawn.argv,
                        ownGroup ? fixedEnvironment : environ);
  }
  close(pipes.outputWriter.fd);
  Report(reports, error == 0 ? WardenReport::Started : WardenReport::NotStarted, error);
  if (error == 0) WatchShell(shell, pipes.controlReader.fd, reports);
  EndDescendants();
  // The end of the reports tells the program that nothing of the command is left; the
  // warden then waits to be let go, so the program can reap it by its pidfd.
  close(reports);
  char ignored;
  while (read(pipes.controlReader.fd, &ignored, 1) != 0 && errno == EINTR) {
  }
  _exit(0);
}

// The command as the warden runs it.
class WardenedShell final : public ShellProcess {
 public:
  // Starts command; 0, or the errno of why it could not be started.
  int Start(const std::string& command) {
    if (int error = MakePipe(pipes.outputReader, pipes.outputWriter); error != 0) return error;
    if (int error = MakePipe(pipes.reportReader, pipes.reportWriter); error != 0) return error;
    if (int error = MakePipe(pipes.controlReader, pipes.controlWriter); error != 0) return error;
    // Only this end: the command writes as to any pipe, waiting while it is full.
    fcntl(pipes.outputReader.fd, F_SETFL, O_NONBLOCK);
    ShellSpawn spawn(command, pipes.outputWriter.fd);
    warden = fork();
    if (warden < 0) return errno;
    if (warden == 0) RunWarden(pipes, spawn);
    // The warden lives until control is closed, so this pidfd is surely its own.
    wardenFd.fd = OpenPidFd(warden);
    pipes.outputWriter.Close();
    pipes.reportWriter.Close();
    pipes.controlReader.Close();
    WardenReport report{WardenReport::NotStarted, ECHILD};
    while (read(pipes.reportReader.fd, &report, sizeof report) < 0 && errno == EINTR) {
    }
    fcntl(pipes.reportReader.fd, F_SETFL, O_NONBLOCK);
    return report.kind == WardenReport::Started ? 0 : report.value;
  }

  ~WardenedShell() override { Kill(); }

  bool Ended(ShellCommandResult& result) override {
    WardenReport report{};
    ssize_t n = read(pipes.reportReader.fd, &report, sizeof report);
    if (n < 0) return false;
    if (n == sizeof report && report.kind == WardenReport::Ended) {
      if (WIFSIGNALED(report.value)) {
        result.outcome = ShellCommandResult::Signalled;
        result.signal = WTERMSIG(report.value);
      } else {
        result.outcome = ShellCommandResult::Exited;
        result.exitStatus = WEXITSTATUS(report.value);
      }
    } else {
      // The warden was killed before the shell ended, and the command with it.
      result.outcome = ShellCommandResult::Signalled;
      result.signal = SIGKILL;
    }
    return true;
  }

  std::ptrdiff_t ReadOutput(char* buffer, std::size_t size) override {
    for (;;) {
      ssize_t n = read(pipes.outputReader.fd, buffer, size);
      if (n > 0) return n;
      if (n == 0 || errno != EINTR) return n < 0 && errno == EAGAIN ? 0 : -1;
    }
  }

  void Wait(int milliseconds, bool outputOpen) override {
    pollfd watched[2] = {{outputOpen ? pipes.outputReader.fd : -1, POLLIN, 0},
                         {pipes.reportReader.fd, POLLIN, 0}};
    poll(watched, 2, milliseconds);
  }

  // Lets the warden go: it ends what is left of the command, closes the reports and
  // exits, and is reaped here.
  void Kill() override {
    if (warden <= 0 || pipes.controlWriter.fd < 0) return;
    pipes.controlWriter.Close();
    bool done = WaitForReportsEnd();
    if (wardenFd.fd >= 0) {
      siginfo_t info;
      waitid(P_PIDFD, static_cast<id_t>(wardenFd.fd), &info, WEXITED | (done ? 0 : WNOHANG));
    } else {
      waitpid(warden, nullptr, done ? 0 : WNOHANG);
    }
  }

 private:
  // Reads the reports to their end, at most killWait long; whether it came.
  bool WaitForReportsEnd() {
    for (;;) {
      WardenReport report;
      ssize_t n = read(pipes.reportReader.fd, &report, sizeof report);
      if (n == 0) return true;
      if (n > 0 || errno == EINTR) continue;
      pollfd watched{pipes.reportReader.fd, POLLIN, 0};
      if (errno != EAGAIN || poll(&watched, 1, killWait) == 0) return false;
    }
  }

  RunPipes pipes;
  pid_t warden = -1;
  FileDescriptor wardenFd;
};

}  // namespace

std::unique_ptr<ShellProcess> StartShellProcess(const std::string& command, int& error) {
  auto process = std::make_unique<WardenedShell>();
  error = process->Start(command);
  if (error != 0) return nullptr;
  return process;
}

std::string ShellCommandErrorText(int error) { return std::strerror(error); }

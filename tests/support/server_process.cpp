#include "tests/support/server_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int startAttempts = 5;
constexpr auto listenBound = 10s;  // a server that has not listened by then never will
constexpr auto stopBound = 5s;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// The NULL-terminated array of pointers into texts that exec wants.
std::vector<char*> CStrings(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& t : texts) pointers.push_back(const_cast<char*>(t.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Forks and executes argv with standard output on outputFd and standard error on
// errorFd, in the environment env (the test's own when null); the child dies with the
// test process. Returns the child's pid, or -1.
pid_t Spawn(const std::vector<std::string>& argv, int outputFd, int errorFd,
            const std::vector<std::string>* env = nullptr) {
  std::vector<char*> args = CStrings(argv);
  std::vector<char*> envp = env != nullptr ? CStrings(*env) : std::vector<char*>{};
  pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(outputFd, STDOUT_FILENO);
    dup2(errorFd, STDERR_FILENO);
    execvpe(args[0], args.data(), env != nullptr ? envp.data() : environ);
    _exit(127);
  }
  return child;
}


// Waits for the child to end within bound; true when it did, with its status.
bool WaitForExit(pid_t child, std::chrono::milliseconds bound, int* status) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(child, status, WNOHANG) == child) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "emailer-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::filesystem::path TempDir::Write(const std::string& name, const std::string& text) const {
  std::filesystem::path file = path / name;
  std::ofstream(file, std::ios::binary) << text;
  return file;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int RunCommand(const std::vector<std::string>& argv, std::string* log,
               const std::vector<std::string>* env) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  pid_t child = Spawn(argv, pipeFds[1], pipeFds[1], env);
  close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) output.append(buffer, static_cast<std::size_t>(n));
    else if (errno != EINTR) break;
  }
  close(pipeFds[0]);
  if (log != nullptr) *log = output;
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }

ServerProcess::ServerProcess(const Command& command) {
  for (int attempt = 0; attempt < startAttempts; ++attempt) {
    port = FreePort();
    if (Start(command(port))) return;
  }
  throw std::runtime_error("server did not start; its output:\n" + Log());
}

ServerProcess::~ServerProcess() { Stop(); }

bool ServerProcess::Start(const std::vector<std::string>& argv) {
  int logFd = open((dir.Path() / "server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                   0600);
  pid = Spawn(argv, logFd, logFd);
  close(logFd);
  if (pid > 0 && WaitUntilListening()) return true;
  Stop();
  return false;
}

// Probes the port until a connection is accepted, while the server is still running
// (so that the listener is this server and not whoever took the port).
bool ServerProcess::WaitUntilListening() {
  auto deadline = std::chrono::steady_clock::now() + listenBound;
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return false;
    }
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    bool listening = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (listening) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

void ServerProcess::Stop() {
  if (pid <= 0) return;
  int status;
  kill(pid, SIGTERM);
  if (!WaitForExit(pid, stopBound, &status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  pid = -1;
}

std::string ServerProcess::Log() const { return ReadFile(dir.Path() / "server.log"); }

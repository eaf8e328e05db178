// Real servers for integration tests: a process started on a free port of 127.0.0.1
// and stopped when its object goes, a scratch directory for its files, and a way to run
// a command (openssl, the program under test) to completion.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// A directory of its own under the system's temporary directory, removed with all it
// holds on destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& Path() const { return path; }
  // Writes text to the file name inside the directory and returns its path.
  std::filesystem::path Write(const std::string& name, const std::string& text) const;

 private:
  std::filesystem::path path;
};

// The bytes of the file at path; empty when there is none.
std::string ReadFile(const std::filesystem::path& path);

// A port of 127.0.0.1 that was free a moment ago.
std::uint16_t FreePort();

// Runs argv to completion with standard input from /dev/null and its standard output
// and standard error in log (when given), in the environment env ("NAME=value" entries,
// nothing else; the test's own when null). Returns its exit status, or -1 when it could
// not run or was killed.
int RunCommand(const std::vector<std::string>& argv, std::string* log = nullptr,
               const std::vector<std::string>* env = nullptr);

// OpenSSL writes with plain write(): a peer that has gone would kill the test with
// SIGPIPE, as the program prevents at start-up.
void IgnoreSigpipe();

class ServerProcess {
 public:
  // The command line of the server for a given port.
  using Command = std::function<std::vector<std::string>(std::uint16_t port)>;

  // Starts the server on a free port and returns once it accepts connections on
  // 127.0.0.1. A server that exits first (its port was taken meanwhile) is started
  // again on another port, a few times. Throws std::runtime_error with the server's
  // output when it never listens.
  explicit ServerProcess(const Command& command);
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  // Stops the server: SIGTERM, then SIGKILL when it lingers.
  ~ServerProcess();

  std::uint16_t Port() const { return port; }
  // What the server has written to standard output and standard error so far.
  std::string Log() const;

 private:
  bool Start(const std::vector<std::string>& argv);
  bool WaitUntilListening();
  void Stop();

  TempDir dir;
  int pid = -1;
  std::uint16_t port = 0;
};

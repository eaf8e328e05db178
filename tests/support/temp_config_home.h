// A temporary XDG_CONFIG_HOME for one test, removed afterwards, so tests never touch
// the user's own settings and can run in parallel. Also runs code as an unprivileged
// user, since the suite may run as root, for whom no permission bit denies anything.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

class TempConfigHome {
 public:
  TempConfigHome() {
    char pattern[] = "/tmp/e-mailer-test-XXXXXX";
    base = mkdtemp(pattern);
    // Searchable by all, so an unprivileged child can reach the config directory.
    std::filesystem::permissions(base, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_exec);
    config = base + "/config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  }

  ~TempConfigHome() {
    std::error_code ignored;
    for (auto& entry : std::filesystem::recursive_directory_iterator(base, ignored)) {
      if (entry.is_directory(ignored)) chmod(entry.path().c_str(), 0700);
    }
    std::filesystem::remove_all(base, ignored);
  }

  // The key file of software\Zelkor\Kestrum\SMTP.
  std::string SmtpKeyFile() const { return config + "/Zelkor/Kestrum/SMTP.reg"; }

  // Writes a file, creating the folders on its way (0700) as the program would.
  void WriteFile(const std::string& path, const std::string& bytes) const {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::filesystem::create_directories(folder);
    std::ofstream(path, std::ios::binary) << bytes;
  }

  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static unsigned Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFFFFF;
  }

  std::string base;
  std::string config;
};

// Runs work as the user "nobody" in a child process when running as root (as work
// would run under an ordinary account) and directly otherwise; returns its text.
inline std::string RunUnprivileged(const std::function<std::string()>& work) {
  if (geteuid() != 0) return work();
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string text = setgid(65534) == 0 && setuid(65534) == 0 ? work() : "setuid failed";
    ssize_t ignored = write(fds[1], text.data(), text.size());
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fds[0]);
  waitpid(child, nullptr, 0);
  return text;
}

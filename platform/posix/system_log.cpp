// The mail log through syslog(3): the C library sends each line as one datagram to
// /dev/log, facility mail, with the program's name and process id.
#include "platform/system_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

void WriteSystemMailLog(std::string_view line) {
  static const bool opened = (openlog(program_invocation_short_name, LOG_PID, LOG_MAIL), true);
  (void)opened;
  syslog(LOG_MAIL | LOG_INFO, "%s", std::string(line).c_str());
}

std::string AppendToLogFile(const std::string& path, std::string_view text, bool (*trusted)(long owner)) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0640);
  if (fd < 0) return std::strerror(errno);
  std::string problem;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = "it is not a regular file";
  } else if (!trusted(static_cast<long>(st.st_uid))) {
    problem = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  }
  while (problem.empty() && !text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) problem = n < 0 ? std::strerror(errno) : "nothing was written";
    if (n > 0) text.remove_prefix(static_cast<std::size_t>(n));
  }
  if (close(fd) != 0 && problem.empty()) problem = std::strerror(errno);
  return problem;
}

long EffectiveUserId() { return static_cast<long>(geteuid()); }

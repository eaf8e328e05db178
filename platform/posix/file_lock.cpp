// The Linux file lock: flock on a lock file, tried until the deadline since flock has
// no time bound of its own.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

CFileLock::CFileLock(const std::string& path, std::uint32_t timeout) {
  // flock needs no more than read access, which the group of a shared spool has.
  int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  struct stat st {};
  if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0777) != 0640) {
    fchmod(fd, 0640);  // the umask may have taken the group's bit
  }
  if (fd < 0) {
    error = "\"" + path + "\": " + std::strerror(errno);
    return;
  }
  handle = fd;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error = "\"" + path + "\": " + std::strerror(errno);
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      busy = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

CFileLock::~CFileLock() {
  if (handle >= 0) close(static_cast<int>(handle));  // releases the lock
}

// The Linux file lock: flock on a lock file, tried until the deadline since flock has
// no time bound of its own.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

CFileLock::CFileLock(const std::string& path, std::uint32_t timeout) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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

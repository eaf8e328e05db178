#include "platform/read_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// One number for a time, to compare: unsigned, so that a time centuries away wraps
// instead of overflowing.
std::uint64_t Nanoseconds(const timespec& time) {
  return static_cast<std::uint64_t>(time.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(time.tv_nsec);
}

}  // namespace

bool CReadOnlyFile::Open(const std::string& path) {
  Close();
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it changes nothing
  // for a regular file.
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Close();
    return false;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

bool CReadOnlyFile::Stamp(CFileStamp& stamp) const {
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 0) return false;
  stamp.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.file = static_cast<std::uint64_t>(st.st_ino);
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.modified = Nanoseconds(st.st_mtim);
  stamp.changed = Nanoseconds(st.st_ctim);
  return true;
}

bool CReadOnlyFile::Read(char* buffer, std::size_t count, std::size_t& bytesRead) {
  bytesRead = 0;
  while (bytesRead < count) {
    ssize_t n = read(fd, buffer + bytesRead, count - bytesRead);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    bytesRead += static_cast<std::size_t>(n);
  }
  return true;
}

void CReadOnlyFile::Close() {
  if (fd >= 0) close(fd);
  fd = -1;
}

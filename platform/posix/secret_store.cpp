// The Linux side of the secret records: files in the XDG state folder, written with
// open/fsync/rename, and flock.
#include "platform/secret_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/private_folder.h"
#include "platform/state_folder.h"

namespace {

constexpr std::size_t recordCap = 1024 * 1024;

std::string Reason(const std::string& path, int error) {
  return "\"" + path + "\": " + std::strerror(error);
}

// Creates every missing folder of path with mode 0700; false with errno set.
bool MakeFolders(const std::string& path) {
  for (std::size_t slash = 1; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Why the record at path cannot be trusted, or "": it and its folder must be the user's
// alone, and the folder above writable by no one else (root aside), or another user
// could have read the tokens or put tokens of their own in their place.
std::string TrustProblem(const std::string& path) {
  const std::string folder = path.substr(0, path.rfind('/'));
  std::string why = PrivatePathProblem(path, false);
  if (why.empty()) why = PrivatePathProblem(folder, true);
  if (!why.empty()) return why;
  const std::string above = folder.substr(0, std::max<std::size_t>(folder.rfind('/'), 1));
  struct stat st {};
  if (lstat(above.c_str(), &st) != 0) return Reason(above, errno);
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    return "\"" + above + "\" is owned by another user (uid " + std::to_string(st.st_uid) + ")";
  }
  // A sticky folder (/tmp) lets no one else replace what the user made in it.
  if ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0) {
    return "\"" + above + "\" is writable by other users";
  }
  return {};
}

}  // namespace

std::string SecretRecordPlace(const std::string& name) { return ProgramStateFolder() + "/" + name; }

SecretRecordRead ReadSecretRecord(const std::string& name) {
  const std::string path = SecretRecordPlace(name);
  SecretRecordRead result;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) result.outcome = SecretRecordRead::Missing;
    result.error = Reason(path, errno);
    return result;
  }
  if (std::string why = TrustProblem(path); !why.empty()) {
    close(fd);
    result.error = why + ": the token store is not trusted";
    return result;
  }
  char buffer[8192];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.error = Reason(path, errno);
      break;
    }
    result.bytes.append(buffer, static_cast<std::size_t>(n));
    if (result.bytes.size() > recordCap) {
      result.error = "\"" + path + "\": larger than 1 MiB";
      break;
    }
  }
  close(fd);
  if (result.error.empty()) result.outcome = SecretRecordRead::Read;
  return result;
}

std::string WriteSecretRecord(const std::string& name, const std::string& bytes) {
  const std::string folder = ProgramStateFolder();
  if (!MakeFolders(folder)) return Reason(folder, errno);
  const std::string path = SecretRecordPlace(name);
  std::string temporary = path + ".XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return Reason(temporary, errno);
  bool written = WriteAll(fd, bytes) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temporary.c_str(), path.c_str()) == 0) return {};
  if (written) error = errno;
  unlink(temporary.c_str());
  return Reason(path, error);
}

CSecretRecordLock::CSecretRecordLock(const std::string& name, std::uint32_t timeout) {
  const std::string folder = ProgramStateFolder();
  const std::string path = SecretRecordPlace(name) + ".lock";
  if (!MakeFolders(folder)) {
    error = Reason(folder, errno);
    return;
  }
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  handle = fd;
  if (fd < 0) {
    error = Reason(path, errno);
    return;
  }
  // flock has no time bound of its own: the lock is tried until the deadline.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error = Reason(path, errno);
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      error = "\"" + path + "\": still locked by another run after " +
              std::to_string(timeout / 1000) + " seconds";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

CSecretRecordLock::~CSecretRecordLock() {
  if (handle >= 0) close(static_cast<int>(handle));  // releases the lock
}

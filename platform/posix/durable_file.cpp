// The Linux durable files: mkostemp, write, fsync, rename, and fsync of the folder,
// whose entry names are data of their own that a crash can lose.
#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Reason(const std::string& path, int error) {
  return "\"" + path + "\": " + std::strerror(error);
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string SyncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Reason(folder, errno);
  const bool synced = fsync(fd) == 0;
  const int error = errno;
  close(fd);
  return synced ? std::string() : Reason(folder, error);
}

}  // namespace

std::string CDurableFile::Create(const std::string& folder, bool groupReadable) {
  Discard();
  std::string pattern = folder + "/" + std::string(temporaryFilePrefix) + "XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return Reason(pattern, errno);
  handle = fd;
  temporaryPath = pattern;
  if (groupReadable && fchmod(fd, 0640) != 0) {
    const int error = errno;
    Discard();
    return Reason(pattern, error);
  }
  return {};
}

std::string CDurableFile::Write(std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = write(static_cast<int>(handle), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Reason(temporaryPath, errno);
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::string CDurableFile::Commit(const std::string& path) {
  const int fd = static_cast<int>(handle);
  handle = -1;
  bool done = fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && done) {
    done = false;
    error = errno;
  }
  if (done && rename(temporaryPath.c_str(), path.c_str()) != 0) {
    done = false;
    error = errno;
  }
  if (!done) {
    unlink(temporaryPath.c_str());
    temporaryPath.clear();
    return Reason(path, error);
  }
  temporaryPath.clear();
  return SyncFolder(FolderOf(path));
}

void CDurableFile::Discard() {
  if (handle >= 0) close(static_cast<int>(handle));
  handle = -1;
  if (!temporaryPath.empty()) unlink(temporaryPath.c_str());
  temporaryPath.clear();
}

std::string ReplaceFileDurably(const std::string& path, std::string_view bytes, bool groupReadable) {
  CDurableFile file;
  std::string error = file.Create(FolderOf(path), groupReadable);
  if (error.empty()) error = file.Write(bytes);
  return error.empty() ? file.Commit(path) : error;
}

std::string MoveFileDurably(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) return Reason(from, errno);
  std::string error = SyncFolder(FolderOf(to));
  if (error.empty() && FolderOf(to) != FolderOf(from)) error = SyncFolder(FolderOf(from));
  return error;
}

std::string RemoveFileDurably(const std::string& path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return Reason(path, errno);
  return SyncFolder(FolderOf(path));
}

// The Linux private folders and the shared spool: owner and mode bits, read with lstat
// so that a symbolic link is seen as one.
#include "platform/private_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>


std::string MakePrivateFolder(const std::string& path) {
  for (std::size_t slash = 0; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return "\"" + folder + "\": " + std::strerror(errno);
    }
  }
  return {};
}

namespace {

// Why path is not a folder (isFolder) or a regular file, or cannot be looked at; empty
// when it is one. st: what lstat found.
std::string KindProblem(const std::string& path, bool isFolder, struct stat& st) {
  if (lstat(path.c_str(), &st) != 0) return "\"" + path + "\": " + std::strerror(errno);
  const bool rightKind = isFolder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
  if (!rightKind) return "\"" + path + "\" is not a " + (isFolder ? "folder" : "regular file");
  return {};
}

std::string OpenProblem(const std::string& path, const struct stat& st, const char* whom) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "\"" + path + "\" is open to " + whom + " (mode " + mode + ")";
}

}  // namespace

std::string PrivatePathProblem(const std::string& path, bool isFolder) {
  struct stat st {};
  std::string problem = KindProblem(path, isFolder, st);
  if (!problem.empty()) return problem;
  if (st.st_uid != geteuid()) {
    return "\"" + path + "\" is owned by another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if ((st.st_mode & 077) != 0) return OpenProblem(path, st, "other users");
  return {};
}

std::string MakeSharedFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return "\"" + path + "\": " + std::strerror(errno);
  struct stat st {};
  // Only a folder this run made (or owns) gets the mode; another is checked as it is. In
  // the system's spool only the keeper makes folders (failed/ and corrupt/, which the
  // postinst makes first): one that a stopped run left at 0700 is its own, and the next
  // run gives it the mode.
  if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
      (st.st_mode & 07777) != 02770 && chmod(path.c_str(), 02770) != 0) {
    return "\"" + path + "\": " + std::strerror(errno);
  }
  return {};
}

std::string TouchSharedFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
  if (fd < 0) return "\"" + path + "\": " + std::strerror(errno);
  close(fd);
  return {};
}

SharedPathCheck CheckSharedPath(const std::string& path, bool isFolder) {
  struct stat st {};
  SharedPathCheck check{KindProblem(path, isFolder, st), false};
  if (!check.problem.empty()) return check;
  if ((st.st_mode & 07) != 0) {
    check.problem = OpenProblem(path, st, "all users");
  } else if (!isFolder && (st.st_mode & S_IWGRP) != 0) {
    check.problem = OpenProblem(path, st, "changes by its group");
  }
  check.callers = st.st_uid == geteuid() || (isFolder && geteuid() == 0);
  return check;
}

long FileOwner(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_uid) : -1;
}

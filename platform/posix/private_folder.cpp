// The Linux private folders: owner and mode bits, read with lstat so that a symbolic
// link is seen as one.
#include "platform/private_folder.h"

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

std::string PrivatePathProblem(const std::string& path, bool isFolder) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "\"" + path + "\": " + std::strerror(errno);
  const bool rightKind = isFolder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
  if (!rightKind) return "\"" + path + "\" is not a " + (isFolder ? "folder" : "regular file");
  if (st.st_uid != geteuid()) {
    return "\"" + path + "\" is owned by another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "\"" + path + "\" is open to other users (mode " + mode + ")";
  }
  return {};
}

// The user's home folder: HOME when it is the user's own, else the passwd entry's.
#include "platform/posix/home_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

std::string UserHomeFolder() {
  const char* home = std::getenv("HOME");
  struct stat st {};
  if (home != nullptr && home[0] == '/' && stat(home, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == getuid()) {
    return home;
  }
  passwd entry {};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return {};
  }
  return found->pw_dir;
}

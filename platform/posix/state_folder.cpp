// The Linux state folders: the XDG base-directory state home, and for root the spool
// folder that the e-mailer-mta package makes.
#include "platform/state_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

std::string ProgramStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // The base-directory rules ignore a relative path.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/e-mailer";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/state/e-mailer";
}

std::string SystemSpoolFolder() {
  constexpr const char* spool = "/var/spool/e-mailer";
  struct stat st {};
  return geteuid() == 0 && lstat(spool, &st) == 0 ? spool : "";
}

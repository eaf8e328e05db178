// The Linux state folders: the XDG base-directory state home, and /var/spool for root.
#include "platform/state_folder.h"

#include <unistd.h>

#include <cstdlib>

std::string ProgramStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // The base-directory rules ignore a relative path.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/e-mailer";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/state/e-mailer";
}

std::string SystemSpoolFolder() { return geteuid() == 0 ? "/var/spool/e-mailer" : ""; }

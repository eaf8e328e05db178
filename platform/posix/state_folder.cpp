// The Linux state folders: the XDG base-directory state home, and the system's spool
// folder that the e-mailer-mta package makes.
#include "platform/state_folder.h"

#include <cstdlib>

#include "platform/posix/home_folder.h"

std::string ProgramStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // The base-directory rules ignore a relative path.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/e-mailer";
  return UserHomeFolder() + "/.local/state/e-mailer";
}

std::string SystemSpoolFolder() { return "/var/spool/e-mailer"; }

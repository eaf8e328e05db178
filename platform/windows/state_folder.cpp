// The Windows state folder: the user's local application data, which stays on this
// machine and which the profile's access rules keep to this user.
#include "platform/state_folder.h"

#include <cstdlib>

std::string ProgramStateFolder() {
  const char* local = std::getenv("LOCALAPPDATA");
  return std::string(local != nullptr ? local : ".") + "\\e-mailer";
}

std::string SystemSpoolFolder() { return {}; }

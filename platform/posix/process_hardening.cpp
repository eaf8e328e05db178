// The start-up hardening on Linux: no core dump, no attaching; the set-group-ID group
// given up.
#include "platform/process_hardening.h"

#include <pwd.h>
#include <unistd.h>

#include <sys/prctl.h>
#include <sys/resource.h>

void HardenProcess() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
}

bool GiveUpProgramGroup() {
  const gid_t group = getgid();
  gid_t real = 0;
  gid_t effective = 0;
  gid_t saved = 0;
  if (getresgid(&real, &effective, &saved) == 0 && effective == group && saved == group) return true;
  // The saved group too, so that nothing run later can take the group back.
  return setresgid(group, group, group) == 0;
}

bool HoldsProgramGroup() { return getegid() != getgid() && getuid() != 0; }

CallerIdentity Caller() { return IdentityOf(static_cast<long>(getuid())); }

CallerIdentity IdentityOf(long number) {
  if (number < 0) return {};
  const auto uid = static_cast<uid_t>(number);
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  CallerIdentity caller;
  caller.uid = static_cast<long>(uid);
  caller.name = getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr
                    ? std::string(found->pw_name)
                    : std::to_string(caller.uid);
  return caller;
}

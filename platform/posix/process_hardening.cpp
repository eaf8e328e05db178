// The start-up hardening on Linux: no core dump, no attaching.
#include "platform/process_hardening.h"

#include <sys/prctl.h>
#include <sys/resource.h>

void HardenProcess() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
}

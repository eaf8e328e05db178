// The Linux side of KeepCoreFilesOff: RLIMIT_CORE.
#include "platform/core_dump.h"

#include <sys/resource.h>

void KeepCoreFilesOff() {
  rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

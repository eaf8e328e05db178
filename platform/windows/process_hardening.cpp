// The start-up hardening on Windows: DLLs from the system folder only, no crash report.
#include "platform/process_hardening.h"

#include <windows.h>

void HardenProcess() {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // A crash makes no error report, which would hold the process's memory.
  SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
}

bool GiveUpProgramGroup() { return true; }  // Windows has no set-group-ID programs

bool HoldsProgramGroup() { return false; }

CallerIdentity Caller() { return {}; }

CallerIdentity IdentityOf(long) { return {}; }

// The Windows side of KeepCoreFilesOff: the system writes no dump of a crashed program
// unless an administrator has set Windows Error Reporting's LocalDumps up; SetErrorMode
// keeps the crash from waiting in the report dialog, which may send one.
#include "platform/core_dump.h"

#include <windows.h>

void KeepCoreFilesOff() { SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX); }

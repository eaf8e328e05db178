// What the program does first at its start, before it reads a password, to keep what it
// holds in memory to itself and to load no code planted beside it. It changes the whole
// process for its whole life, so the program calls it and the engine's library never
// does.
#pragma once

// Linux: the process is not dumpable (PR_SET_DUMPABLE 0: no core dump, and the user's
// other processes may not attach to it or read its memory) and its core size limit is 0
// (RLIMIT_CORE, which the commands it runs inherit). Windows: DLLs are loaded only from
// the system folder (SetDefaultDllDirectories), so none planted beside an unpacked
// program is, and a crash makes no error report (SEM_NOGPFAULTERRORBOX). A step the system
// refuses is passed over: the program runs on as it would have.
void HardenProcess();

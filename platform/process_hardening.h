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

// Gives up for good the group that the program's set-group-ID bit gave it (the sendmail of
// the e-mailer-mta package runs with the group e-mailer, which alone may read the
// system's settings and enter the system's spool), so that a run that uses the caller's
// own settings reads and runs what they name with the caller's rights alone. True when
// the process holds no such group any more (also when it never held one, and always on
// Windows); false when the system refused.
bool GiveUpProgramGroup();

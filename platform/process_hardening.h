// What the program does first at its start, before it reads a password, to keep what it
// holds in memory to itself and to load no code planted beside it. It changes the whole
// process for its whole life, so the program calls it and the engine's library never
// does.
#pragma once

#include <string>

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

// True while the process holds a group that its caller does not, and the caller is not
// root (the set-group-ID sendmail of e-mailer-mta, started by a user other than root and
// e-mailer, who may read the system's settings anyway): such a run is the submission
// half alone (app/sendmail/face.h). Always false on Windows.
bool HoldsProgramGroup();

// The user who started the process, for the mail log: the name of the real user id
// (its number when the passwd database has no name) and that number; "" and -1 on
// Windows.
struct CallerIdentity {
  std::string name;
  long uid = -1;
};
CallerIdentity Caller();
// The same for the user uid (a queue entry's owner); "" and -1 for -1.
CallerIdentity IdentityOf(long uid);

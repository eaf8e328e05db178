// The folders where the program keeps what outlives a run: the user's own state folder
// (the OAuth 2.0 tokens, the queue of the sendmail face) and the system's spool folder,
// the queue of every run that uses the system's settings.
#pragma once

#include <string>

// The user's state folder of the program (it may not exist yet): on Linux
// ${XDG_STATE_HOME:-$HOME/.local/state}/e-mailer, a relative XDG_STATE_HOME ignored as
// the base-directory rules say, HOME as UserHomeFolder finds it (posix/home_folder.h); on
// Windows %LOCALAPPDATA%\e-mailer.
std::string ProgramStateFolder();

// The system's spool folder (it may not exist yet): on Linux /var/spool/e-mailer, which
// the e-mailer-mta package makes, shared by every user through the program's group;
// empty on Windows, where every user keeps a queue of their own.
std::string SystemSpoolFolder();

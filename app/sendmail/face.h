// The sendmail face of the program: run under the name "sendmail" or
// "e-mailer-sendmail", it takes the sendmail command line and a message on standard
// input, sends the message through the server of the settings and exits with a status
// of sysexits.h, saying on standard error in one line what went wrong; a message that
// cannot be sent now is queued instead (app/sendmail/queue.h). It never shows a window
// and never waits for a person.
#pragma once

#include <string>
#include <vector>

// arguments: those after the program name. Returns the exit status.
int SendmailMain(std::vector<std::string> arguments);

// e-mailer --flush-due, the flush of the timers: sends only the entries whose back-off
// has passed, where -q sends every entry now. Returns the exit status, as -q's.
int SendmailFlushDueMain();

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

// The submission half: the run of a program that holds a group its caller does not
// (HoldsProgramGroup: the set-group-ID /usr/sbin/sendmail of e-mailer-mta started by an
// ordinary user), whatever its name and arguments. arguments: the sendmail face's, -bp
// first for mailq and -bi for newaliases. With the system's settings it only hands the
// message in: it reads and checks it as the face does, writes its entry to the system's
// spool, asks the keeper to flush (queue/queue.h: .flush-requested), writes the log line
// and gives the group up; "queued as ID" only with -v. It never reads a secret of the
// settings, runs a command, connects or loads a library for that. -bp lists the
// caller's own entries, -q asks the keeper to flush. A caller with settings of their own
// gives the group up first and runs the face as SendmailMain does. Returns the exit
// status.
int SendmailSubmitMain(std::vector<std::string> arguments);

// e-mailer --flush-due, the flush of the timers: sends only the entries whose back-off
// has passed, where -q sends every entry now. Returns the exit status, as -q's.
int SendmailFlushDueMain();

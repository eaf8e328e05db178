// The system's mail log, where an administrator looks for what became of a message:
// on Linux syslog with the facility mail (Debian's rsyslog writes it to
// /var/log/mail.log, and the journal shows it), tagged with the program's name and
// process id; on Windows the Application event log, as an information event of the
// source "e-mailer".
#pragma once

#include <string_view>

// Writes one line at the priority info. The line must hold no control character (the
// caller escapes its values). Never fails: a log that cannot be reached loses the line,
// and the run goes on.
void WriteSystemMailLog(std::string_view line);

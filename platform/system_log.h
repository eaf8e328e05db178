// The system's mail log, where an administrator looks for what became of a message:
// on Linux syslog with the facility mail (Debian's rsyslog writes it to
// /var/log/mail.log, and the journal shows it), tagged with the program's name and
// process id; on Windows the Application event log, as an information event of the
// source "e-mailer".
#pragma once

#include <string>
#include <string_view>

// Writes one line at the priority info. The line must hold no control character (the
// caller escapes its values). Never fails: a log that cannot be reached loses the line,
// and the run goes on.
void WriteSystemMailLog(std::string_view line);

// Appends text to the log file path (the setting LogFile): opened to append only, made
// with mode 0640 when missing, never through a symbolic link, closed on exec, and refused
// when its owner is not one that trusted(owner) accepts (a file another user placed,
// which that user may read). Empty, or why it could not be written. On Windows the
// owner is not looked at.
std::string AppendToLogFile(const std::string& path, std::string_view text, bool (*trusted)(long owner));
// The effective user id of the run (-1 on Windows), the owner a file the run made has.
long EffectiveUserId();

// Where a report the user asked for (e-mailer --check) is written: standard output,
// or, for a program that Windows started with a console of its own (from Explorer,
// which closes that console when the program ends), the message box as well.
#pragma once

#include <string>

// Writes text (in the ANSI code page) to standard output and flushes it; where the
// console is the program's own, also shows it in the message box (message_box.h).
// False when standard output could not be written.
bool WriteReport(const std::string& text);

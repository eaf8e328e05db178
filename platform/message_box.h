// The message box service: shows a text to the user with a single OK button, titled
// with the program's name, and returns when it is dismissed or, left alone, after ten
// seconds, so an unattended caller is never blocked for long. With a display and the
// window module (window_module.h) it is a real window, no larger than the screen, whose
// text is cut where it does not fit; otherwise the text goes to standard error, prefixed
// with the program's name and made safe for a terminal (terminal_text.h), and nothing
// waits.
#pragma once

#include <string>

// A message box left alone closes itself this long after it is shown.
constexpr unsigned messageBoxCloseAfterMs = 10000;

// The text is in the ANSI code page.
void ShowMessageBox(const std::string& text);

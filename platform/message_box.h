// The message box service: shows a text to the user with a single OK button, titled
// with the program's name, and returns when it is dismissed. With a display and the
// window module (window_module.h) it is a real window; otherwise the text goes to
// standard error, prefixed with the program's name, and nothing waits.
#pragma once

#include <string>

// The text is in the ANSI code page.
void ShowMessageBox(const std::string& text);

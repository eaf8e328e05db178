// The message box service: shows a text to the user with a single OK button and
// returns when it is dismissed. Without a window system the text goes to standard
// error, prefixed with the program's name, and nothing waits.
#pragma once

#include <string>

void ShowMessageBox(const std::string& text);

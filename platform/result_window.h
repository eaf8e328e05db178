// The result dialog service: runs a dialog template of window_module.h with one text.
// On Windows the template is the program's dialog resource 101 (windows/result_dialog.rc),
// which holds the same values, and the one passed is not read.
// With a display and the window module it is a real modal window; otherwise the text
// goes to standard error, prefixed with the program's name and made safe for a terminal
// (terminal_text.h), and nothing waits. Either way a text is cut at messageTextLimit.
#pragma once

#include <string>

#include "platform/window_module.h"

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// IDOK or IDCANCEL; IDOK at once when the text went to standard error. The text is in
// the ANSI code page.
int RunResultDialog(const ResultDialogTemplate& dialog, const std::string& text,
                    unsigned closeAfterMs);

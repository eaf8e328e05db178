#include "platform/result_window.h"

#include "platform/code_page.h"
#include "platform/terminal_text.h"

int RunResultDialog(const ResultDialogTemplate& dialog, const std::string& text,
                    unsigned closeAfterMs) {
  if (const WindowModule* module = LoadWindowModule()) {
    std::string shown = Utf8FromAnsi(CutMessageText(text, AnsiCodePageIsUtf8()));
    int result = module->runResultDialog(&dialog, shown.c_str(), closeAfterMs);
    if (result == IDOK || result == IDCANCEL) return result;
  }
  WriteErrorLine(text);
  return IDOK;
}

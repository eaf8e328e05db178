#include "platform/message_box.h"

#include <cerrno>

#include "platform/code_page.h"
#include "platform/terminal_text.h"
#include "platform/window_module.h"

void ShowMessageBox(const std::string& text) {
  if (const WindowModule* module = LoadWindowModule()) {
    std::string shown = Utf8FromAnsi(CutMessageText(text, AnsiCodePageIsUtf8()));
    if (module->showMessageBox(program_invocation_short_name, shown.c_str(),
                               messageBoxCloseAfterMs) >= 0) {
      return;
    }
  }
  WriteErrorLine(text);
}

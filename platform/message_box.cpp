#include "platform/message_box.h"

#include <cerrno>
#include <cstdio>

#include "platform/code_page.h"
#include "platform/window_module.h"

void ShowMessageBox(const std::string& text) {
  if (const WindowModule* module = LoadWindowModule()) {
    if (module->showMessageBox(program_invocation_short_name, Utf8FromAnsi(text).c_str()) == 0) {
      return;
    }
  }
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
}

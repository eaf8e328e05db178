#include "platform/result_window.h"

#include <cerrno>
#include <cstdio>

#include "platform/code_page.h"

int RunResultDialog(const ResultDialogTemplate& dialog, const std::string& text,
                    unsigned closeAfterMs) {
  if (const WindowModule* module = LoadWindowModule()) {
    int result = module->runResultDialog(&dialog, Utf8FromAnsi(text).c_str(), closeAfterMs);
    if (result == IDOK || result == IDCANCEL) return result;
  }
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
  return IDOK;
}

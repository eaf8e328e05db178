#include "platform/message_box.h"

#include <cerrno>
#include <cstdio>

void ShowMessageBox(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
}

// Reports on Windows: standard output, and the message box when the console is the
// program's own (no other process attached to it), as Windows makes one for a console
// program started from Explorer and closes it when the program ends.
#include "platform/report_output.h"

#include <windows.h>

#include <cstdio>

#include "platform/message_box.h"

bool WriteReport(const std::string& text) {
  bool written = std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) ShowMessageBox(text);
  return written;
}

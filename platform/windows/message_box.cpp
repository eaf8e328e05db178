// The message box service on Windows: MessageBoxA with the program's name as caption,
// closed by a thread timer when left alone; standard error when no box can be shown.
#include "platform/message_box.h"

#include <windows.h>

#include "platform/code_page.h"
#include "platform/terminal_text.h"
#include "platform/windows/program_name.h"

namespace {

// The message box's own modal loop dispatches the thread timer's message here; the box
// is the dialog window ("#32770") of this thread.
void CALLBACK CloseMessageBox(HWND, UINT, UINT_PTR, DWORD) {
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM) -> BOOL {
        char className[16] = {};
        GetClassNameA(window, className, sizeof className);
        if (lstrcmpA(className, "#32770") == 0) PostMessageA(window, WM_CLOSE, 0, 0);
        return TRUE;
      },
      0);
}

}  // namespace

void ShowMessageBox(const std::string& text) {
  std::string shown = CutMessageText(text, AnsiCodePageIsUtf8());
  UINT_PTR timer = SetTimer(nullptr, 0, messageBoxCloseAfterMs, CloseMessageBox);
  int result = MessageBoxA(nullptr, shown.c_str(), ProgramName(), MB_OK | MB_SETFOREGROUND | MB_TASKMODAL);
  if (timer != 0) KillTimer(nullptr, timer);
  // No box could be shown: 0 on Windows, -1 under Wine without a display.
  if (result <= 0) WriteErrorLine(text);
}

// The result dialog as a Win32 modal dialog, from the program's dialog resource
// (result_dialog.rc, compiled with windres into every program that links this layer).
// It comes to the front and closes itself with IDOK when its timer fires. Standard
// error takes the text when no dialog can be made.
#include "platform/result_window.h"

// After the program's header: <windows.h> defines IDOK and IDCANCEL as macros of the
// same values.
#include <windows.h>

#include "platform/code_page.h"
#include "platform/terminal_text.h"
#include "platform/windows/result_dialog_resource.h"

namespace {

constexpr UINT_PTR closeTimer = 1;

struct DialogStart {
  const std::string* text;
  unsigned closeAfterMs;
};

INT_PTR CALLBACK ResultDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* start = reinterpret_cast<const DialogStart*>(lParam);
      SetDlgItemTextA(dialog, IDC_RESULT_TEXT, start->text->c_str());
      SetTimer(dialog, closeTimer, start->closeAfterMs, nullptr);
      SetForegroundWindow(dialog);
      return TRUE;  // the focus goes to the OK button
    }
    case WM_TIMER:
      if (wParam != closeTimer) return FALSE;
      KillTimer(dialog, closeTimer);
      EndDialog(dialog, IDOK);
      return TRUE;
    case WM_COMMAND:
      // Enter gives IDOK, Escape and the close box IDCANCEL.
      if (LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL) return FALSE;
      KillTimer(dialog, closeTimer);
      EndDialog(dialog, LOWORD(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int RunResultDialog(const ResultDialogTemplate& /*resource 101*/, const std::string& text,
                    unsigned closeAfterMs) {
  std::string shown = CutMessageText(text, AnsiCodePageIsUtf8());
  DialogStart start{&shown, closeAfterMs};
  INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_RESULT_DIALOG),
                                   nullptr, ResultDialogProc, reinterpret_cast<LPARAM>(&start));
  if (result == IDOK || result == IDCANCEL) return static_cast<int>(result);
  WriteErrorLine(text);
  return IDOK;
}

// The result dialog as a Win32 modal dialog, made from the program's dialog template
// (window_module.h) at run time: the caption, the centred and wrapped static text, the
// default OK button, all in dialog units of the dialog font. It comes to the front and
// closes itself with IDOK when its timer fires. Standard error takes the text when no
// dialog can be made.
#include "platform/result_window.h"

// After the program's header: <windows.h> defines IDOK and IDCANCEL as macros of the
// same values.
#include <windows.h>

#include <vector>

#include "platform/code_page.h"
#include "platform/terminal_text.h"

namespace {

constexpr WORD textId = 1000;
constexpr UINT_PTR closeTimer = 1;
constexpr WORD staticClass = 0x0082;
constexpr WORD buttonClass = 0x0080;

// A dialog template in memory: WORDs, with items on DWORD boundaries.
class TemplateWriter {
 public:
  void Word(WORD w) { words.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(const char* ansi) {
    for (char16_t unit : AnsiToUtf16(ansi)) Word(static_cast<WORD>(unit));
    Word(0);
  }
  void AlignToDword() {
    if (words.size() % 2 != 0) Word(0);
  }
  void Rect(const DialogUnitsRect& r) {
    for (int v : {r.x, r.y, r.width, r.height}) Word(static_cast<WORD>(static_cast<short>(v)));
  }
  void Item(DWORD style, const DialogUnitsRect& rect, WORD id, WORD windowClass, const char* text) {
    AlignToDword();
    Dword(style | WS_CHILD | WS_VISIBLE);
    Dword(0);  // extended style
    Rect(rect);
    Word(id);
    Word(0xFFFF);
    Word(windowClass);
    Text(text);
    Word(0);  // no creation data
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words.data()); }

 private:
  std::vector<WORD> words;
};

TemplateWriter MakeTemplate(const ResultDialogTemplate& dialog) {
  TemplateWriter t;
  t.Dword(DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);
  t.Dword(0);  // extended style
  t.Word(2);   // items
  t.Rect(dialog.client);
  t.Word(0);  // no menu
  t.Word(0);  // the dialog class
  t.Text(dialog.caption);
  t.Word(8);
  t.Text("MS Shell Dlg");
  t.Item(SS_CENTER | SS_NOPREFIX, dialog.text, textId, staticClass, "");
  t.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, dialog.okButton, IDOK, buttonClass, dialog.okText);
  return t;
}

struct DialogStart {
  const std::string* text;
  unsigned closeAfterMs;
};

INT_PTR CALLBACK ResultDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* start = reinterpret_cast<const DialogStart*>(lParam);
      SetDlgItemTextA(dialog, textId, start->text->c_str());
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

int RunResultDialog(const ResultDialogTemplate& dialog, const std::string& text,
                    unsigned closeAfterMs) {
  std::string shown = CutMessageText(text, AnsiCodePageIsUtf8());
  DialogStart start{&shown, closeAfterMs};
  TemplateWriter dialogTemplate = MakeTemplate(dialog);
  INT_PTR result = DialogBoxIndirectParamA(GetModuleHandleA(nullptr), dialogTemplate.Get(), nullptr,
                                           ResultDialogProc, reinterpret_cast<LPARAM>(&start));
  if (result == IDOK || result == IDCANCEL) return static_cast<int>(result);
  WriteErrorLine(text);
  return IDOK;
}

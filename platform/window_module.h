// The windows of the program come from a GTK 3 module, e-mailer-gtk.so, that is loaded
// with dlopen only when a window is to be shown and a display is there (DISPLAY or
// WAYLAND_DISPLAY), so the program itself never links GTK and runs on machines without
// it. This header is the C interface between the two; texts cross it as UTF-8.
#pragma once

extern "C" {

// A rectangle in dialog units: a quarter of the font's average character width
// horizontally, an eighth of its height vertically.
struct DialogUnitsRect {
  int x;
  int y;
  int width;
  int height;
};

// The result dialog's template: a caption, a client area, a static text area whose
// text is centred, wrapped and cut off where it does not fit, and a default OK button.
struct ResultDialogTemplate {
  const char* caption;
  DialogUnitsRect client;
  DialogUnitsRect text;
  DialogUnitsRect okButton;
  const char* okText;
};

// Shows text in a modal message box with an OK button, titled caption, no larger than
// the screen (the text is wrapped and cut to the lines that fit). Returns 1 after OK or
// Enter, 2 after Escape, the close box, or closeAfterMs since it was shown; -1 when no
// window can be opened.
using ShowMessageBoxFunction = int (*)(const char* caption, const char* text,
                                       unsigned closeAfterMs);

// Runs the result dialog modally, in front, until OK or Enter (1), Escape or the close
// box (2), or until closeAfterMs have passed since it was shown (1); -1 when no window
// can be opened.
using RunResultDialogFunction = int (*)(const ResultDialogTemplate* dialog, const char* text,
                                        unsigned closeAfterMs);
}

// The names under which the module exports the two functions.
constexpr const char* showMessageBoxSymbol = "EmailerShowMessageBox";
constexpr const char* runResultDialogSymbol = "EmailerRunResultDialog";

struct WindowModule {
  ShowMessageBoxFunction showMessageBox;
  RunResultDialogFunction runResultDialog;
};

// The module, looked for beside the executable and then in ../lib/e-mailer/ (the
// installed layout); null when there is no display or no usable module. It is loaded
// once and never unloaded, since GTK cannot be unloaded safely.
const WindowModule* LoadWindowModule();

// The result dialog's template 101, stated once for both systems: the resource script of
// Windows (platform/windows/result_dialog.rc, through windres's C preprocessor) and the
// template that app/ hands to the window module on Linux read it, so this header holds
// #define lines alone. Rectangles are x, y, width, height in dialog units of the
// dialog's font: the text area holds about two lines of centred text, and what does
// not fit is cut off.
#pragma once

#define RESULT_DIALOG_CAPTION "e-mailer"
#define RESULT_DIALOG_RECT 0, 0, 209, 47
#define RESULT_DIALOG_TEXT_RECT 7, 7, 195, 20
#define RESULT_DIALOG_OK_RECT 83, 29, 50, 14
#define RESULT_DIALOG_OK_TEXT "OK"

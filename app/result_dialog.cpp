#include "app/result_dialog.h"

#include "platform/result_window.h"

namespace {

// Dialog template 101, in dialog units: the text area holds about two lines of centred
// text, and what does not fit is cut off.
constexpr ResultDialogTemplate resultDialogTemplate{
    "e-mailer",
    {0, 0, 209, 47},
    {7, 7, 195, 20},
    {83, 29, 50, 14},
    "OK",
};

// The dialog closes itself this long after it is shown, with the OK result.
constexpr unsigned closeTimerMs = 10000;

}  // namespace

int CResultDialog::DoModal() { return RunResultDialog(resultDialogTemplate, m_sText, closeTimerMs); }

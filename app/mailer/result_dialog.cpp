#include "app/mailer/result_dialog.h"

#include "platform/result_dialog_layout.h"
#include "platform/result_window.h"

namespace {

// Dialog template 101, as the resource script of Windows has it.
constexpr ResultDialogTemplate resultDialogTemplate{
    RESULT_DIALOG_CAPTION,
    {RESULT_DIALOG_RECT},
    {RESULT_DIALOG_TEXT_RECT},
    {RESULT_DIALOG_OK_RECT},
    RESULT_DIALOG_OK_TEXT,
};

// The dialog closes itself this long after it is shown, with the OK result.
constexpr unsigned closeTimerMs = 10000;

}  // namespace

int CResultDialog::DoModal() { return RunResultDialog(resultDialogTemplate, m_sText, closeTimerMs); }

// The ids of the result dialog's resource: read by the resource script
// (result_dialog.rc, through windres's C preprocessor) and by the code that runs the
// dialog, so this header holds #define lines alone.
#pragma once

#define IDD_RESULT_DIALOG 101
#define IDC_RESULT_TEXT 200

// The result dialog: one line or two of result text under the caption "e-mailer", with
// an OK button. It comes to the front by itself and closes itself 10 seconds after it is
// shown, so an unattended caller is never blocked for long.
#pragma once

#include <string>

class CResultDialog {
 public:
  enum { IDD = 101 };

  // Shows m_sText modally: IDOK after OK, Enter or the 10 seconds, IDCANCEL after
  // Escape or the close box. Without a window the text goes to standard error and the
  // result is IDOK at once.
  int DoModal();

  std::string m_sText;
};

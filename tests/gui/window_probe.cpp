// Test driver for the windows: shows the result dialog or an error's message box the
// way the program does, and prints how the window ended.
//   window_probe dialog TEXT   CResultDialog with TEXT; prints IDOK or IDCANCEL
//   window_probe report CODE   ReportError of a socket error CODE; prints "reported"
//   window_probe box TEXT [N]  the message box with TEXT repeated N times (a text longer
//                              than a command line may be); prints "shown"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/mailer/result_dialog.h"
#include "errors/exceptions.h"
#include "platform/message_box.h"
#include "platform/result_window.h"

int main(int argc, char* argv[]) {
  if (argc == 3 && std::strcmp(argv[1], "dialog") == 0) {
    CResultDialog dialog;
    dialog.m_sText = argv[2];
    std::puts(dialog.DoModal() == IDOK ? "IDOK" : "IDCANCEL");
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "report") == 0) {
    CWSocketException(std::atoi(argv[2])).ReportError();
    std::puts("reported");
    return 0;
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "box") == 0) {
    std::string text;
    for (int n = argc == 4 ? std::atoi(argv[3]) : 1; n > 0; --n) text += argv[2];
    ShowMessageBox(text);
    std::puts("shown");
    return 0;
  }
  std::fprintf(stderr, "usage: window_probe dialog TEXT | report CODE | box TEXT [N]\n");
  return 2;
}

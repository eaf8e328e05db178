// Test driver for the windows: shows the result dialog or an error's message box the
// way the program does, and prints how the window ended.
//   window_probe dialog TEXT   CResultDialog with TEXT; prints IDOK or IDCANCEL
//   window_probe report CODE   ReportError of a socket error CODE; prints "reported"
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/result_dialog.h"
#include "errors/exceptions.h"
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
  std::fprintf(stderr, "usage: window_probe dialog TEXT | report CODE\n");
  return 2;
}

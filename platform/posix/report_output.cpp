// Reports on Linux: standard output, the terminal or pipe of whoever started the run.
#include "platform/report_output.h"

#include <cstdio>

bool WriteReport(const std::string& text) {
  return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
}

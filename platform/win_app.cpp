#include "platform/win_app.h"

#include <clocale>
#include <utility>

void CCommandLineInfo::ParseParam(const char*, bool, bool) {}

CWinApp::CWinApp(std::vector<std::string> commandLine) : arguments(std::move(commandLine)) {}

int CWinApp::Run() {
  // The code page is the locale's character set, the one category the program uses (day
  // and month names are always the "C" locale's, every text is its own). Loading the
  // others read a dozen files at every start for nothing.
  std::setlocale(LC_CTYPE, "");
  InitInstance();
  return ExitInstance();
}

bool CWinApp::InitInstance() { return false; }

int CWinApp::ExitInstance() { return m_nExitCode; }

void CWinApp::ParseCommandLine(CCommandLineInfo& info) const {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool flag = !argument.empty() && (argument[0] == '-' || argument[0] == '/');
    info.ParseParam(argument.c_str() + (flag ? 1 : 0), flag, i + 1 == arguments.size());
  }
}

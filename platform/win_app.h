// The application framework the program is built on: an application object with a
// start-up and an exit routine, and the command-line parsing that feeds it. There is no
// message loop: the exit routine follows the start-up routine, and its result is the
// process's exit code.
#pragma once

#include <string>
#include <vector>

class CCommandLineInfo {
 public:
  virtual ~CCommandLineInfo() = default;

  // One parameter after the program name, in command-line order: param has one leading
  // '-' or '/' removed and flag tells whether it had one; last marks the final one. The
  // base class keeps nothing.
  virtual void ParseParam(const char* param, bool flag, bool last);
};

class CWinApp {
 public:
  // commandLine: the parameters after the program name, as the shell has split them.
  explicit CWinApp(std::vector<std::string> commandLine);
  virtual ~CWinApp() = default;

  // The framework's main routine: takes the user's locale (and with it the ANSI code
  // page), runs InitInstance, then ExitInstance, and returns the latter's result.
  int Run();

  virtual bool InitInstance();
  // Returns m_nExitCode.
  virtual int ExitInstance();

  // Hands every parameter to info.ParseParam.
  void ParseCommandLine(CCommandLineInfo& info) const;

 protected:
  int m_nExitCode = 0;

 private:
  std::vector<std::string> arguments;
};

// Prepares the process for socket work. On Linux SIGPIPE is ignored, since the TLS
// library writes with plain write() and a closed peer must come back as an error, not
// end the process; that always succeeds. On Windows it starts Windows Sockets 2.2
// (WSAStartup), and is false when they cannot be started.
bool AfxSocketInit();

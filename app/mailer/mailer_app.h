// The e-mailer application: its whole behaviour is one run of the start-up routine,
// which uses the account that "--account" chose, prepares the socket library and the
// TLS library's lock table, reads the command line and, when there is a subject, performs the send run (which starts the TLS library
// when it uses TLS); the exit routine releases the TLS library's state.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/win_app.h"

class CMailerApp : public CWinApp {
 public:
  // account: the name that "--account" gave, taken out of commandLine; "" for the
  // default account.
  explicit CMailerApp(std::vector<std::string> commandLine, std::string account = "")
      : CWinApp(std::move(commandLine)), m_sAccount(std::move(account)) {}

  // Performs the run; always answers false (there is no message loop to enter). The
  // run's outcome is left in m_nExitCode (app/run/exit_codes.h).
  bool InitInstance() override;

  // Releases the TLS library's global state and the lock table; returns the exit code.
  int ExitInstance() override;

 private:
  std::string m_sAccount;
};

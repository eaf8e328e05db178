// The e-mailer application: its whole behaviour is one run of the start-up routine,
// which prepares the socket library and the TLS library's lock table, reads the command
// line and, when there is a subject, performs the send run (which starts the TLS library
// when it uses TLS); the exit routine releases the TLS library's state.
#pragma once

#include "platform/win_app.h"

class CMailerApp : public CWinApp {
 public:
  using CWinApp::CWinApp;

  // Performs the run; always answers false (there is no message loop to enter). The
  // run's outcome is left in m_nExitCode (app/run/exit_codes.h).
  bool InitInstance() override;

  // Releases the TLS library's global state and the lock table; returns the exit code.
  int ExitInstance() override;
};

// The e-mailer application: its whole behaviour is one run of the start-up routine,
// which uses the account that "--account" chose, prepares the socket library and the
// TLS library's lock table, reads the command line and, when there is a subject, checks
// the files that the script options name and performs the send run (which starts the TLS library
// when it uses TLS); the exit routine releases the TLS library's state.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/mailer/command_line.h"
#include "app/mailer/script_options.h"
#include "platform/win_app.h"

class CMailerApp : public CWinApp {
 public:
  // account: the name that "--account" gave, taken out of commandLine; "" for the
  // default account. options: the script options, taken out of commandLine too.
  explicit CMailerApp(std::vector<std::string> commandLine, std::string account = "", ScriptOptions options = {})
      : CWinApp(std::move(commandLine)), m_sAccount(std::move(account)), m_options(std::move(options)) {}

  // Performs the run; always answers false (there is no message loop to enter). The
  // run's outcome is left in m_nExitCode (app/run/exit_codes.h).
  bool InitInstance() override;

  // Releases the TLS library's global state and the lock table; returns the exit code.
  int ExitInstance() override;

 private:
  // The send run with its parameters and the script options: refused (64) when the
  // options and the parameters both give the subject or the body, or no subject is
  // there; 66 or 74 when a file of the options cannot be read (CScriptFiles).
  int ScriptSendRun(const MailerRunParameters& run) const;

  std::string m_sAccount;
  ScriptOptions m_options;
};

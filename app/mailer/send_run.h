// The program's send run: reads the SMTP settings, connects, sends one message with the
// subject and the body (and what the script options add), disconnects and reports the
// outcome in the result dialog, or with --json as one JSON object on standard output.
#pragma once

#include <string>

#include "app/mailer/command_line.h"
#include "app/mailer/script_message.h"
#include "app/mailer/script_options.h"
#include "app/run/exit_codes.h"

// What one run sends: the command line's subject, body and "showui", the script options
// (none given: the message of the settings alone), the files they name, checked and
// ready, and the account chosen (empty: the default one), for a queued message.
struct SendRequest {
  const MailerRunParameters& run;
  const ScriptOptions& options;
  const CScriptFiles& files;
  const std::string& account;
};

int SendRun(const SendRequest& request);

// The program's send run: reads the SMTP settings, connects, sends one message with the
// subject and the body, disconnects and reports the outcome in the result dialog.
#pragma once

#include <string>

#include "app/run/exit_codes.h"

MailerExitCode SendRun(const std::string& subject, const std::string& body, bool showUi);

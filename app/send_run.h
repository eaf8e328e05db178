// The send run: reads the SMTP settings, connects, sends one message with the subject
// and the body, disconnects and reports the outcome in the result dialog.
#pragma once

#include <cstdint>
#include <string>

#include "app/exit_codes.h"

// The bound of every wait that the settings give (Timeout), in milliseconds, as the
// send run reads it.
std::uint32_t RunTimeout();

MailerExitCode SendRun(const std::string& subject, const std::string& body, bool showUi);

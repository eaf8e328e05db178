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

// The run's charset for the message text: "iso-8859-1" where the ANSI code page is
// Latin-1, "UTF-8" everywhere else.
std::string RunCharset();

class CTAVSMTPConnection;

// Connects as the settings say (server, port, SSL, StartTLS, the TLS check, Timeout, the
// user and the password or password command) with the given authentication method. The
// caller holds a CSettingsReadOnce. Raises what CTAVSMTPConnection::Connect raises, and
// 553 when the password command fails.
void ConnectWithSettings(CTAVSMTPConnection& connection, int authMethod);

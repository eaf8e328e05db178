// The connect step that both faces share, and the charset of their message text.
#pragma once

#include <string>

// The run's charset for the message text: "iso-8859-1" where the ANSI code page is
// Latin-1, "UTF-8" everywhere else.
std::string RunCharset();

class CTAVSMTPConnection;

// Connects as the settings say (server, port, SSL, StartTLS, the TLS check, Timeout, the
// user and the password or password command) with the given authentication method. The
// caller holds a CSettingsReadOnce. Raises what CTAVSMTPConnection::Connect raises, 553
// when the password command fails, and CSettingError when Server is empty (naming where
// the settings were looked for) or the system's settings name the program's OAuth client.
void ConnectWithSettings(CTAVSMTPConnection& connection, int authMethod);

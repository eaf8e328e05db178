// The connect step that both faces share, and the charset of their message text.
#pragma once

#include <string>

// The run's charset for the message text: "iso-8859-1" where the ANSI code page is
// Latin-1, "UTF-8" everywhere else.
std::string RunCharset();

class CTAVSMTPConnection;

// SSL: whether the connection starts with TLS, read with atoi as it always was ("1",
// "0", "2", "-1", " 1", "1 yes"). A text that does not start with a number ("yes",
// "true", "on") would read as 0 and send the password in clear: it raises
// CSettingError naming the value and what it holds. Missing or empty: false.
bool ReadSslSetting();

// Connects as the settings say (server, port, SSL, StartTLS, the TLS check, Timeout, the
// user and the password or password command) with the given authentication method. The
// caller holds a CSettingsReadOnce. Raises what CTAVSMTPConnection::Connect raises, 553
// when the password command fails, and CSettingError (before anything is sent or run)
// for a setting that ReadSslSetting or ReadDwordSetting refuses.
void ConnectWithSettings(CTAVSMTPConnection& connection, int authMethod);

// The outcome of a sendmail-face run that did not send: a status from sysexits.h, which
// cron, PHP and git read, and the one line that says on standard error what happened.
#pragma once

#include <string>

#include "errors/exceptions.h"

enum SendmailStatus : int {
  SendmailSent = 0,
  SendmailUsage = 64,        // EX_USAGE: a wrong command line, no recipients
  SendmailDataError = 65,    // EX_DATAERR: a message that cannot be sent as it is
  SendmailNoUser = 67,       // EX_NOUSER: a recipient refused, a local name without address
  SendmailNoHost = 68,       // EX_NOHOST: the server's name is not known
  SendmailUnavailable = 69,  // EX_UNAVAILABLE: the server refused for good (5xx)
  SendmailSystemError = 71,  // EX_OSERR
  SendmailInputError = 74,   // EX_IOERR: standard input could not be read
  SendmailTemporary = 75,    // EX_TEMPFAIL: connect, timeout, 4xx: try again later
  SendmailNoPermission = 77,  // EX_NOPERM: authentication refused
  SendmailConfigError = 78   // EX_CONFIG: settings missing or wrong
};

// Thrown by value by the sendmail face's steps and caught by its run.
struct CSendmailFailure {
  SendmailStatus status;
  std::string text;
};

// The status of a failure that the engine raised (CTAVSMTPException), connecting or
// sending: 68 an unknown host name; 75 a socket failure, a timeout, a closed connection
// or any 4xx reply; 77 refused authentication (5xx, or an NTLM security status); 67 a
// recipient refused with 5xx; 69 another 5xx reply, a failed TLS handshake, STARTTLS not
// offered, a message over the server's SIZE limit (563); 78 the password command, the
// TLS set-up (a CA file, a fingerprint), the OAuth 2.0 settings or token store (562,
// 559), a setting refused (CSettingError) or, while connecting, a parameter (87, such
// as the port); 77 also an OAuth 2.0 sign-in that is no longer valid (558); 65 a
// parameter while sending, an address the server cannot take (564).
SendmailStatus StatusOf(const CException& error, bool connecting);

// The failure of an engine error: its status and "what: " and the error's text in one
// line.
CSendmailFailure EngineFailure(const CException& error, bool connecting, const std::string& what);

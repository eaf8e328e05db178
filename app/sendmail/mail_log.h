// The log line of every message that the sendmail face or the flush handles, so that
// an administrator can tell what became of it: one line of key=value pairs in the
// system's mail log (platform/system_log.h) or in the file LogFile names.
//
//   queueid=20261209T001500.123456Z-3fa9c1b2 from=a@example.org to=b@example.org,c@example.org
//   size=1234 account=work server=mail.example.org:587 tls=starttls auth=on user=a@example.org
//   outcome=sent reply='250 2.0.0 Ok: queued as 4AB' delay=0 submitter=alice uid=1001 exit=EX_OK
//
// queueid only for a message that is or was queued; account only for one that goes
// through an account other than the default (server, tls and user are then that
// account's; server is empty when the account is not in the settings); outcome sent
// (reply: the server's answer to the end of data), queued (reason: why it waits),
// gaveup (reason: why the queue gave it up) or refused (reason: why the run failed,
// exit: its status); delay: seconds since the message was given; exit only on the
// sendmail face's own line; submitter and uid: the user who gave the message (the owner
// of its queue entry in a flush), where known. A
// value that holds a blank, a quote, a backslash, a control character or an 8-bit byte
// is written between single quotes, with \' \\ and \xHH, so that no value can end the
// line or forge a key. No secret and no message text is ever part of it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process_hardening.h"

struct MailLogSettings {
  bool on = true;    // Log: 0 writes nothing
  std::string file;  // LogFile: a file instead of the system's mail log
  std::string server;  // "host:port"
  std::string tls;     // "on" (SSL), "starttls" or "off"
  std::string user;    // AuthUser when the run authenticates; empty: it does not
};

// Reads Log and LogFile, which are the same for every account. The caller holds a
// CSettingsReadOnce. Throws CSendmailFailure 78 (SendmailConfigError) when Log is not a
// number.
MailLogSettings ReadMailLogSettings();
// Reads the connection settings of the account in use that the line names into
// settings. Throws CSendmailFailure 78 when StartTLS is not a number, or SSL does not
// start with one.
void ReadMailLogConnection(MailLogSettings& settings);

struct MailLogMessage {
  std::string queueId;  // empty: never queued
  std::string sender;   // empty: the null sender
  std::vector<std::string> recipients;
  std::uint64_t size = 0;  // the message's bytes as given
  std::time_t given = 0;   // when it was given (queued)
  std::string account;     // empty: the default account
  CallerIdentity submitter;  // who gave it (uid -1: not known)
};

struct MailLogOutcome {
  enum Kind { Sent, Queued, GaveUp, Refused };
  Kind kind;
  std::string text;  // Sent: the server's reply to the end of data; else the reason
  int status = -1;   // the run's exit status on the sendmail face's own line; -1: none
};

// A text as a value of the line holds it: as it is when it has no blank, quote,
// backslash, control character or 8-bit byte, else between single quotes with \' \\ and
// \xHH; cut at 1000 bytes. Also for a value that a failure's line names.
std::string MailLogValue(std::string_view text);

// The line for a message and its outcome at now.
std::string MailLogLine(const MailLogSettings& settings, const MailLogMessage& message,
                        const MailLogOutcome& outcome, std::time_t now);

// Writes the line where the settings say: nowhere with Log 0, appended to LogFile (after
// the date) when it is set, else to the system's mail log. A LogFile that cannot be
// written is named on standard error; the run goes on as it would.
void WriteMailLog(const MailLogSettings& settings, const MailLogMessage& message, const MailLogOutcome& outcome);

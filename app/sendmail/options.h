// The command line of the sendmail face: the options that programs calling
// /usr/sbin/sendmail pass (cron, mail, git send-email, PHP, mutt) and the recipient
// operands; and how the program knows it was called by that name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// True when the last part of argv[0], without a final ".exe" (any case), is "sendmail"
// or "e-mailer-sendmail" (any case: the Windows file system ignores it).
bool IsSendmailProgramName(std::string_view argv0);
// True when that part is "mailq" (any case): the sendmail face that lists the queue,
// as -bp does.
bool IsMailqProgramName(std::string_view argv0);
// True when that part is "newaliases" (any case): the sendmail face asked to rebuild
// the aliases, as -bi does.
bool IsNewaliasesProgramName(std::string_view argv0);

struct SendmailOptions {
  std::vector<std::string> recipients;  // the operands, each possibly a list
  bool recipientsFromHeader = false;    // -t
  std::string sender;                   // -f, -r: the envelope sender; empty: not given
  std::string fullName;                 // -F: the name of a From line the program adds
  bool dotEndsInput = true;             // cleared by -i and -oi
  int dsnNotify = -1;                   // -N: bits 1 success, 2 failure, 4 delay; 0 never
  bool dsnReturnFull = false;           // -R full
  bool dsnRequested = false;            // any of -N, -R, -V
  std::string envelopeId;               // -V
  bool verbose = false;                 // -v
  enum Mode { SendMessage, ListQueue, FlushQueue, InitializeAliases };
  Mode mode = SendMessage;              // -bm; -bp lists the queue, -q sends it, -bi
  bool queueOnly = false;               // -odq, -odd: queue without trying to send
  std::string account;                  // -a, --account: the account; empty: not given
};

// Parses the arguments after the program name. Options may stand before, between and
// after the operands; "--" ends them; "--account NAME" and "--account=NAME" are -a NAME.
// Throws CSendmailFailure with SendmailUsage naming
// the option for an unknown option, one not supported (-bs, -bd, -q with an interval),
// a value that is missing or not understood, an empty account name.
SendmailOptions ParseSendmailOptions(const std::vector<std::string>& arguments);

// The process exit codes, the one place where the outcome of a run becomes a number.
// A calling script can tell a message that was not sent from one that was.
#pragma once

enum MailerExitCode : int {
  ExitSent = 0,           // sent (and, with "showui", reported)
  ExitConnectFailed = 1,  // the connect step failed: nothing was sent
  ExitSendFailed = 2,     // the server did not take the message
  ExitQuitFailed = 3,     // the message was taken, but the closing QUIT failed
  ExitAuthorizeFailed = 1,  // --authorize: the sign-in failed and nothing was stored
  ExitNoSubject = 64,     // no subject on the command line: nothing was done (EX_USAGE)
  ExitUsage = 64,         // --account without a name or with an unknown one (EX_USAGE)
  ExitStartupFailed = 71,  // the TLS lock table could not be allocated (EX_OSERR)
  ExitQueueFailed = 71,    // --queue: the queue could not be written, the message not taken
  ExitOutputFailed = 74    // the --help or --version text could not be written (EX_IOERR)
};

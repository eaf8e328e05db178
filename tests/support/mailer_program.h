// The e-mailer program run as a script runs it: its settings in a config folder of its
// own, the subject and body on its command line, no display (so every text goes to
// standard error) and the UTF-8 locale C.UTF-8, whatever the test's own environment
// holds; and its exit code and output. When EMAILER_TEST_WRAPPER is set, its words go
// in front of the program's command line (the memcheck tests run the program under
// valgrind that way). This is the one way tests run the program.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_config_home.h"

struct MailerRun {
  int exitCode;        // -1 when the program did not end by itself
  std::string output;  // standard output and standard error

  friend bool operator==(const MailerRun&, const MailerRun&) = default;
};

// How a run shows in a test's failure message.
void PrintTo(const MailerRun& run, std::ostream* os);

// The text of the key file of software\Zelkor\Kestrum\SMTP with these string values
// (name, text); a text with control characters, quotes or backslashes is written as
// hex(1), as reg export writes it.
std::string SmtpSettings(const std::vector<std::pair<std::string, std::string>>& values);

// The key of the account software\Zelkor\Kestrum\SMTP\Accounts\<account> with these
// values, written as SmtpSettings writes them, to follow its text in the same file.
std::string SmtpAccountSettings(const std::string& account,
                                const std::vector<std::pair<std::string, std::string>>& values);

// A home whose settings name a plain session with the server on port of 127.0.0.1 and
// the sender backup@example.com, with more values after these.
std::unique_ptr<TempConfigHome> PlainSessionHome(std::uint16_t port,
                                                 const std::vector<std::pair<std::string, std::string>>& more = {});

// Runs the program with arguments and the key file settings.
MailerRun RunMailer(const std::string& settings, const std::vector<std::string>& arguments);

// Runs the program with arguments and the settings that home holds, as they are (for
// settings files with modes, owners or kinds of their own).
MailerRun RunMailer(const TempConfigHome& home, const std::vector<std::string>& arguments);

// Runs the program under the name "sendmail" (a link in home's folder) with arguments,
// the settings that home holds, and input as its standard input. The environment is
// RunMailer's, with LANG=lang added when lang is given.
MailerRun RunSendmail(const TempConfigHome& home, const std::vector<std::string>& arguments,
                      const std::string& input, const std::string& lang = "");

// Runs the program with arguments, the settings that home holds, and input as its
// standard input, in RunMailer's environment.
MailerRun RunMailerWithInput(const TempConfigHome& home, const std::vector<std::string>& arguments,
                             const std::string& input);

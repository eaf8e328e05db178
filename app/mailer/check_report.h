// What "e-mailer --check" found for each account it checked: one entry per step it went
// through, and, when a step failed, the problem, what to change and the exit status;
// written as lines of text or as one JSON object for monitoring.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

struct CheckStep {
  CheckStep(std::string stepName, double time = 0) : name(std::move(stepName)), milliseconds(time) {}

  std::string name;                  // "settings", "server name", "connect", ...
  bool ok = true;
  double milliseconds = 0;           // the time the step took
  std::string found;                 // one line: what the step found
  std::vector<std::string> details;  // further lines: each setting, each extension, ...
};

struct CheckReport {
  std::vector<CheckStep> steps;
  std::string problem;  // the failure, with the server's words; "" when every step passed
  std::string change;   // what to change; "" when every step passed
  int exitStatus = 0;   // 0 when a message would go, else a sysexits status
};

// The report of one account; account "" for the default account.
struct AccountReport {
  std::string account;
  CheckReport report;
};

// The exit status of the accounts checked: 0 when every account's is 0, else the status
// of the first account that failed.
int CombinedExitStatus(const std::vector<AccountReport>& reports);

// when as the check writes a time: "2026-12-09 06:00:00 UTC".
std::string UtcTimeText(std::time_t when);

// For each account one line per step ("ok" or "FAIL", the name, what it found, the
// time), its details indented below it, then the problem and "what to change" after a
// failure, and the exit status. Server text is shown as TerminalText shows it. The
// default account's report alone is just that; otherwise each report is under a heading
// that names its account ("--- account work ---", "--- the default account ---"), and
// with several a last line gives the combined exit status.
std::string CheckReportText(const std::vector<AccountReport>& reports);

// The same as one JSON object with a line end after it. An account's report is
// {"ok", "exitStatus", "steps": [{"step", "ok", "milliseconds", "found", "details"}],
// "problem", "change"}, with "account": NAME first when it is not the default. A single
// report is that object; several are {"ok", "exitStatus", "accounts": [reports]}, the
// default account's with "account": "", the status combined.
std::string CheckReportJson(const std::vector<AccountReport>& reports);

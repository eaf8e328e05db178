// "e-mailer --check": goes the whole way with the settings, without sending a message,
// and says for each step what it found and, after the first that fails, what to change;
// for the account in use, or, when none was chosen, for the default account and then
// each account of the settings.
#pragma once

// Runs the check and prints its report on standard output, as text or, with json, as
// one JSON object (app/mailer/check_report.h). Returns 0 when a message would go through
// every account checked, else the failing step's sysexits status (CheckExitStatus) of
// the first account that failed.
int CheckRun(bool json);

// "e-mailer --check": goes the whole way with the settings, without sending a message,
// and says for each step what it found and, after the first that fails, what to change.
#pragma once

// Runs the check and prints its report on standard output, as text or, with json, as
// one JSON object. Returns 0 when a message would go, else the failing step's sysexits
// status (CheckExitStatus).
int CheckRun(bool json);

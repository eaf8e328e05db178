// The account of the settings that a run of e-mailer uses: the default one, or the one
// that "--account NAME" names (TakeAccountArgument, app/mailer/command_line.h). Each
// refusal is one line on standard error and the usage status, ExitUsage.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/mailer/command_line.h"

// The refusal of an "--account" that cannot be taken whatever the settings hold: one
// without a name (or with an empty one), or one beside a text (--help, --version) or a
// flush (--flush, --flush-due), which use no account; rest is the command line without
// it. nullopt when the run goes on.
std::optional<int> MisplacedAccount(const AccountArgument& account, const std::vector<std::string>& rest);

// Makes name, when not empty, the account that the run's settings are read from
// (UseSmtpAccount). False after the refusal when the settings have no such account: the
// line names it, made printable on one line, and the accounts there are.
bool UseChosenAccount(const std::string& name);

// The settings of a run: named values of the current user's registry key
// software\<company>\<product>\<section> (platform/registry.h), or, for a user who has
// no such key while the machine has one, of the machine's (on Linux
// /etc/e-mailer/<section>.reg, the system's settings). The choice is made once per key
// and run, by where the keys are, before either is read; with the user's own key the
// program's set-group-ID group is given up first (platform/process_hardening.h), so
// nothing the user wrote is read with it. A user's key is never mixed with the
// machine's. Values are only read; reading creates the user's key path when it is
// missing and the machine has no key either.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A value as text: REG_SZ up to its first NUL, REG_DWORD as a signed decimal, any other
// type as empty text. The default when the value is missing, a key on the way cannot be
// opened or created, or a read fails; an empty text when company is null. Never raises.
std::string ReadRegistryString(const char* company, const char* product, const char* section,
                               const char* valueName, const char* defaultText);

// ReadRegistryString under Zelkor\Kestrum\SMTP.
std::string ReadSmtpSetting(const char* valueName, const char* defaultText);

// The text that ReadSmtpSetting reads, or nullopt where it would give its default (the
// value is missing, the key cannot be opened, or the read fails), so that a value that
// is there but empty can be told from one that is not there.
std::optional<std::string> ReadSmtpValue(const char* valueName);

// Why another user than the one running could change the SMTP settings (KeyExposure
// of platform/registry.h: the file or folder and the reason); "" when no one could, or
// when the key cannot be opened. Never raises.
std::string SmtpSettingsExposure();

// True when the run uses the system's SMTP settings (the machine's key, above); its
// queue is then the system's spool. Chooses the settings when no read has yet.
bool UsesSystemSettings();

// Where the run looks for its SMTP settings, for a failure that names them: the file it
// uses (on Windows the registry key) and the one it passed over, or the two it tried.
std::string SmtpSettingsPlaces();

// The file that holds the SMTP settings (on Windows, their registry key's path), and
// the names of the values it holds; "" and none when the key cannot be opened. Never
// raise.
std::string SmtpSettingsFile();
std::vector<std::string> SmtpValueNames();

// Accounts: further keys HKEY_CURRENT_USER\software\Zelkor\Kestrum\SMTP\Accounts\<name>
// in the same settings (the user's own file, or the system's), each holding the same
// values as the SMTP key, which stays the default account. While an account is in use
// (UseSmtpAccount), ReadSmtpSetting and ReadSmtpValue read its value, and one it leaves
// out from the default account; except that the secrets (AuthPassword,
// AuthPasswordCommand, OAuthClientSecret, OAuthClientSecretCommand) are taken from the
// default only by an account that sends them to the same place the same way (the same
// Server, Port, AuthUser, AuthMethod, OAuth provider, tenant, token and device endpoint,
// TLS certificate settings, and TLS and its check at least as strict), and that Aliases,
// Log, LogFile, Queue and QueueLifetime are the machine's, always read from the default.
// SenderMatch is the account's own: comma-separated patterns (* and ? as in shell
// patterns, case-insensitive) matched against the envelope sender.

// The secrets above (names compare without regard to case).
bool IsSmtpSecret(std::string_view name);

// Where a value is read: in the default account and in each account, only in the
// default account (the machine's values), or only in an account (SenderMatch).
enum class SmtpScope { Any, DefaultOnly, AccountOnly };
SmtpScope SmtpValueScope(std::string_view name);

// The accounts the settings hold, as their keys spell them, in file order.
std::vector<std::string> SmtpAccountNames();

// Makes name the account that later reads use; "" the default account. Names compare
// without regard to case. False, and the account in use stays, when there is no such
// account.
bool UseSmtpAccount(const std::string& name);

// The account in use as its key spells it; "" for the default.
std::string SmtpAccountName();

// The first account (file order) whose SenderMatch matches sender; "" when none does.
std::string SmtpAccountForSender(const std::string& sender);

// For a failure that names an unknown account: "the accounts there are: work, gmail",
// or "there are no accounts", with the names made printable.
std::string SmtpAccountsKnown();

// While an object of this class lives, ReadRegistryString keeps each section key that
// it opens open and reads the section's later values from it, so a run reads its
// settings file once rather than once per value. The values read and the order of the
// reads stay the same; a key that cannot be opened is tried again at the next read, as
// without it. One object at a time.
class CSettingsReadOnce {
 public:
  CSettingsReadOnce();
  CSettingsReadOnce(const CSettingsReadOnce&) = delete;
  CSettingsReadOnce& operator=(const CSettingsReadOnce&) = delete;
  // Closes the keys kept open.
  ~CSettingsReadOnce();
};

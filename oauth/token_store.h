// The token store: the tokens of an account's sign-in, kept between runs as a JSON
// record {"access_token", "refresh_token", "expires_at"} in a secret record of the
// account's own (platform/secret_store.h: on Linux a file 0600 in 0700, replaced whole),
// and the lock that a run holds from reading the record until it has stored what it
// got. The default account's record is "oauth-tokens.json", another account's
// "oauth-tokens-NAME.json" (TokenRecordName).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "oauth/token_endpoint.h"
#include "platform/secret_store.h"

// The record name of account's tokens: "oauth-tokens.json" for the default account
// (""), "oauth-tokens-NAME.json" for another, NAME in lower case (account names compare
// without regard to ASCII case) and percent-encoded (PercentEncode): two names never
// share a record, and no name brings a path separator, a backslash or a control
// character into a path or a lock's name.
std::string TokenRecordName(const std::string& account);

// The command that signs in for account and so fills its store: "e-mailer --authorize",
// followed by " --account NAME" for an account other than the default.
std::string SignInCommand(const std::string& account);

// What a failure that asks to sign in again adds for account: " (" and its SignInCommand
// and ")", where the message's own "e-mailer --authorize" would sign in another
// account; nothing for the default account.
std::string SignInHint(const std::string& account);

class COAuthTokenStore {
 public:
  // Takes the lock of account's store, waiting at most timeout milliseconds for another
  // run. Raises CTAVSMTPException 559 (facility 4) with the path and the reason when it
  // cannot.
  COAuthTokenStore(std::uint32_t timeout, const std::string& account);

  // The stored tokens; none when nothing is stored. Raises 559 with the path and the
  // reason when the store cannot be read or is not such a record.
  std::optional<OAuthTokens> Load() const;

  // Where account's store is kept, for the user.
  static std::string Path(const std::string& account);

  // Replaces the stored record with tokens. Raises 559 with the path and the reason
  // when it cannot (the old record is then kept).
  void Save(const OAuthTokens& tokens) const;

 private:
  std::string account;
  std::string name;  // the record's (TokenRecordName)
  CSecretRecordLock lock;
};

// The token store: the tokens of the one sign-in, kept between runs as a JSON record
// {"access_token", "refresh_token", "expires_at"} in the secret record
// "oauth-tokens.json" (platform/secret_store.h: on Linux a file 0600 in 0700, replaced
// whole), and the lock that a run holds from reading the record until it has stored
// what it got.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "oauth/token_endpoint.h"
#include "platform/secret_store.h"

class COAuthTokenStore {
 public:
  // Takes the store's lock, waiting at most timeout milliseconds for another run. Raises
  // CTAVSMTPException 559 (facility 4) with the path and the reason when it cannot.
  explicit COAuthTokenStore(std::uint32_t timeout);

  // The stored tokens; none when nothing is stored. Raises 559 with the path and the
  // reason when the store cannot be read or is not such a record.
  std::optional<OAuthTokens> Load() const;

  // Where the store is kept, for the user.
  static std::string Path();

  // Replaces the stored record with tokens. Raises 559 with the path and the reason
  // when it cannot (the old record is then kept).
  void Save(const OAuthTokens& tokens) const;

 private:
  CSecretRecordLock lock;
};

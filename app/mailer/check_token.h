// Where AuthMethod 7's token comes from, for the check's authentication step: the
// token store of "e-mailer --authorize" (when its access token expires, and whether
// the run renewed it) or the settings. Never a token itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "oauth/token_endpoint.h"

// The tokens stored now; none when nothing is stored or the store cannot be read (the
// connect step then says why). The caller holds a CSettingsReadOnce.
std::optional<OAuthTokens> StoredTokensNow(std::uint32_t timeout);

// Detail lines for the token: its source, and with the store, when the access token
// expires and whether the run renewed it (before and after the connect step).
std::vector<std::string> TokenDetails(const std::optional<OAuthTokens>& before,
                                      const std::optional<OAuthTokens>& after);

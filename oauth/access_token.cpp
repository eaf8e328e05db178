// CurrentAccessToken: the stored token, or a renewed one stored first.
#include "oauth/access_token.h"

#include <optional>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "oauth/token_endpoint.h"
#include "oauth/token_store.h"

namespace {

// A token with less left may expire on its way through the mail server's checks.
constexpr std::int64_t minimumLifetime = 60;

bool Usable(const OAuthTokens& tokens, const std::string& refused) {
  return !tokens.accessToken.empty() && tokens.accessToken != refused &&
         tokens.expiresAt - SecondsNow() >= minimumLifetime;
}

OAuthTokens Renewed(const OAuthClient& client, const std::optional<OAuthTokens>& stored) {
  if (stored && !stored->refreshToken.empty()) {
    OAuthTokens renewed = RefreshTokens(client, stored->refreshToken);
    // A provider that does not rotate the refresh token keeps the one it had.
    if (renewed.refreshToken.empty()) renewed.refreshToken = stored->refreshToken;
    return renewed;
  }
  if (!client.clientCredentialsScope.empty()) return ClientCredentialsTokens(client);
  RaiseSmtpError(msgOAuthSignInInvalid, FACILITY_ITF,
                 (stored ? "the stored sign-in has no refresh token" : "no sign-in is stored") +
                     SignInHint(client.account));
}

}  // namespace

std::string CurrentAccessToken(const OAuthClient& client, const std::string& refused) {
  COAuthTokenStore store(client.timeout, client.account);
  std::optional<OAuthTokens> stored = store.Load();
  if (stored && Usable(*stored, refused)) return stored->accessToken;
  OAuthTokens renewed = Renewed(client, stored);
  // Stored before it is used: a rotated refresh token is the only one still valid.
  store.Save(renewed);
  return renewed.accessToken;
}

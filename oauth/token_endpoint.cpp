// The token endpoint's grants and answers (RFC 6749 4.4, 5.1, 5.2, 6). A confidential
// client authenticates in the form body (client_id and client_secret, RFC 6749 2.3.1),
// which both Microsoft and Google take; a public client sends its client_id alone.
#include "oauth/token_endpoint.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "oauth/token_store.h"

namespace {

using nlohmann::json;

constexpr std::int64_t longestLifetime = 365 * 24 * 3600;

std::string TextOf(const json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

[[noreturn]] void RaiseUnreadable(const HttpsResponse& response, const std::string& url,
                                  const std::string& why) {
  RaiseSmtpError(msgOAuthEndpoint, FACILITY_ITF,
                 url + ": HTTP status " + std::to_string(response.status) + ", " + why);
}

}  // namespace

std::int64_t SecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TokenAnswer ReadTokenAnswer(const HttpsResponse& response, const std::string& url) {
  json body = json::parse(response.body, nullptr, false);
  if (!body.is_object()) RaiseUnreadable(response, url, "the answer is not a JSON object");
  TokenAnswer answer;
  answer.error = TextOf(body, "error");
  if (!answer.error.empty()) {
    answer.errorDescription = TextOf(body, "error_description");
    return answer;
  }
  if (response.status != 200) RaiseUnreadable(response, url, "no error in the answer");
  answer.tokens.accessToken = TextOf(body, "access_token");
  if (answer.tokens.accessToken.empty()) RaiseUnreadable(response, url, "no access_token");
  if (strcasecmp(TextOf(body, "token_type").c_str(), "bearer") != 0) {
    RaiseUnreadable(response, url, "the token_type is not Bearer");
  }
  answer.tokens.refreshToken = TextOf(body, "refresh_token");
  auto lifetime = body.find("expires_in");
  // Google and Microsoft send a number; some providers send it as a string. A lifetime
  // past a year is taken as a year, so no sum can overflow.
  std::int64_t seconds = 0;
  if (lifetime != body.end() && lifetime->is_number_integer()) {
    seconds = lifetime->get<std::int64_t>();
  } else if (lifetime != body.end() && lifetime->is_string()) {
    seconds = std::atoll(lifetime->get<std::string>().c_str());
  }
  if (seconds > 0) answer.tokens.expiresAt = SecondsNow() + std::min(seconds, longestLifetime);
  return answer;
}

void RaiseProviderError(const TokenAnswer& answer, const std::string& account) {
  std::string text = answer.error;
  if (!answer.errorDescription.empty()) text += ": " + answer.errorDescription;
  if (answer.error != "invalid_grant") RaiseSmtpError(msgOAuthProviderError, FACILITY_ITF, text);
  RaiseSmtpError(msgOAuthSignInInvalid, FACILITY_ITF, text + SignInHint(account));
}

TokenAnswer RequestTokens(const OAuthClient& client, FormFields fields) {
  fields.emplace_back("client_id", client.clientId);
  if (!client.clientSecret.empty()) fields.emplace_back("client_secret", client.clientSecret);
  return ReadTokenAnswer(HttpsPost(client, client.tokenUrl, fields), client.tokenUrl);
}

namespace {

OAuthTokens Granted(const OAuthClient& client, const TokenAnswer& answer) {
  if (!answer.error.empty()) RaiseProviderError(answer, client.account);
  return answer.tokens;
}

}  // namespace

OAuthTokens RefreshTokens(const OAuthClient& client, const std::string& refreshToken) {
  return Granted(client, RequestTokens(
      client, {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}}));
}

OAuthTokens ClientCredentialsTokens(const OAuthClient& client) {
  return Granted(client, RequestTokens(
      client, {{"grant_type", "client_credentials"}, {"scope", client.clientCredentialsScope}}));
}

// The token endpoint (RFC 6749 3.2, 5): the grants the program makes and the answers
// it reads. Tokens go nowhere but into the returned records.
#pragma once

#include <cstdint>
#include <string>

#include "oauth/client.h"
#include "oauth/https_post.h"

struct OAuthTokens {
  std::string accessToken;
  std::string refreshToken;  // empty when the provider gave none
  std::int64_t expiresAt = 0;  // seconds since 1970; 0 when the provider gave no lifetime
};

// A token endpoint's answer: tokens (error empty) or the provider's error (RFC 6749
// 5.2) as it wrote it.
struct TokenAnswer {
  OAuthTokens tokens;
  std::string error;
  std::string errorDescription;
};

// Reads an answer of the token or device endpoint: a JSON object with "error" is an
// error answer whatever its status; a 200 answer must hold "access_token" and a
// "token_type" of "Bearer" (any case). Raises CTAVSMTPException 560 (facility 4) with the
// status and address for an answer that is neither (a 500, a page, malformed JSON).
TokenAnswer ReadTokenAnswer(const HttpsResponse& response, const std::string& url);

// Raises the provider's error of answer: 558 for invalid_grant (the sign-in is no longer
// valid), 557 for any other; the text is "error: description" as the provider wrote
// them, for 558 followed by account's SignInHint.
[[noreturn]] void RaiseProviderError(const TokenAnswer& answer, const std::string& account = "");

// POSTs a grant (fields, with the client's authentication added) to the token endpoint
// and returns the answer, errors included. Raises as HttpsPost and ReadTokenAnswer.
TokenAnswer RequestTokens(const OAuthClient& client, FormFields fields);

// The refresh grant (RFC 6749 6). The answer's refresh token is empty when the provider
// did not rotate it. Raises as RequestTokens and, for an error answer, RaiseProviderError.
OAuthTokens RefreshTokens(const OAuthClient& client, const std::string& refreshToken);

// The client credentials grant (RFC 6749 4.4) with the client's app-only scope. Raises as
// RefreshTokens.
OAuthTokens ClientCredentialsTokens(const OAuthClient& client);

// The seconds since 1970 now.
std::int64_t SecondsNow();

// The access token of a send: taken from the token store while it has a minute or more
// left, else renewed with the stored refresh token (RFC 6749 6) or, for a client that
// may, with its credentials alone (RFC 6749 4.4), and stored before it is used.
#pragma once

#include <string>

#include "oauth/client.h"

// The access token to send, with the store's lock held throughout, so that two runs at
// once never both spend one rotating refresh token. refused is a token that the mail
// server has just refused (empty when none): it is not given again, a fresh one is
// obtained instead (unless another run has stored a different one meanwhile).
// Raises CTAVSMTPException (facility 4) 559 when the store cannot be locked, read or
// written; 558 when no sign-in is stored (and the client may not take tokens alone),
// when the stored one has no refresh token, or when the provider answers invalid_grant;
// 557 for another error of the provider; 560 when the provider cannot be reached or
// its answer read.
std::string CurrentAccessToken(const OAuthClient& client, const std::string& refused);

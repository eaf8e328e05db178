// The sign-in of "e-mailer --authorize", once per account: the device flow (RFC 8628)
// when the provider has a device endpoint and the client does not ask for the browser
// (browserFlow), else the authorization-code flow with PKCE
// (RFC 7636) and a loopback redirect (RFC 8252 7.3). What the user must read goes to
// standard output, escaped for the terminal and flushed before any wait. The tokens
// obtained replace the store's record; a sign-in that fails stores nothing.
#pragma once

#include "oauth/client.h"

// Raises CTAVSMTPException (facility 4): 561 when the user or the provider ends the
// sign-in (access_denied, expired_token, no refresh token given, no redirect within
// five minutes; a device flow the provider does not allow, with the advice to use the
// browser), 557 for another error of the provider, 560 when the
// provider cannot be reached or its answer read, 559 when the store cannot be written.
void SignIn(const OAuthClient& client);

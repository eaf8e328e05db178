// The two sign-in flows, each ending with the token endpoint's answer; SignIn
// (oauth/sign_in.h) stores it. Both raise as SignIn.
#pragma once

#include <string>

#include "oauth/client.h"
#include "oauth/token_endpoint.h"

// RFC 8628: asks the device endpoint for a code, shows the address and the user code,
// and polls the token endpoint at the interval the provider gives.
OAuthTokens DeviceFlow(const OAuthClient& client);

// RFC 6749 4.1 with PKCE S256 (RFC 7636) and the redirect to 127.0.0.1 at a port of
// the system's choosing: shows the address and opens it in a browser where one is,
// serves the one redirect and exchanges its code.
OAuthTokens LoopbackFlow(const OAuthClient& client);

// Writes text to standard output made safe for a terminal (platform/terminal_text.h),
// and flushes it.
void TellUser(const std::string& text);

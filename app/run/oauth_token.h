// The program's own OAuth 2.0 client in a run: the token of AuthMethod 7 taken from the
// token store and renewed by the program when OAuthClientID is set, and the sign-in of
// "e-mailer --authorize" that fills the store. Each account of the settings has a store
// of its own: the one in use (SmtpAccountName) when the client is read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/run/exit_codes.h"

// True when the settings name an application (OAuthClientID): AuthMethod 7 then takes
// its token from the store instead of AuthPassword or AuthPasswordCommand.
bool UsesOAuthClient();

// Calls connect with the stored access token (renewed first when less than a minute is
// left). When the server refuses that token (CTAVSMTPException 552), a fresh one is
// obtained and connect is called once more. Raises what connect raises, 562 for
// settings that name no usable provider, and what oauth/access_token.h raises.
// timeout bounds each request to the provider and the wait for the store.
void ConnectWithOAuthToken(std::uint32_t timeout,
                           const std::function<void(const std::string& token)>& connect);

// "e-mailer --authorize": signs in with the provider of the settings and stores the
// tokens in the store of the account in use; the reason of a failure goes to standard error. browser takes the
// authorization-code flow in the browser whatever OAuthFlow says. ExitSent on success,
// ExitAuthorizeFailed otherwise.
MailerExitCode AuthorizeRun(bool browser);

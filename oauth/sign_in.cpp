// SignIn: chooses the flow and stores what it obtains.
#include "oauth/sign_in.h"

#include <cstdio>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "oauth/sign_in_flows.h"
#include "oauth/token_store.h"
#include "platform/code_page.h"
#include "platform/terminal_text.h"

void SignIn(const OAuthClient& client) {
  OAuthTokens tokens =
      client.deviceUrl.empty() || client.browserFlow ? LoopbackFlow(client) : DeviceFlow(client);
  // Without a refresh token the next run could not renew the access token.
  if (tokens.refreshToken.empty()) {
    RaiseSmtpError(msgOAuthSignIn, FACILITY_ITF,
                   "the provider gave no refresh token (is offline access in the scope?)");
  }
  COAuthTokenStore(client.timeout, client.account).Save(tokens);
}

void TellUser(const std::string& text) {
  std::fputs(TerminalText(text, AnsiCodePageIsUtf8()).c_str(), stdout);
  std::fflush(stdout);
}

// The OAuth 2.0 settings of a run read into the client of oauth/, and the two uses of
// it: a token for the connect step, and the sign-in.
#include "app/run/oauth_token.h"

#include <strings.h>

#include "app/run/password_command.h"
#include "app/run/settings.h"
#include "app/run/settings_checks.h"
#include "errors/exceptions.h"
#include "errors/message_table.h"
#include "errors/raise.h"
#include "oauth/access_token.h"
#include "oauth/sign_in.h"
#include "oauth/sign_in_flows.h"
#include "oauth/token_store.h"
#include "platform/terminal_text.h"

namespace {

// OAuthFlow: "device" (or absent) or "browser", in any letter case; anything else is a
// typo that must not pick a flow, 562.
bool BrowserFlowSetting() {
  std::string flow = ReadSmtpSetting("OAuthFlow", "");
  if (flow.empty() || strcasecmp(flow.c_str(), "device") == 0) return false;
  if (strcasecmp(flow.c_str(), "browser") == 0) return true;
  RaiseSmtpError(msgOAuthSettings, FACILITY_ITF,
                 "OAuthFlow \"" + flow + "\" is not device or browser");
}

std::string ClientSecret(std::uint32_t timeout) {
  std::string command = ReadSmtpSetting("OAuthClientSecretCommand", "");
  if (command.empty()) return ReadSmtpSetting("OAuthClientSecret", "");
  try {
    return PasswordFromCommand(command, timeout);
  } catch (const CTAVSMTPException& e) {
    RaiseSmtpError(msgOAuthSettings, FACILITY_ITF,
                   "OAuthClientSecretCommand " + e.m_sLastResponseText);
  }
}

OAuthClient ReadOAuthClient(std::uint32_t timeout) {
  // Whoever could change the settings could send the refresh token or the client secret
  // to an endpoint of their own, or name the secret's command.
  RefuseSettingsOthersCanChange();
  OAuthClient client;
  client.timeout = timeout;
  client.clientId = ReadSmtpSetting("OAuthClientID", "");
  client.clientSecret = ClientSecret(timeout);
  client.caFile = ReadSmtpSetting("OAuthCAFile", "");
  OAuthProviderSettings provider;
  provider.provider = ReadSmtpSetting("OAuthProvider", "");
  provider.tenant = ReadSmtpSetting("OAuthTenant", "");
  provider.scope = ReadSmtpSetting("OAuthScope", "");
  provider.authorizeUrl = ReadSmtpSetting("OAuthAuthorizeURL", "");
  provider.tokenUrl = ReadSmtpSetting("OAuthTokenURL", "");
  provider.deviceUrl = ReadSmtpSetting("OAuthDeviceURL", "");
  ApplyProviderSettings(client, provider);
  client.browserFlow = BrowserFlowSetting();
  client.account = SmtpAccountName();
  return client;
}

bool TokenRefused(const CTAVSMTPException& e) {
  return (static_cast<std::uint32_t>(e.m_hrError) & 0xFFFF) == msgOAuthTokenRefused;
}

}  // namespace

bool UsesOAuthClient() { return !ReadSmtpSetting("OAuthClientID", "").empty(); }

void ConnectWithOAuthToken(std::uint32_t timeout,
                           const std::function<void(const std::string& token)>& connect) {
  const OAuthClient client = ReadOAuthClient(timeout);
  const std::string token = CurrentAccessToken(client, "");
  try {
    connect(token);
  } catch (const CTAVSMTPException& e) {
    // Revoked or cut short by the provider before its time: one fresh token, on a new
    // connection (the refused exchange ended the last one).
    if (!TokenRefused(e)) throw;
    connect(CurrentAccessToken(client, token));
  }
}

MailerExitCode AuthorizeRun(bool browser) {
  try {
    OAuthClient client;
    {
      CSettingsReadOnce readOnce;
      client = ReadOAuthClient(ReadTimeoutSetting());
    }
    if (browser) client.browserFlow = true;
    if (client.clientId.empty()) {
      RaiseSmtpError(msgOAuthSettings, FACILITY_ITF, "OAuthClientID is not set");
    }
    SignIn(client);
    TellUser("Signed in. The tokens are stored in " + COAuthTokenStore::Path(client.account) + "\n");
    return ExitSent;
  } catch (const CException& e) {
    WriteErrorLine(e.what());
    return ExitAuthorizeFailed;
  }
}

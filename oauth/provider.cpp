// The provider presets: the endpoints and scopes of the Microsoft identity platform v2
// and of Google, and the overrides that point them elsewhere or describe another one.
#include <strings.h>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "oauth/client.h"

namespace {

struct Preset {
  const char* name;
  std::string authorizeUrl{}, tokenUrl{}, deviceUrl{}, scope{}, clientCredentialsScope{};
};

Preset PresetFor(const std::string& provider, const std::string& tenant) {
  if (provider.empty() || strcasecmp(provider.c_str(), "custom") == 0) return {"custom"};
  if (strcasecmp(provider.c_str(), "microsoft") == 0) {
    const std::string base = "https://login.microsoftonline.com/" +
                             (tenant.empty() ? std::string("organizations") : tenant) +
                             "/oauth2/v2.0/";
    return {"microsoft", base + "authorize", base + "token", base + "devicecode",
            "https://outlook.office.com/SMTP.Send offline_access",
            // Exchange Online's app-only permission for SMTP AUTH.
            "https://outlook.office365.com/.default"};
  }
  if (strcasecmp(provider.c_str(), "google") == 0) {
    return {"google", "https://accounts.google.com/o/oauth2/v2/auth",
            "https://oauth2.googleapis.com/token", "", "https://mail.google.com/"};
  }
  RaiseSmtpError(msgOAuthSettings, FACILITY_ITF,
                 "OAuthProvider \"" + provider + "\" is not microsoft, google or custom");
}

const std::string& Either(const std::string& setting, const std::string& preset) {
  return setting.empty() ? preset : setting;
}

}  // namespace

void ApplyProviderSettings(OAuthClient& client, const OAuthProviderSettings& settings) {
  Preset preset = PresetFor(settings.provider, settings.tenant);
  client.authorizeUrl = Either(settings.authorizeUrl, preset.authorizeUrl);
  client.tokenUrl = Either(settings.tokenUrl, preset.tokenUrl);
  client.deviceUrl = Either(settings.deviceUrl, preset.deviceUrl);
  client.scope = Either(settings.scope, preset.scope);
  client.clientCredentialsScope =
      client.clientSecret.empty() ? std::string() : preset.clientCredentialsScope;
  if (client.tokenUrl.empty()) {
    RaiseSmtpError(
        msgOAuthSettings, FACILITY_ITF,
        "OAuthTokenURL is needed with OAuthProvider \"" + std::string(preset.name) + "\"");
  }
}

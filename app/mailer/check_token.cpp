// The check's words for AuthMethod 7's token.
#include "app/mailer/check_token.h"

#include <ctime>

#include "app/mailer/check_report.h"
#include "app/run/oauth_token.h"
#include "app/run/settings.h"
#include "errors/exceptions.h"
#include "oauth/token_store.h"

namespace {

std::string ExpiryText(std::int64_t expiresAt) {
  if (expiresAt == 0) return "the provider gave no lifetime";
  std::string text = UtcTimeText(static_cast<std::time_t>(expiresAt));
  long long minutes = (expiresAt - static_cast<std::int64_t>(std::time(nullptr))) / 60;
  return text + (minutes >= 0 ? " (in " + std::to_string(minutes) + " min)"
                                           : " (expired)");
}

}  // namespace

std::optional<OAuthTokens> StoredTokensNow(std::uint32_t timeout) {
  if (!UsesOAuthClient()) return std::nullopt;
  try {
    return COAuthTokenStore(timeout, SmtpAccountName()).Load();
  } catch (const CException&) {
    return std::nullopt;
  }
}

std::vector<std::string> TokenDetails(const std::optional<OAuthTokens>& before,
                                      const std::optional<OAuthTokens>& after) {
  if (!UsesOAuthClient()) {
    return {ReadSmtpSetting("AuthPasswordCommand", "").empty()
                ? "token: AuthPassword"
                : "token: the output of AuthPasswordCommand"};
  }
  std::vector<std::string> details{"token: from the store " + COAuthTokenStore::Path(SmtpAccountName())};
  if (!before) {
    details.push_back("nothing was stored: the token came from the provider");
  } else {
    details.push_back("stored access token expires " + ExpiryText(before->expiresAt));
  }
  if (before && after && after->accessToken != before->accessToken) {
    details.push_back("renewed (a refresh was due, or the server refused the token): expires " +
                      ExpiryText(after->expiresAt));
  }
  return details;
}

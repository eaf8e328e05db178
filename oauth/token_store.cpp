// The token store's record in its state file, read and written as JSON.
#include "oauth/token_store.h"

#include <nlohmann/json.hpp>

#include "errors/message_table.h"
#include "errors/raise.h"

namespace {

using nlohmann::json;

constexpr const char* storeName = "oauth-tokens.json";

[[noreturn]] void RaiseStoreError(const std::string& why) {
  RaiseSmtpError(msgOAuthTokenStore, FACILITY_ITF, why);
}

[[noreturn]] void RaiseCorrupt(const std::string& why) {
  RaiseStoreError("\"" + SecretRecordPlace(storeName) + "\": " + why +
                  " (e-mailer --authorize replaces it)");
}

}  // namespace

COAuthTokenStore::COAuthTokenStore(std::uint32_t timeout) : lock(storeName, timeout) {
  if (!lock.Error().empty()) RaiseStoreError(lock.Error());
}

std::optional<OAuthTokens> COAuthTokenStore::Load() const {
  SecretRecordRead file = ReadSecretRecord(storeName);
  if (file.outcome == SecretRecordRead::Missing) return std::nullopt;
  if (file.outcome == SecretRecordRead::Failed) RaiseStoreError(file.error);
  json record = json::parse(file.bytes, nullptr, false);
  if (!record.is_object()) RaiseCorrupt("not a JSON object");
  auto access = record.find("access_token");
  auto refresh = record.find("refresh_token");
  auto expires = record.find("expires_at");
  if (access == record.end() || !access->is_string() || refresh == record.end() ||
      !refresh->is_string() || expires == record.end() || !expires->is_number_integer()) {
    RaiseCorrupt("access_token, refresh_token or expires_at missing or of the wrong type");
  }
  return OAuthTokens{access->get<std::string>(), refresh->get<std::string>(),
                     expires->get<std::int64_t>()};
}

std::string COAuthTokenStore::Path() { return SecretRecordPlace(storeName); }

void COAuthTokenStore::Save(const OAuthTokens& tokens) const {
  json record = {{"access_token", tokens.accessToken},
                 {"refresh_token", tokens.refreshToken},
                 {"expires_at", tokens.expiresAt}};
  std::string error = WriteSecretRecord(storeName, record.dump() + "\n");
  if (!error.empty()) RaiseStoreError(error);
}

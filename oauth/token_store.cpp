// The token store's record in its state file, read and written as JSON.
#include "oauth/token_store.h"

#include <nlohmann/json.hpp>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "oauth/https_post.h"

namespace {

using nlohmann::json;

[[noreturn]] void RaiseStoreError(const std::string& why) {
  RaiseSmtpError(msgOAuthTokenStore, FACILITY_ITF, why);
}

[[noreturn]] void RaiseCorrupt(const std::string& account, const std::string& why) {
  RaiseStoreError("\"" + SecretRecordPlace(TokenRecordName(account)) + "\": " + why + " (" +
                  SignInCommand(account) + " replaces it)");
}

}  // namespace

std::string TokenRecordName(const std::string& account) {
  if (account.empty()) return "oauth-tokens.json";
  std::string lower = account;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return "oauth-tokens-" + PercentEncode(lower) + ".json";
}

std::string SignInCommand(const std::string& account) {
  return "e-mailer --authorize" + (account.empty() ? "" : " --account " + account);
}

std::string SignInHint(const std::string& account) {
  return account.empty() ? std::string() : " (" + SignInCommand(account) + ")";
}

COAuthTokenStore::COAuthTokenStore(std::uint32_t timeout, const std::string& storeAccount)
    : account(storeAccount), name(TokenRecordName(account)), lock(name, timeout) {
  if (!lock.Error().empty()) RaiseStoreError(lock.Error());
}

std::optional<OAuthTokens> COAuthTokenStore::Load() const {
  SecretRecordRead file = ReadSecretRecord(name);
  if (file.outcome == SecretRecordRead::Missing) return std::nullopt;
  if (file.outcome == SecretRecordRead::Failed) RaiseStoreError(file.error);
  json record = json::parse(file.bytes, nullptr, false);
  if (!record.is_object()) RaiseCorrupt(account, "not a JSON object");
  auto access = record.find("access_token");
  auto refresh = record.find("refresh_token");
  auto expires = record.find("expires_at");
  if (access == record.end() || !access->is_string() || refresh == record.end() ||
      !refresh->is_string() || expires == record.end() || !expires->is_number_integer()) {
    RaiseCorrupt(account, "access_token, refresh_token or expires_at missing or of the wrong type");
  }
  return OAuthTokens{access->get<std::string>(), refresh->get<std::string>(),
                     expires->get<std::int64_t>()};
}

std::string COAuthTokenStore::Path(const std::string& account) {
  return SecretRecordPlace(TokenRecordName(account));
}

void COAuthTokenStore::Save(const OAuthTokens& tokens) const {
  json record = {{"access_token", tokens.accessToken},
                 {"refresh_token", tokens.refreshToken},
                 {"expires_at", tokens.expiresAt}};
  std::string error = WriteSecretRecord(name, record.dump() + "\n");
  if (!error.empty()) RaiseStoreError(error);
}

// The device authorization grant (RFC 8628): the device endpoint's code (3.1, 3.2),
// the user's instructions (3.3) and the polling of the token endpoint (3.4, 3.5).
#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "oauth/sign_in_flows.h"

namespace {

using nlohmann::json;

// The longest wait for the user that a provider's expires_in may ask for (Microsoft's
// codes live 15 minutes).
constexpr std::int64_t longestSignIn = 3600;

// The polling interval is held in these bounds whatever the provider sends: no poll
// storm from an interval of 0, no hour-long sleep from a huge one.
constexpr std::int64_t shortestInterval = 1;
constexpr std::int64_t longestInterval = 60;
// RFC 8628 3.5: slow_down adds this to every later wait.
constexpr std::int64_t slowDownStep = 5;

std::int64_t HeldInterval(std::int64_t seconds) {
  return std::clamp(seconds, shortestInterval, longestInterval);
}

// The provider's answer when the device flow is refused as such, not the user's sign-in:
// a client not allowed the grant, or Microsoft Entra's Conditional Access (AADSTS53003)
// or its block of the device code flow.
bool DeviceFlowBlocked(const TokenAnswer& answer) {
  const std::string& why = answer.errorDescription;
  return answer.error == "unauthorized_client" || answer.error == "unsupported_grant_type" ||
         why.find("AADSTS53003") != std::string::npos ||
         why.find("AADSTS50199") != std::string::npos ||
         why.find("device code flow") != std::string::npos ||
         why.find("Device Code flow") != std::string::npos;
}

[[noreturn]] void RaiseRefused(const TokenAnswer& answer) {
  if (DeviceFlowBlocked(answer)) {
    RaiseSmtpError(msgOAuthSignIn, FACILITY_ITF,
                   "the provider does not allow the device code flow here (" + answer.error +
                       (answer.errorDescription.empty() ? "" : ": " + answer.errorDescription) +
                       "): run e-mailer --authorize --browser, or set OAuthFlow browser");
  }
  RaiseProviderError(answer);
}

struct DeviceCode {
  std::string deviceCode, userCode, verificationUri;
  std::int64_t expiresIn = 0;
  std::int64_t interval = 5;  // RFC 8628 3.2: 5 seconds when the provider says nothing
};

std::string TextOf(const json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::int64_t NumberOf(const json& object, const char* name, std::int64_t otherwise) {
  auto found = object.find(name);
  return found != object.end() && found->is_number_integer() ? found->get<std::int64_t>()
                                                             : otherwise;
}

DeviceCode RequestDeviceCode(const OAuthClient& client) {
  HttpsResponse response = HttpsPost(client, client.deviceUrl,
                                     {{"client_id", client.clientId}, {"scope", client.scope}});
  json body = json::parse(response.body, nullptr, false);
  if (body.is_object() && body.contains("error")) {
    TokenAnswer refused;
    refused.error = TextOf(body, "error");
    refused.errorDescription = TextOf(body, "error_description");
    RaiseRefused(refused);
  }
  DeviceCode code;
  if (response.status == 200 && body.is_object()) {
    code.deviceCode = TextOf(body, "device_code");
    code.userCode = TextOf(body, "user_code");
    // Google's older name of the field.
    code.verificationUri = TextOf(body, body.contains("verification_uri") ? "verification_uri"
                                                                          : "verification_url");
    code.expiresIn = NumberOf(body, "expires_in", 0);
    code.interval = HeldInterval(NumberOf(body, "interval", 5));
  }
  if (code.deviceCode.empty() || code.userCode.empty() || code.verificationUri.empty() ||
      code.expiresIn <= 0) {
    RaiseSmtpError(msgOAuthEndpoint, FACILITY_ITF,
                   client.deviceUrl + ": HTTP status " + std::to_string(response.status) +
                       ", not a device authorization answer");
  }
  return code;
}

[[noreturn]] void RaiseEnded(const std::string& why) {
  RaiseSmtpError(msgOAuthSignIn, FACILITY_ITF, why);
}

}  // namespace

OAuthTokens DeviceFlow(const OAuthClient& client) {
  DeviceCode code = RequestDeviceCode(client);
  TellUser("To sign in, open " + code.verificationUri + " in a browser and enter the code " +
           code.userCode + "\nWaiting for the sign-in...\n");
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(std::min(code.expiresIn, longestSignIn));
  std::int64_t interval = code.interval;
  for (;;) {
    // An interval past the code's life would only wait to fail.
    std::this_thread::sleep_until(
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(interval)));
    if (std::chrono::steady_clock::now() >= deadline) RaiseEnded("the code expired unused");
    TokenAnswer answer = RequestTokens(
        client, {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                 {"device_code", code.deviceCode}});
    if (answer.error.empty()) return answer.tokens;
    if (answer.error == "authorization_pending") continue;
    // RFC 8628 3.5: every later poll waits 5 seconds longer.
    if (answer.error == "slow_down") {
      interval = HeldInterval(interval + slowDownStep);
      continue;
    }
    if (answer.error == "access_denied") RaiseEnded("the sign-in was declined (access_denied)");
    if (answer.error == "expired_token") RaiseEnded("the code expired unused (expired_token)");
    RaiseRefused(answer);
  }
}

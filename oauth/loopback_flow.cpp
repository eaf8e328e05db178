// The authorization-code flow for a program on the user's machine: PKCE S256 (RFC
// 7636), the redirect to http://127.0.0.1:PORT/ (RFC 8252 7.3) taken once it carries
// this sign-in's state (RFC 6749 10.12), the code exchanged (RFC 6749 4.1.3).
#include <map>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "oauth/https_post.h"
#include "oauth/pkce.h"
#include "oauth/sign_in_flows.h"
#include "platform/browser.h"
#include "platform/loopback_listener.h"

namespace {

// How long the user has to sign in in the browser.
constexpr std::uint32_t browserTimeout = 5 * 60 * 1000;

[[noreturn]] void RaiseEnded(const std::string& why) {
  RaiseSmtpError(msgOAuthSignIn, FACILITY_ITF, why);
}

// The query parameters of a request line "GET /?a=1&b=2 HTTP/1.1"; empty when the line
// is not a GET of the path "/". A repeated parameter reads as "\n" (FormDecode), which
// matches no state and is no code.
std::map<std::string, std::string> RedirectParameters(const std::string& requestLine) {
  const std::string start = "GET /?";
  std::size_t end = requestLine.find(' ', start.size());
  if (requestLine.compare(0, start.size(), start) != 0 || end == std::string::npos) return {};
  return FormDecode(requestLine.substr(start.size(), end - start.size()));
}

std::string Page(const char* status, const char* text) {
  return std::string("HTTP/1.1 ") + status +
         "\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n"
         "Cache-Control: no-store\r\n\r\n" + text + "\n";
}

// Serves the redirect and returns its code; raises 561 for an error redirect or none at
// all. Other requests (a browser's /favicon.ico) get a 404, and a redirect whose state
// is not this sign-in's gets a 400; neither ends the wait.
std::string AwaitCode(CLoopbackListener& listener, const std::string& state) {
  std::map<std::string, std::string> parameters;
  std::string failure;
  listener.ServeUntilTaken(browserTimeout, [&](const std::string& requestLine) {
    parameters = RedirectParameters(requestLine);
    if (parameters.empty()) {
      return CLoopbackListener::Answer{Page("404 Not Found", "Not found."), false};
    }
    auto get = [&](const char* name) {
      auto found = parameters.find(name);
      return found == parameters.end() ? std::string() : found->second;
    };
    // A request with another state is not the provider's redirect of this sign-in (a
    // stale tab, another program, someone guessing the port): it is turned away and the
    // sign-in goes on waiting.
    if (get("state") != state) {
      return CLoopbackListener::Answer{
          Page("400 Bad Request", "This is not the sign-in that e-mailer waits for."), false};
    }
    if (!get("error").empty()) {
      failure =
          get("error") + (get("error_description").empty() ? "" : ": " + get("error_description"));
    } else if (get("code").empty() || get("code") == "\n") {
      failure = "the redirect holds no code";
    }
    return CLoopbackListener::Answer{
        failure.empty() ? Page("200 OK", "The sign-in is done. You may close this window.")
                        : Page("400 Bad Request", "The sign-in failed. The terminal says why."),
        true};
  });
  if (!listener.Error().empty()) RaiseEnded(listener.Error());
  if (!failure.empty()) RaiseEnded(failure);
  return parameters["code"];
}

}  // namespace

OAuthTokens LoopbackFlow(const OAuthClient& client) {
  if (client.authorizeUrl.empty()) {
    RaiseSmtpError(msgOAuthSettings, FACILITY_ITF,
                   "OAuthAuthorizeURL or OAuthDeviceURL is needed to sign in");
  }
  CLoopbackListener listener;
  if (!listener.Error().empty()) RaiseEnded(listener.Error());
  const std::string redirectUri = "http://127.0.0.1:" + std::to_string(listener.Port()) + "/";
  const std::string state = RandomUrlText(16);
  const std::string verifier = RandomUrlText(32);  // 43 characters
  // access_type and prompt are Google's way to a refresh token; other providers ignore
  // parameters they do not know (RFC 6749 3.1).
  const std::string address =
      client.authorizeUrl + (client.authorizeUrl.find('?') == std::string::npos ? "?" : "&") +
      FormEncode({{"response_type", "code"},
                  {"client_id", client.clientId},
                  {"redirect_uri", redirectUri},
                  {"scope", client.scope},
                  {"state", state},
                  {"code_challenge", S256Challenge(verifier)},
                  {"code_challenge_method", "S256"},
                  {"access_type", "offline"},
                  {"prompt", "consent"}});
  TellUser("To sign in, open this address in a browser:\n" + address +
           "\nWaiting for the sign-in...\n");
  OpenInBrowser(address);
  const std::string code = AwaitCode(listener, state);
  TokenAnswer answer = RequestTokens(client, {{"grant_type", "authorization_code"},
                                              {"code", code},
                                              {"redirect_uri", redirectUri},
                                              {"code_verifier", verifier}});
  if (!answer.error.empty()) RaiseProviderError(answer);
  return answer.tokens;
}

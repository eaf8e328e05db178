// The application the program signs in as and the provider it signs in with: the
// endpoints, scope and client credentials that every OAuth 2.0 request uses.
#pragma once

#include <cstdint>
#include <string>

struct OAuthClient {
  std::string authorizeUrl{};  // authorization endpoint (RFC 6749 3.1)
  std::string tokenUrl{};      // token endpoint (RFC 6749 3.2)
  std::string deviceUrl{};     // device authorization endpoint (RFC 8628 3.1); may be empty
  std::string scope{};
  std::string clientId{};
  std::string clientSecret{};  // empty for a public client
  std::string caFile{};        // PEM file of trusted CAs; empty: the system's
  std::uint32_t timeout = 60000;  // milliseconds for each request
  // The sign-in takes the authorization-code flow with a loopback redirect even where
  // the provider has a device endpoint (OAuthFlow "browser", --authorize --browser).
  bool browserFlow = false;
  // The app-only scope when the client may take tokens with its secret alone (RFC 6749
  // 4.4) and no sign-in is stored; empty when it may not.
  std::string clientCredentialsScope{};
  // The settings' account whose tokens the store keeps (oauth/token_store.h); "" for
  // the default account.
  std::string account{};
};

// The provider's settings, as the user wrote them; empty texts are absent.
struct OAuthProviderSettings {
  std::string provider{};  // "microsoft", "google", "custom"; absent: "custom"
  std::string tenant{};    // Microsoft's tenant; absent: "organizations"
  std::string scope{}, authorizeUrl{}, tokenUrl{}, deviceUrl{};
};

// Fills client's endpoints and scope from the provider's preset, each replaced by its
// override where one is set; the client credentials scope is set for "microsoft" with a
// secret in client. Raises CTAVSMTPException 562 (facility 4) naming the setting when
// the provider is unknown (any letter case is taken) or no token endpoint results.
void ApplyProviderSettings(OAuthClient& client, const OAuthProviderSettings& settings);

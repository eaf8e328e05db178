// The test identity provider: identity_provider.py over HTTPS on a free port of
// 127.0.0.1, with a certificate for 127.0.0.1 from a test CA of its own, serving one
// client; its issued access tokens listed in a file that the SMTP test server reads.
// Stopped when the object goes.
#pragma once

#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "tests/support/tls_server.h"

struct IdentityProviderOptions {
  std::string clientId = "e-mailer-test";
  std::string clientSecret{};  // empty: a public client
  // Tokens taken as issued before the start (the access tokens valid for an hour).
  std::vector<std::string> accessTokens{};
  std::vector<std::string> refreshTokens{};
};

class IdentityProvider {
 public:
  explicit IdentityProvider(const IdentityProviderOptions& options = {});

  // "https://127.0.0.1:PORT/authorize", ".../token", ".../devicecode".
  std::string Url(const std::string& endpoint) const;
  // The test CA's certificate, for OAuthCAFile.
  std::string CaFile() const { return ca.Certificate().string(); }
  // The file of issued access tokens, for SmtpServerOptions::oauthTokenFile.
  std::string AccessTokenFile() const { return (dir.Path() / "access_tokens").string(); }
  // Scripts the next answers of the token endpoint (see the script).
  void Script(const std::vector<std::string>& answers) const;
  // One line per request: "authorize", "devicecode" or the grant type.
  std::vector<std::string> Requests() const;
  // Every access token issued so far.
  std::vector<std::string> IssuedAccessTokens() const;

 private:
  TempDir dir;
  TestCertificateAuthority ca;
  TestCertificate certificate;
  ServerProcess server;
};

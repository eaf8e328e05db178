#include "tests/support/identity_provider.h"

#include <sstream>

namespace {

std::vector<std::string> Words(const std::string& text, bool firstOfLine) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (firstOfLine) line = line.substr(0, line.find(' '));
    if (!line.empty()) words.push_back(line);
  }
  return words;
}

}  // namespace

IdentityProvider::IdentityProvider(const IdentityProviderOptions& options)
    : certificate(ca.Issue("127.0.0.1", "IP:127.0.0.1")),
      server([&](std::uint16_t port) {
        std::vector<std::string> argv{"/usr/bin/python3",
                                      EMAILER_TEST_SUPPORT_DIR "/identity_provider.py",
                                      std::to_string(port), dir.Path().string(),
                                      certificate.certificate.string(), certificate.key.string(),
                                      "--client-id", options.clientId};
        if (!options.clientSecret.empty()) {
          argv.insert(argv.end(), {"--client-secret", options.clientSecret});
        }
        argv.push_back("--access-token");
        argv.insert(argv.end(), options.accessTokens.begin(), options.accessTokens.end());
        argv.push_back("--refresh-token");
        argv.insert(argv.end(), options.refreshTokens.begin(), options.refreshTokens.end());
        return argv;
      }) {}

std::string IdentityProvider::Url(const std::string& endpoint) const {
  return "https://127.0.0.1:" + std::to_string(server.Port()) + "/" + endpoint;
}

void IdentityProvider::Script(const std::vector<std::string>& answers) const {
  std::string text;
  for (const std::string& answer : answers) text += answer + "\n";
  dir.Write("script", text);
}

std::vector<std::string> IdentityProvider::Requests() const {
  return Words(ReadFile(dir.Path() / "requests"), false);
}

std::vector<std::string> IdentityProvider::IssuedAccessTokens() const {
  return Words(ReadFile(dir.Path() / "access_tokens"), true);
}

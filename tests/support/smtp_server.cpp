#include "tests/support/smtp_server.h"

#include <filesystem>
#include <sstream>

SmtpTestServer::SmtpTestServer(const SmtpServerOptions& options)
    : certificate(!options.tls && !options.startTls ? std::nullopt
                  : options.certificate                 ? options.certificate
                                                        : std::optional(MakeTestCertificate(setup))),
      server([&](std::uint16_t port) { return Command(options, port); }) {}

std::vector<std::string> SmtpTestServer::Command(const SmtpServerOptions& options,
                                                 std::uint16_t port) const {
  std::vector<std::string> argv{"/usr/bin/python3", EMAILER_TEST_SUPPORT_DIR "/smtp_server.py",
                                std::to_string(port), dir.Path().string(),
                                "--user", options.user, "--password", options.password};
  if (certificate) {
    argv.insert(argv.end(), {options.tls ? "--tls" : "--starttls",
                             certificate->certificate.string(), certificate->key.string()});
  }
  if (!options.ntlmUsers.empty()) {
    argv.insert(argv.end(),
                {"--ntlm-users", setup.Write("ntlm_users", options.ntlmUsers).string()});
  }
  if (options.dsn) argv.push_back("--dsn");
  if (options.authRequired) argv.push_back("--auth-required");
  if (!options.oauthTokenFile.empty())
    argv.insert(argv.end(), {"--oauth-tokens", options.oauthTokenFile});
  if (options.dropOnQuit) argv.push_back("--drop-on-quit");
  if (options.resizeOnData) {
    argv.insert(argv.end(), {"--resize-on-data", options.resizeOnData->path,
                             std::to_string(options.resizeOnData->size)});
  }
  if (!options.rejectedRecipients.empty()) {
    argv.push_back("--reject-recipient");
    argv.insert(argv.end(), options.rejectedRecipients.begin(), options.rejectedRecipients.end());
  }
  if (!options.deferredRecipients.empty()) {
    argv.push_back("--defer-recipient");
    argv.insert(argv.end(), options.deferredRecipients.begin(), options.deferredRecipients.end());
  }
  if (!options.mechanisms.empty()) {
    argv.push_back("--auth");
    argv.insert(argv.end(), options.mechanisms.begin(), options.mechanisms.end());
  }
  return argv;
}

std::vector<ReceivedMessage> SmtpTestServer::Messages() const {
  std::vector<ReceivedMessage> messages;
  for (int n = 1;; ++n) {
    std::filesystem::path envelope = dir.Path() / (std::to_string(n) + ".envelope");
    if (!std::filesystem::exists(envelope)) return messages;
    messages.push_back({ReadFile(envelope), ReadFile(dir.Path() / (std::to_string(n) + ".eml"))});
  }
}

std::vector<std::string> SmtpTestServer::Logins() const { return ReadLines("logins"); }

std::vector<std::string> SmtpTestServer::RefusedLogins() const { return ReadLines("refused"); }

std::vector<std::string> SmtpTestServer::Transcript() const { return ReadLines("transcript"); }

std::vector<std::string> SmtpTestServer::ReadLines(const std::string& name) const {
  std::vector<std::string> lines;
  std::istringstream text(ReadFile(dir.Path() / name));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

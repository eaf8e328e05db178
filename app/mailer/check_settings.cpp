// The check's settings step: every value the file holds, each known one shown (secrets
// as "set"), each unknown one with the known name it is closest to, and the values
// that would keep a message from going.
#include "app/mailer/check_settings.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <vector>

#include "app/run/settings.h"
#include "app/run/settings_checks.h"

namespace {

// The values the program reads; where and whether each is shown is the settings' to say
// (SmtpValueScope, IsSmtpSecret).
constexpr std::string_view knownSettings[] = {
    "Server", "Port", "SSL", "StartTLS", "TLSVerify", "TLSCAFile",
    "TLSFingerprint", "AuthMethod", "AuthUser", "AuthPassword",
    "AuthPasswordCommand", "SenderEMail", "SenderName", "RecipientEMail",
    "RecipientName", "Timeout", "Pipelining", "Queue", "QueueLifetime",
    "Aliases", "Log", "LogFile", "SenderMatch",
    "OAuthProvider", "OAuthTenant", "OAuthClientID", "OAuthClientSecret",
    "OAuthClientSecretCommand", "OAuthScope", "OAuthAuthorizeURL",
    "OAuthTokenURL", "OAuthDeviceURL", "OAuthCAFile", "OAuthFlow",
};

// The dword values that must hold a number.
constexpr const char* dwordSettings[] = {"StartTLS", "TLSVerify", "Timeout", "Pipelining",
                                         "Queue", "QueueLifetime", "Log"};

bool IsKnown(const std::string& name) {
  return std::any_of(std::begin(knownSettings), std::end(knownSettings), [&](std::string_view known) {
    return known.size() == name.size() && strncasecmp(known.data(), name.c_str(), name.size()) == 0;
  });
}

// Edits that turn a into b, letters compared without case.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                  std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// What keeps a message from going, in the order a reader fixes it; "" when nothing.
std::string OutOfRange(const CheckSettings& s) {
  if (s.server.empty()) return "Server is not set";
  if (s.port < 1 || s.port > 65535) return "Port " + std::to_string(s.port) + " is not 1-65535";
  if (s.authMethod < 0 || s.authMethod > 7) {
    return "AuthMethod " + std::to_string(s.authMethod) + " is not 0-7";
  }
  for (const auto& [name, address] : {std::pair{"SenderEMail", &s.sender},
                                      std::pair{"RecipientEMail", &s.recipient}}) {
    if (address->empty()) return std::string(name) + " is not set";
    if (address->find_first_of(std::string("\r\n<>\0", 5)) != std::string::npos) {
      return std::string(name) + " holds a line break, NUL, '<' or '>'";
    }
  }
  const bool hasSecret = !ReadSmtpSetting("AuthPassword", "").empty() ||
                         !ReadSmtpSetting("AuthPasswordCommand", "").empty();
  if (s.authMethod >= 1 && s.authMethod <= 6) {
    if (ReadSmtpSetting("AuthUser", "").empty()) return "AuthMethod needs AuthUser";
    if (!hasSecret) {
      return "AuthMethod needs AuthPassword or AuthPasswordCommand" +
             std::string(SmtpAccountName().empty()
                             ? ""
                             : " (an account that sends elsewhere or otherwise than the default "
                               "account, another Server, Port, AuthUser or weaker TLS, has only its own)");
    }
  }
  if (s.authMethod == 7 && !hasSecret && ReadSmtpSetting("OAuthClientID", "").empty()) {
    return "AuthMethod 7 needs OAuthClientID (or a token in AuthPasswordCommand)";
  }
  std::string flow = ReadSmtpSetting("OAuthFlow", "");
  if (!flow.empty() && strcasecmp(flow.c_str(), "device") != 0 &&
      strcasecmp(flow.c_str(), "browser") != 0) {
    return "OAuthFlow \"" + flow + "\" is not device or browser";
  }
  return {};
}

void ReadCheckSettings(CheckSettings& s) {
  s.server = ReadSmtpSetting("Server", "");
  s.port = std::atoi(ReadSmtpSetting("Port", "25").c_str());
  s.ssl = std::atoi(ReadSmtpSetting("SSL", "").c_str()) != 0;
  s.startTls = ReadDwordSetting("StartTLS").value_or(0) != 0;
  s.authMethod = std::atoi(ReadSmtpSetting("AuthMethod", "").c_str());
  s.sender = ReadSmtpSetting("SenderEMail", "");
  s.recipient = ReadSmtpSetting("RecipientEMail", "");
  s.timeout = ReadTimeoutSetting();
  std::optional<std::int64_t> verify = ReadDwordSetting("TLSVerify");
  s.pinned = !ReadSmtpSetting("TLSFingerprint", "").empty();
  s.verified = verify ? *verify != 0 : s.startTls || !ReadSmtpSetting("TLSCAFile", "").empty();
}

// One line per value the key of the account in use holds, the unknown names, and the
// names read only in another kind of key.
void DescribeValues(CheckStep& step) {
  const bool account = !SmtpAccountName().empty();
  for (const std::string& name : SmtpValueNames()) {
    if (name.empty()) continue;  // the key's default value, which no run reads
    // The token stores' records, which are values of this key on Windows.
    if (name.starts_with("oauth-tokens") && name.ends_with(".json")) continue;
    const SmtpScope scope = SmtpValueScope(name);
    if (!IsKnown(name)) {
      std::string closest = ClosestSettingName(name);
      step.details.push_back(name + ": not a setting e-mailer knows" +
                             (closest.empty() ? "" : " (did you mean " + closest + "?)"));
    } else if (scope == SmtpScope::DefaultOnly && account) {
      step.details.push_back(name + ": not read in an account, the default account's is used");
    } else if (scope == SmtpScope::AccountOnly && !account) {
      step.details.push_back(name + ": read only in an account (a key Accounts\\NAME)");
    } else if (IsSmtpSecret(name)) {
      step.details.push_back(name + ": set");
    } else {
      step.details.push_back(name + " = " + ReadSmtpSetting(name.c_str(), ""));
    }
  }
}

}  // namespace

std::string ClosestSettingName(const std::string& name) {
  std::string_view best;
  // More edits than a third of the name (at least one, at most three) make another word.
  std::size_t bestDistance = std::clamp<std::size_t>(name.size() / 3, 1, 3) + 1;
  for (std::string_view known : knownSettings) {
    std::size_t distance = EditDistance(name, known);
    if (distance < bestDistance) {
      best = known;
      bestDistance = distance;
    }
  }
  return std::string(best);
}

CheckStep SettingsStep(CheckSettings& settings, std::optional<Diagnosis>& failure) {
  CheckStep step("settings");
  std::string file = SmtpSettingsFile();
  std::string exposure = SmtpSettingsExposure();
  const std::string account = SmtpAccountName();
  step.found = (file.empty() ? std::string("no settings file") : file) +
               (account.empty() ? "" : ", account " + account + " (the values it leaves out are the default's)") +
               (exposure.empty() ? ", writable by its owner alone" : ", " + exposure);
  DescribeValues(step);
  std::string problem;
  try {
    for (const char* name : dwordSettings) ReadDwordSetting(name);
    ReadCheckSettings(settings);
    problem = OutOfRange(settings);
    // As the connect step: settings that hold a secret or name a client must be the
    // owner's alone.
    if (problem.empty() && (!ReadSmtpSetting("AuthPassword", "").empty() ||
                            !ReadSmtpSetting("AuthPasswordCommand", "").empty() ||
                            !ReadSmtpSetting("OAuthClientID", "").empty())) {
      RefuseSettingsOthersCanChange();
    }
  } catch (const CSettingError& e) {
    problem = e.what();
  }
  if (!problem.empty()) {
    step.ok = false;
    failure = Diagnosis{problem, "correct it in " + file, CheckConfig};
  }
  return step;
}

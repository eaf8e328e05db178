#include "app/run/settings.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run/sender_pattern.h"
#include "platform/process_hardening.h"
#include "platform/registry.h"
#include "platform/terminal_text.h"
#include "smtp/auth_text.h"

namespace {

constexpr REGSAM keyAccess = KEY_READ | KEY_WRITE;  // 0x2001F

// Where a section key's values come from (SourceOf).
enum class KeySource { User, Machine, None };

struct ChosenSource {
  std::string company;
  std::string product;
  std::string section;
  KeySource source;
};
std::vector<ChosenSource> chosenSources;

// The user's own key when it is there or when the machine has none; the machine's
// otherwise. Chosen by where the keys are, before either is read: with the user's own the
// program's group is given up first, so what the user wrote is never read with it. None
// when the group cannot be given up. Kept for the run.
KeySource SourceOf(const char* company, const char* product, const char* section) {
  for (const ChosenSource& chosen : chosenSources) {
    if (chosen.company == company && chosen.product == product && chosen.section == section) {
      return chosen.source;
    }
  }
  KeySource source = KeySource::User;
  if (!UserKeyPlace(company, product, section).exists && MachineKeyPlace(company, product, section).exists) {
    source = KeySource::Machine;
  } else if (!GiveUpProgramGroup()) {
    source = KeySource::None;
  }
  chosenSources.push_back({company, product, section, source});
  return source;
}

// software\company\product, each key opened or created; null when any step fails.
HKEY OpenProductKey(const char* company, const char* product) {
  HKEY softwareKey = nullptr;
  HKEY companyKey = nullptr;
  HKEY productKey = nullptr;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, "software", keyAccess, &softwareKey) == ERROR_SUCCESS &&
      RegCreateKeyEx(softwareKey, company, keyAccess, &companyKey) == ERROR_SUCCESS) {
    RegCreateKeyEx(companyKey, product, keyAccess, &productKey);
  }
  if (softwareKey != nullptr) RegCloseKey(softwareKey);
  if (companyKey != nullptr) RegCloseKey(companyKey);
  return productKey;
}

// software\company\product\section of the source chosen, the user's opened or created;
// null when any step fails.
HKEY OpenSectionKey(const char* company, const char* product, const char* section) {
  HKEY sectionKey = nullptr;
  const KeySource source = SourceOf(company, product, section);
  if (source == KeySource::Machine) RegOpenMachineKey(company, product, section, &sectionKey);
  if (source != KeySource::User) return sectionKey;
  HKEY productKey = OpenProductKey(company, product);
  if (productKey != nullptr) {
    RegCreateKeyEx(productKey, section, keyAccess, &sectionKey);
    RegCloseKey(productKey);
  }
  return sectionKey;
}

// The section keys kept open while a CSettingsReadOnce lives.
struct KeptSection {
  std::string company;
  std::string product;
  std::string section;
  HKEY key;
};
bool keepingSections = false;
std::vector<KeptSection> keptSections;

HKEY KeptSectionKey(const char* company, const char* product, const char* section) {
  for (const KeptSection& kept : keptSections) {
    if (kept.company == company && kept.product == product && kept.section == section) {
      return kept.key;
    }
  }
  return nullptr;
}

// The value as text; false when it is missing or a read fails.
bool QueryValueText(HKEY key, const char* valueName, std::string* text) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueEx(key, valueName, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type == REG_SZ) {
    std::string buffer(size, '\0');
    if (RegQueryValueEx(key, valueName, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS) {
      return false;
    }
    *text = buffer.c_str();  // up to the first NUL
  } else if (type == REG_DWORD) {
    DWORD number = 0;
    size = sizeof number;
    if (RegQueryValueEx(key, valueName, nullptr, reinterpret_cast<BYTE*>(&number), &size) !=
        ERROR_SUCCESS) {
      return false;
    }
    *text = std::to_string(static_cast<int>(number));
  } else {
    text->clear();
  }
  return true;
}

// Calls use with the section key, opened or created, or with null when it cannot be.
// A key kept open by CSettingsReadOnce is reused; any other is closed afterwards.
template <typename Use>
auto WithSectionKey(const char* company, const char* product, const char* section, Use use) {
  HKEY sectionKey = KeptSectionKey(company, product, section);
  if (sectionKey == nullptr) {
    sectionKey = OpenSectionKey(company, product, section);
    if (sectionKey != nullptr && keepingSections) {
      keptSections.push_back({company, product, section, sectionKey});
    }
  }
  auto result = use(sectionKey);
  if (sectionKey != nullptr && !keepingSections) RegCloseKey(sectionKey);
  return result;
}

// The value as ReadRegistryString reads it; nullopt where that gives the default.
std::optional<std::string> ReadRegistryValue(const char* company, const char* product,
                                             const char* section, const char* valueName) {
  return WithSectionKey(company, product, section, [&](HKEY key) -> std::optional<std::string> {
    std::string text;
    if (key == nullptr || !QueryValueText(key, valueName, &text)) return std::nullopt;
    return text;
  });
}

constexpr const char* smtpCompany = "Zelkor";
constexpr const char* smtpProduct = "Kestrum";
constexpr const char* smtpSection = "SMTP";

// The account in use, as its key spells it; "" for the default.
std::string accountInUse;

// Calls use with the key of account below the SMTP key sectionKey (null when there is
// no such account); closes it afterwards.
template <typename Use>
auto WithAccountKey(HKEY sectionKey, const std::string& account, Use use) {
  HKEY accountsKey = nullptr;
  HKEY accountKey = nullptr;
  if (sectionKey != nullptr && RegOpenKeyEx(sectionKey, "Accounts", KEY_READ, &accountsKey) == ERROR_SUCCESS) {
    RegOpenKeyEx(accountsKey, account.c_str(), KEY_READ, &accountKey);
  }
  auto result = use(accountKey);
  if (accountKey != nullptr) RegCloseKey(accountKey);
  if (accountsKey != nullptr) RegCloseKey(accountsKey);
  return result;
}

std::optional<std::string> KeyValueText(HKEY key, const char* valueName) {
  std::string text;
  if (key == nullptr || !QueryValueText(key, valueName, &text)) return std::nullopt;
  return text;
}

// True when the account would send a secret of the default account to another place or
// another way: it names its own Server (without regard to case), Port, AuthUser,
// AuthMethod, OAuthProvider, OAuthTenant (without regard to case), OAuthTokenURL,
// OAuthDeviceURL, TLSCAFile or TLSFingerprint (without regard to case) other than the
// default's, or turns off TLS (SSL and StartTLS) or its check (TLSVerify) where the
// default has it on. A missing value is its default (Port 25, AuthMethod 0, TLS off,
// TLSVerify on).
bool SendsElsewhere(HKEY sectionKey, HKEY accountKey) {
  const auto differs = [&](const char* name, const char* fallback, bool anyCase) {
    const std::optional<std::string> own = KeyValueText(accountKey, name);
    const std::string base = KeyValueText(sectionKey, name).value_or(fallback);
    return own && (anyCase ? !EqualsIgnoringCase(*own, base) : *own != base);
  };
  if (differs("Server", "", true) || differs("Port", "25", false) || differs("AuthUser", "", false) ||
      differs("AuthMethod", "0", false) || differs("OAuthProvider", "", true) || differs("OAuthTenant", "", true) ||
      differs("OAuthTokenURL", "", false) || differs("OAuthDeviceURL", "", false) ||
      differs("TLSCAFile", "", false) || differs("TLSFingerprint", "", true)) {
    return true;
  }
  const auto on = [&](const char* name, bool account, int fallback) {
    std::optional<std::string> value = account ? KeyValueText(accountKey, name) : std::nullopt;
    if (!value) value = KeyValueText(sectionKey, name);
    return (value ? std::atoi(value->c_str()) : fallback) != 0;
  };
  const bool baseTls = on("SSL", false, 0) || on("StartTLS", false, 0);
  const bool accountTls = on("SSL", true, 0) || on("StartTLS", true, 0);
  return (baseTls && !accountTls) || (on("TLSVerify", false, 1) && !on("TLSVerify", true, 1));
}

// The value of account as a read sees it: its own, else the default account's where it
// may take that (see settings.h).
std::optional<std::string> AccountValue(HKEY sectionKey, const std::string& account, const char* valueName) {
  return WithAccountKey(sectionKey, account, [&](HKEY accountKey) -> std::optional<std::string> {
    if (accountKey == nullptr) return std::nullopt;
    std::optional<std::string> own = KeyValueText(accountKey, valueName);
    if (own || SmtpValueScope(valueName) == SmtpScope::AccountOnly) return own;
    if (IsSmtpSecret(valueName) && SendsElsewhere(sectionKey, accountKey)) return std::nullopt;
    return KeyValueText(sectionKey, valueName);
  });
}

}  // namespace

bool IsSmtpSecret(std::string_view name) {
  for (const char* secret : {"AuthPassword", "AuthPasswordCommand", "OAuthClientSecret", "OAuthClientSecretCommand"}) {
    if (EqualsIgnoringCase(name, secret)) return true;
  }
  return false;
}

SmtpScope SmtpValueScope(std::string_view name) {
  if (EqualsIgnoringCase(name, "SenderMatch")) return SmtpScope::AccountOnly;
  for (const char* machine : {"Aliases", "Log", "LogFile", "Queue", "QueueLifetime"}) {
    if (EqualsIgnoringCase(name, machine)) return SmtpScope::DefaultOnly;
  }
  return SmtpScope::Any;
}

std::string ReadRegistryString(const char* company, const char* product, const char* section,
                               const char* valueName, const char* defaultText) {
  if (company == nullptr) return {};
  return ReadRegistryValue(company, product, section, valueName).value_or(defaultText);
}

std::string ReadSmtpSetting(const char* valueName, const char* defaultText) {
  return ReadSmtpValue(valueName).value_or(defaultText);
}

std::optional<std::string> ReadSmtpValue(const char* valueName) {
  if (accountInUse.empty() || SmtpValueScope(valueName) == SmtpScope::DefaultOnly) {
    return ReadRegistryValue(smtpCompany, smtpProduct, smtpSection, valueName);
  }
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection,
                        [&](HKEY key) { return AccountValue(key, accountInUse, valueName); });
}

std::string SmtpSettingsExposure() {
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection,
                        [](HKEY key) { return key != nullptr ? KeyExposure(key) : std::string(); });
}

bool UsesSystemSettings() { return SourceOf(smtpCompany, smtpProduct, smtpSection) == KeySource::Machine; }

std::string SmtpSettingsPlaces() {
  const KeySource source = SourceOf(smtpCompany, smtpProduct, smtpSection);
  const RegKeyPlace user = UserKeyPlace(smtpCompany, smtpProduct, smtpSection);
  const RegKeyPlace machine = MachineKeyPlace(smtpCompany, smtpProduct, smtpSection);
  const std::string own = user.location.empty()
                              ? "the caller's own settings (there is no config folder: no XDG_CONFIG_HOME, "
                                "and neither HOME nor the passwd entry gives a home folder of the caller's)"
                              : user.location;
  switch (source) {
    case KeySource::Machine:
      return machine.location + " (the system's settings; the caller has none of their own in " + own + ")";
    case KeySource::None:
      return own + " (not read: the program's group could not be given up)";
    case KeySource::User:
      break;
  }
  if (machine.exists) return own + " (the caller's own settings, used instead of the system's " + machine.location + ")";
  return user.exists ? own : own + " or the system's " + machine.location + " (neither is there)";
}

std::string SmtpSettingsFile() {
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection, [](HKEY key) -> std::string {
    if (key == nullptr) return {};
    std::string location = KeyLocation(key);
    if (!location.empty()) return location;
    // Windows: the key is the registry's own, at the place it was opened from.
    const auto place = UsesSystemSettings() ? MachineKeyPlace : UserKeyPlace;
    return place(smtpCompany, smtpProduct, smtpSection).location;
  });
}

std::vector<std::string> SmtpValueNames() {
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection, [](HKEY key) {
    if (accountInUse.empty()) return KeyValueNames(key);
    return WithAccountKey(key, accountInUse, [](HKEY accountKey) { return KeyValueNames(accountKey); });
  });
}

std::vector<std::string> SmtpAccountNames() {
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection, [](HKEY key) {
    HKEY accountsKey = nullptr;
    if (key == nullptr || RegOpenKeyEx(key, "Accounts", KEY_READ, &accountsKey) != ERROR_SUCCESS) {
      return std::vector<std::string>();
    }
    std::vector<std::string> names = KeySubkeyNames(accountsKey);
    RegCloseKey(accountsKey);
    return names;
  });
}

bool UseSmtpAccount(const std::string& name) {
  if (name.empty()) {
    accountInUse.clear();
    return true;
  }
  for (const std::string& account : SmtpAccountNames()) {
    if (!EqualsIgnoringCase(account, name)) continue;
    accountInUse = account;
    return true;
  }
  return false;
}

std::string SmtpAccountName() { return accountInUse; }

std::string SmtpAccountForSender(const std::string& sender) {
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection, [&](HKEY key) {
    for (const std::string& account : SmtpAccountNames()) {
      const std::optional<std::string> patterns = WithAccountKey(
          key, account, [](HKEY accountKey) { return KeyValueText(accountKey, "SenderMatch"); });
      if (patterns && SenderMatches(*patterns, sender)) return account;
    }
    return std::string();
  });
}

std::string SmtpAccountsKnown() {
  const std::vector<std::string> names = SmtpAccountNames();
  if (names.empty()) return "there are no accounts";
  std::string known = "the accounts there are: ";
  for (const std::string& name : names) {
    if (&name != &names.front()) known += ", ";
    known += TerminalText(name, false);
  }
  return known;
}

CSettingsReadOnce::CSettingsReadOnce() { keepingSections = true; }

CSettingsReadOnce::~CSettingsReadOnce() {
  for (const KeptSection& kept : keptSections) RegCloseKey(kept.key);
  keptSections.clear();
  keepingSections = false;
}


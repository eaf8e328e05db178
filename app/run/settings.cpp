#include "app/run/settings.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

constexpr REGSAM keyAccess = KEY_READ | KEY_WRITE;  // 0x2001F

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

// software\company\product\section, opened or created; null when any step fails.
HKEY OpenSectionKey(const char* company, const char* product, const char* section) {
  HKEY productKey = OpenProductKey(company, product);
  HKEY sectionKey = nullptr;
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

}  // namespace

std::string ReadRegistryString(const char* company, const char* product, const char* section,
                               const char* valueName, const char* defaultText) {
  if (company == nullptr) return {};
  return ReadRegistryValue(company, product, section, valueName).value_or(defaultText);
}

std::string ReadSmtpSetting(const char* valueName, const char* defaultText) {
  return ReadRegistryString(smtpCompany, smtpProduct, smtpSection, valueName, defaultText);
}

std::optional<std::string> ReadSmtpValue(const char* valueName) {
  return ReadRegistryValue(smtpCompany, smtpProduct, smtpSection, valueName);
}

std::string SmtpSettingsExposure() {
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection,
                        [](HKEY key) { return key != nullptr ? KeyExposure(key) : std::string(); });
}

std::string SmtpSettingsFile() {
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection, [](HKEY key) -> std::string {
    if (key == nullptr) return {};
    std::string location = KeyLocation(key);
    return location.empty() ? "HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP" : location;
  });
}

std::vector<std::string> SmtpValueNames() {
  return WithSectionKey(smtpCompany, smtpProduct, smtpSection,
                        [](HKEY key) { return KeyValueNames(key); });
}

CSettingsReadOnce::CSettingsReadOnce() { keepingSections = true; }

CSettingsReadOnce::~CSettingsReadOnce() {
  for (const KeptSection& kept : keptSections) RegCloseKey(kept.key);
  keptSections.clear();
  keepingSections = false;
}

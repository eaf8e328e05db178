#include "app/settings.h"

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

}  // namespace

std::string ReadRegistryString(const char* company, const char* product, const char* section,
                               const char* valueName, const char* defaultText) {
  if (company == nullptr) return {};
  HKEY sectionKey = KeptSectionKey(company, product, section);
  if (sectionKey == nullptr) {
    sectionKey = OpenSectionKey(company, product, section);
    if (sectionKey == nullptr) return defaultText;
    if (keepingSections) keptSections.push_back({company, product, section, sectionKey});
  }
  std::string text;
  bool read = QueryValueText(sectionKey, valueName, &text);
  if (!keepingSections) RegCloseKey(sectionKey);
  return read ? text : defaultText;
}

std::string ReadSmtpSetting(const char* valueName, const char* defaultText) {
  return ReadRegistryString("Zelkor", "Kestrum", "SMTP", valueName, defaultText);
}

CSettingsReadOnce::CSettingsReadOnce() { keepingSections = true; }

CSettingsReadOnce::~CSettingsReadOnce() {
  for (const KeptSection& kept : keptSections) RegCloseKey(kept.key);
  keptSections.clear();
  keepingSections = false;
}

#include "app/settings.h"

#include <string>

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
  HKEY productKey = OpenProductKey(company, product);
  HKEY sectionKey = nullptr;
  if (productKey != nullptr) {
    RegCreateKeyEx(productKey, section, keyAccess, &sectionKey);
    RegCloseKey(productKey);
  }
  if (sectionKey == nullptr) return defaultText;
  std::string text;
  bool read = QueryValueText(sectionKey, valueName, &text);
  RegCloseKey(sectionKey);
  return read ? text : defaultText;
}

std::string ReadSmtpSetting(const char* valueName, const char* defaultText) {
  return ReadRegistryString("Zelkor", "Kestrum", "SMTP", valueName, defaultText);
}

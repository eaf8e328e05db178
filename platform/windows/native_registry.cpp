// The system registry's calls behind native_registry.h.
#include "platform/windows/native_registry.h"

#include <windows.h>

namespace native_registry {

Key CurrentUser() { return HKEY_CURRENT_USER; }

Key LocalMachine() { return HKEY_LOCAL_MACHINE; }

std::int32_t OpenKey(Key parent, const char* subKey, std::uint32_t access, bool create, Key* result) {
  HKEY opened = nullptr;
  LSTATUS status =
      create ? RegCreateKeyExA(static_cast<HKEY>(parent), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               access, nullptr, &opened, nullptr)
             : RegOpenKeyExA(static_cast<HKEY>(parent), subKey, 0, access, &opened);
  *result = status == ERROR_SUCCESS ? opened : nullptr;
  return status;
}

std::int32_t QueryValue(Key key, const char* valueName, std::uint32_t* type, unsigned char* data,
                        std::uint32_t* size) {
  DWORD valueType = 0;
  DWORD valueSize = size != nullptr ? *size : 0;
  LSTATUS status = RegQueryValueExA(static_cast<HKEY>(key), valueName, nullptr, &valueType, data,
                                    size != nullptr ? &valueSize : nullptr);
  if (type != nullptr) *type = valueType;
  if (size != nullptr) *size = valueSize;
  return status;
}

std::vector<std::string> ValueNames(Key key) {
  std::vector<std::string> names;
  // A value name has at most 16383 characters.
  char name[16384];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumValueA(static_cast<HKEY>(key), index, name, &length, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      return names;
    }
    names.emplace_back(name, length);
  }
}

std::vector<std::string> SubkeyNames(Key key) {
  std::vector<std::string> names;
  // A key name has at most 255 characters.
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(static_cast<HKEY>(key), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return names;
    }
    names.emplace_back(name, length);
  }
}

std::int32_t CloseKey(Key key) { return RegCloseKey(static_cast<HKEY>(key)); }

}  // namespace native_registry

// The current user's registry: the program's registry interface served by the system
// registry (native_registry.h). A key handle is the system's own.
#include "platform/registry.h"

#include "platform/windows/native_registry.h"

namespace {

HKEY ProgramKey(native_registry::Key key) { return reinterpret_cast<HKEY>(key); }

native_registry::Key SystemKey(HKEY key) { return reinterpret_cast<native_registry::Key>(key); }

LSTATUS Open(HKEY key, const char* subKey, REGSAM access, bool create, HKEY* result) {
  native_registry::Key opened = nullptr;
  LSTATUS status = native_registry::OpenKey(SystemKey(key), subKey, access, create, &opened);
  *result = ProgramKey(opened);
  return status;
}

}  // namespace

const HKEY HKEY_CURRENT_USER = ProgramKey(native_registry::CurrentUser());

LSTATUS RegOpenKeyEx(HKEY key, const char* subKey, REGSAM access, HKEY* result) {
  return Open(key, subKey, access, false, result);
}

LSTATUS RegCreateKeyEx(HKEY key, const char* subKey, REGSAM access, HKEY* result) {
  return Open(key, subKey, access, true, result);
}

LSTATUS RegQueryValueEx(HKEY key, const char* valueName, DWORD* type, BYTE* data, DWORD* size) {
  return native_registry::QueryValue(SystemKey(key), valueName, type, data, size);
}

LSTATUS RegCloseKey(HKEY key) { return native_registry::CloseKey(SystemKey(key)); }

std::vector<std::string> KeyValueNames(HKEY key) {
  return native_registry::ValueNames(SystemKey(key));
}

std::string KeyLocation(HKEY) { return {}; }

std::string KeyExposure(HKEY) { return {}; }

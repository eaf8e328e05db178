// The current user's registry and the machine's settings key: the program's registry
// interface served by the system registry (native_registry.h). A key handle is the
// system's own.
#include "platform/registry.h"

#include <string>

#include "platform/windows/native_registry.h"

namespace {

HKEY ProgramKey(native_registry::Key key) { return reinterpret_cast<HKEY>(key); }

native_registry::Key SystemKey(HKEY key) { return reinterpret_cast<native_registry::Key>(key); }

// "software\<company>\<product>\<section>", the path of a settings key below its root.
std::string SettingsPath(const char* company, const char* product, const char* section) {
  return std::string("software\\") + company + "\\" + product + "\\" + section;
}

// Where the key lies below root, and whether it is there.
RegKeyPlace Place(native_registry::Key root, const char* rootName, const std::string& path) {
  native_registry::Key opened = nullptr;
  RegKeyPlace place;
  place.location = std::string(rootName) + "\\" + path;
  place.exists = native_registry::OpenKey(root, path.c_str(), KEY_QUERY_VALUE, false, &opened) == ERROR_SUCCESS;
  if (opened != nullptr) native_registry::CloseKey(opened);
  return place;
}

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

std::vector<std::string> KeySubkeyNames(HKEY key) { return native_registry::SubkeyNames(SystemKey(key)); }

std::string KeyLocation(HKEY) { return {}; }

std::string KeyExposure(HKEY) { return {}; }

void RegForgetValues(bool (*)(std::string_view)) {}  // no run here holds a group of its own

LSTATUS RegOpenMachineKey(const char* company, const char* product, const char* section, HKEY* result) {
  native_registry::Key opened = nullptr;
  LSTATUS status = native_registry::OpenKey(native_registry::LocalMachine(),
                                            SettingsPath(company, product, section).c_str(), KEY_READ, false, &opened);
  *result = ProgramKey(opened);
  return status;
}

RegKeyPlace UserKeyPlace(const char* company, const char* product, const char* section) {
  return Place(native_registry::CurrentUser(), "HKEY_CURRENT_USER", SettingsPath(company, product, section));
}

RegKeyPlace MachineKeyPlace(const char* company, const char* product, const char* section) {
  return Place(native_registry::LocalMachine(), "HKEY_LOCAL_MACHINE", SettingsPath(company, product, section));
}

// The system registry's calls as registry.cpp uses them, in types that need no
// <windows.h>: the program's registry interface (platform/registry.h) names its types
// as the system does, so the two cannot meet in one file. A key is the system's HKEY;
// a status is the system's error number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace native_registry {

using Key = void*;

Key CurrentUser();
Key LocalMachine();

// RegOpenKeyExA, or RegCreateKeyExA (non-volatile, no class, default security) when
// create is set.
std::int32_t OpenKey(Key parent, const char* subKey, std::uint32_t access, bool create, Key* result);

// RegQueryValueExA.
std::int32_t QueryValue(Key key, const char* valueName, std::uint32_t* type, unsigned char* data,
                        std::uint32_t* size);

// RegEnumValueA over every index: the names of key's values.
std::vector<std::string> ValueNames(Key key);

// RegEnumKeyExA over every index: the names of key's subkeys.
std::vector<std::string> SubkeyNames(Key key);

// RegCloseKey.
std::int32_t CloseKey(Key key);

}  // namespace native_registry

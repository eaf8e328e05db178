// setenv and unsetenv, which some Linux tests call to set the environment of the code
// under test and mingw-w64's C library does not have, over the C run-time's _putenv_s.
#pragma once

#include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
  return _putenv_s(name, value);
}

inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

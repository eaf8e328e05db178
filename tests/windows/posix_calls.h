// The POSIX calls that some Linux tests make and mingw-w64's C library does not have:
// setenv and unsetenv, which set the environment of the code under test, over the C
// run-time's _putenv_s; and mkfifo, which fails, as Windows has no FIFOs (the cases
// that need one are filtered out).
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
  return _putenv_s(name, value);
}

inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

inline int mkfifo(const char*, mode_t) {
  errno = ENOSYS;
  return -1;
}

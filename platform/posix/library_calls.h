// Looking up the calls of a shared library opened at run time with dlopen, for the
// libraries that only some runs need (GSSAPI for NTLM, libcurl for OAuth 2.0, libidn2
// for internationalised domain names).
#pragma once

#include <dlfcn.h>

#include <string>

// Sets target to the address of the symbol name in library; false when it has none.
template <typename T>
bool ResolveLibraryCall(void* library, const char* name, T& target) {
  target = reinterpret_cast<T>(dlsym(library, name));
  return target != nullptr;
}

// Opens file, kept open to the end of the process; null, with failure saying why and
// which package (of Debian's) brings the library name, when it cannot be loaded.
inline void* OpenRunTimeLibrary(const char* file, const char* name, const char* package,
                                std::string& failure) {
  void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    failure = std::string(name) + " cannot be loaded (install " + package + "): " +
              (reason != nullptr ? reason : file);
  }
  return library;
}

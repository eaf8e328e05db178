// Looking up the calls of a shared library opened at run time with dlopen, for the
// libraries that only some runs need (GSSAPI for NTLM, libcurl for OAuth 2.0, libidn2
// for internationalised domain names).
#pragma once

#include <dlfcn.h>

// Sets target to the address of the symbol name in library; false when it has none.
template <typename T>
bool ResolveLibraryCall(void* library, const char* name, T& target) {
  target = reinterpret_cast<T>(dlsym(library, name));
  return target != nullptr;
}

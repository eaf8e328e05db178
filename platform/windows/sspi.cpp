// The security module is the system's SECUR32.DLL, loaded at run time; its entry points
// have the types sspi.h gives them. Nothing of it is linked, so the program starts on
// a system without it and only NTLM fails.
#include "platform/sspi.h"

#include <windows.h>

#include <cstring>

struct SecurityModule {
  HMODULE library;
};

// From the system folder alone: a SECUR32.DLL beside the program is never loaded.
SecurityModule* LoadSecurityModule() {
  return new SecurityModule{LoadLibraryExA("SECUR32.DLL", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)};
}

SECURITY_PROC GetSecurityProcAddress(SecurityModule* module, const char* name) {
  // Only the entry points whose types sspi.h gives.
  static constexpr const char* typed[] = {"AcquireCredentialsHandleA", "InitializeSecurityContextA",
                                          "CompleteAuthToken", "DeleteSecurityContext",
                                          "FreeCredentialsHandle"};
  bool known = false;
  for (const char* entry : typed) known = known || std::strcmp(entry, name) == 0;
  if (!known || module == nullptr || module->library == nullptr) return nullptr;
  return reinterpret_cast<SECURITY_PROC>(GetProcAddress(module->library, name));
}

void FreeSecurityModule(SecurityModule* module) {
  if (module == nullptr) return;
  if (module->library != nullptr) FreeLibrary(module->library);
  delete module;
}

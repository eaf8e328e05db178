// The Security Support Provider Interface as far as the NTLM client uses it: the
// security statuses, handles, buffers and identity, and the five entry points of the
// NTLM package, which are reached only through a loaded security module.
//
// The module stands in for the system's security library. It is the GSSAPI library
// (libgssapi_krb5.so.2, or the library that EMAILER_GSSAPI_LIBRARY names) opened at run
// time with the NTLMSSP mechanism (gss-ntlmssp) behind it; nothing of it is linked, so
// the program runs without it. An empty identity means the default credentials, which
// gss-ntlmssp takes from the first line of the file that NTLM_USER_FILE names
// ("DOMAIN:user:password").
#pragma once

#include <cstdint>

// A security status: negative is a failure; SEC_E_OK and the SEC_I_ values succeed.
using SECURITY_STATUS = std::int32_t;

constexpr SECURITY_STATUS SecurityStatus(std::uint32_t value) {
  return static_cast<SECURITY_STATUS>(value);
}

constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = SecurityStatus(0x80090300);
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = SecurityStatus(0x80090301);
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = SecurityStatus(0x80090302);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = SecurityStatus(0x80090304);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = SecurityStatus(0x80090305);
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = SecurityStatus(0x80090308);
constexpr SECURITY_STATUS SEC_E_LOGON_DENIED = SecurityStatus(0x8009030C);
constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = SecurityStatus(0x8009030D);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = SecurityStatus(0x8009030E);
constexpr SECURITY_STATUS SEC_E_MESSAGE_ALTERED = SecurityStatus(0x8009030F);
constexpr SECURITY_STATUS SEC_E_CONTEXT_EXPIRED = SecurityStatus(0x80090317);
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = SecurityStatus(0x80090321);
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = SecurityStatus(0x00090312);
constexpr SECURITY_STATUS SEC_I_COMPLETE_NEEDED = SecurityStatus(0x00090313);
constexpr SECURITY_STATUS SEC_I_COMPLETE_AND_CONTINUE = SecurityStatus(0x00090314);

// A credentials or context handle; both words zero means no handle.
struct SecHandle {
  std::uintptr_t dwLower;
  std::uintptr_t dwUpper;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;

// An expiry time (100-ns ticks); the package reports "never".
using TimeStamp = std::int64_t;

constexpr std::uint32_t SECBUFFER_VERSION = 0;
constexpr std::uint32_t SECBUFFER_TOKEN = 2;

struct SecBuffer {
  std::uint32_t cbBuffer;    // capacity on the way in; the token's length on the way out
  std::uint32_t BufferType;  // SECBUFFER_TOKEN
  void* pvBuffer;
};

struct SecBufferDesc {
  std::uint32_t ulVersion;  // SECBUFFER_VERSION
  std::uint32_t cBuffers;
  SecBuffer* pBuffers;
};

constexpr std::uint32_t SEC_WINNT_AUTH_IDENTITY_ANSI = 1;

// Explicit credentials; lengths in characters, without the NUL.
struct SEC_WINNT_AUTH_IDENTITY_A {
  const unsigned char* User;
  std::uint32_t UserLength;
  const unsigned char* Domain;
  std::uint32_t DomainLength;
  const unsigned char* Password;
  std::uint32_t PasswordLength;
  std::uint32_t Flags;  // SEC_WINNT_AUTH_IDENTITY_ANSI
};

constexpr std::uint32_t SECPKG_CRED_OUTBOUND = 2;
constexpr std::uint32_t SECURITY_NATIVE_DREP = 0x10;

using SEC_GET_KEY_FN = void (*)(void* argument, void* principal, std::uint32_t keyVersion,
                                void** key, SECURITY_STATUS* status);

// The entry points of the "NTLM" package. Only what the NTLM client asks for is
// supported: outbound credentials without principal or logon id, explicit ANSI or
// default credentials, no target name, no context requirements; anything else gives
// SEC_E_UNSUPPORTED_FUNCTION, another package SEC_E_SECPKG_NOT_FOUND, and a zero or
// missing handle SEC_E_INVALID_HANDLE. InitializeSecurityContextA needs a
// SECBUFFER_TOKEN buffer in its output (and in its input, when one is given), else
// SEC_E_INVALID_TOKEN; a token that does not fit gives SEC_E_BUFFER_TOO_SMALL. It never
// asks for completion, so CompleteAuthToken has nothing to do. Failures of the
// mechanism map to the matching SEC_E_ status. AcquireCredentialsHandleA also gives
// SEC_E_UNSUPPORTED_FUNCTION when the GSSAPI library, one of its calls or the NTLMSSP
// mechanism is missing.
using ACQUIRE_CREDENTIALS_HANDLE_FN_A = SECURITY_STATUS (*)(
    const char* principal, const char* package, std::uint32_t credentialUse, void* logonId,
    void* authData, SEC_GET_KEY_FN getKeyFunction, void* getKeyArgument,
    CredHandle* credential, TimeStamp* expiry);
using INITIALIZE_SECURITY_CONTEXT_FN_A = SECURITY_STATUS (*)(
    CredHandle* credential, CtxtHandle* context, const char* targetName,
    std::uint32_t contextRequirements, std::uint32_t reserved1, std::uint32_t targetDataRep,
    SecBufferDesc* input, std::uint32_t reserved2, CtxtHandle* newContext,
    SecBufferDesc* output, std::uint32_t* contextAttributes, TimeStamp* expiry);
using COMPLETE_AUTH_TOKEN_FN = SECURITY_STATUS (*)(CtxtHandle* context, SecBufferDesc* token);
using DELETE_SECURITY_CONTEXT_FN = SECURITY_STATUS (*)(CtxtHandle* context);
using FREE_CREDENTIALS_HANDLE_FN = SECURITY_STATUS (*)(CredHandle* credential);

// The loaded security library. Loading is counted: the GSSAPI library is opened when
// AcquireCredentialsHandleA first needs it and closed by the last free.
struct SecurityModule;

// A generic entry point, cast to its own type by the caller.
using SECURITY_PROC = void (*)();

// Never null; opens nothing.
SecurityModule* LoadSecurityModule();

// The entry point of that name ("AcquireCredentialsHandleA", ...); null for any other
// name.
SECURITY_PROC GetSecurityProcAddress(SecurityModule* module, const char* name);

void FreeSecurityModule(SecurityModule* module);

// The NTLM package's entry points over GSSAPI (RFC 2743, C bindings RFC 2744) with the
// NTLMSSP mechanism of gss-ntlmssp (OID 1.3.6.1.4.1.311.2.2.10). The GSSAPI library is
// opened with dlopen and its calls are looked up with dlsym, so nothing is linked.
#include "platform/sspi.h"

#include <dlfcn.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_ntlmssp.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/library_calls.h"

namespace {

constexpr const char* defaultGssLibrary = "libgssapi_krb5.so.2";
// Names another GSSAPI library to load, for systems that keep theirs elsewhere.
constexpr const char* gssLibraryVariable = "EMAILER_GSSAPI_LIBRARY";
constexpr TimeStamp neverExpires = 0x7FFFFFFFFFFFFFFF;

gss_OID_desc ntlmsspMechanism = {GSS_NTLMSSP_OID_LENGTH,
                                 const_cast<char*>(GSS_NTLMSSP_OID_STRING)};
gss_OID_set_desc ntlmsspOnly = {1, &ntlmsspMechanism};

// The GSSAPI calls used here, and the two name types, which the library exports as
// variables holding an OID pointer.
struct GssCalls {
  decltype(&gss_import_name) importName;
  decltype(&gss_release_name) releaseName;
  decltype(&gss_acquire_cred) acquireCred;
  decltype(&gss_acquire_cred_with_password) acquireCredWithPassword;
  decltype(&gss_release_cred) releaseCred;
  decltype(&gss_init_sec_context) initSecContext;
  decltype(&gss_delete_sec_context) deleteSecContext;
  decltype(&gss_release_buffer) releaseBuffer;
  decltype(&gss_indicate_mechs) indicateMechs;
  decltype(&gss_test_oid_set_member) testOidSetMember;
  decltype(&gss_release_oid_set) releaseOidSet;
  gss_OID userNameType;
  gss_OID hostbasedServiceType;
};

bool ResolveCalls(void* library, GssCalls& calls) {
  gss_OID* userNameType = nullptr;
  gss_OID* hostbasedServiceType = nullptr;
  bool found = ResolveLibraryCall(library, "gss_import_name", calls.importName) &&
               ResolveLibraryCall(library, "gss_release_name", calls.releaseName) &&
               ResolveLibraryCall(library, "gss_acquire_cred", calls.acquireCred) &&
               ResolveLibraryCall(library, "gss_acquire_cred_with_password", calls.acquireCredWithPassword) &&
               ResolveLibraryCall(library, "gss_release_cred", calls.releaseCred) &&
               ResolveLibraryCall(library, "gss_init_sec_context", calls.initSecContext) &&
               ResolveLibraryCall(library, "gss_delete_sec_context", calls.deleteSecContext) &&
               ResolveLibraryCall(library, "gss_release_buffer", calls.releaseBuffer) &&
               ResolveLibraryCall(library, "gss_indicate_mechs", calls.indicateMechs) &&
               ResolveLibraryCall(library, "gss_test_oid_set_member", calls.testOidSetMember) &&
               ResolveLibraryCall(library, "gss_release_oid_set", calls.releaseOidSet) &&
               ResolveLibraryCall(library, "GSS_C_NT_USER_NAME", userNameType) &&
               ResolveLibraryCall(library, "GSS_C_NT_HOSTBASED_SERVICE", hostbasedServiceType);
  if (!found) return false;
  calls.userNameType = *userNameType;
  calls.hostbasedServiceType = *hostbasedServiceType;
  return true;
}

bool OffersNtlmssp(const GssCalls& calls) {
  OM_uint32 minor = 0;
  gss_OID_set mechanisms = GSS_C_NO_OID_SET;
  if (GSS_ERROR(calls.indicateMechs(&minor, &mechanisms))) return false;
  int present = 0;
  calls.testOidSetMember(&minor, &ntlmsspMechanism, mechanisms, &present);
  calls.releaseOidSet(&minor, &mechanisms);
  return present != 0;
}

}  // namespace

// One per process: every load shares the opened library. Loading opens nothing: the
// library is opened when credentials are first acquired. Every SMTP connection loads
// the module and few ever authenticate with NTLM, while opening GSSAPI with its
// mechanism modules takes about 2 ms, a third of a whole one-shot send.
struct SecurityModule {
  std::mutex lock;
  unsigned users = 0;
  void* library = nullptr;
  GssCalls gss{};
};

namespace {

SecurityModule theModule;
const GssCalls& gss = theModule.gss;

bool OpenGssLibrary(SecurityModule& module) {
  const char* path = secure_getenv(gssLibraryVariable);
  void* library = dlopen(path != nullptr && *path != '\0' ? path : defaultGssLibrary,
                         RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  GssCalls calls{};
  if (!ResolveCalls(library, calls) || !OffersNtlmssp(calls)) {
    dlclose(library);
    return false;
  }
  module.library = library;
  module.gss = calls;
  return true;
}

// The library, opened at the first call; false when it, one of its calls or the
// NTLMSSP mechanism is missing. A failed open is tried again at the next call.
bool OpenModuleLibrary() {
  std::lock_guard<std::mutex> guard(theModule.lock);
  return theModule.library != nullptr || OpenGssLibrary(theModule);
}

// GSS_S_FAILURE is the mechanism's unspecific failure; what it means depends on the call.
SECURITY_STATUS StatusFromGss(OM_uint32 major, SECURITY_STATUS unspecificFailure) {
  struct Mapping {
    OM_uint32 routineError;
    SECURITY_STATUS status;
  };
  static constexpr Mapping mappings[] = {
      {GSS_S_BAD_MECH, SEC_E_SECPKG_NOT_FOUND},
      {GSS_S_BAD_NAME, SEC_E_UNKNOWN_CREDENTIALS},
      {GSS_S_BAD_NAMETYPE, SEC_E_UNKNOWN_CREDENTIALS},
      {GSS_S_BAD_MIC, SEC_E_MESSAGE_ALTERED},
      {GSS_S_NO_CRED, SEC_E_NO_CREDENTIALS},
      {GSS_S_NO_CONTEXT, SEC_E_INVALID_HANDLE},
      {GSS_S_DEFECTIVE_TOKEN, SEC_E_INVALID_TOKEN},
      {GSS_S_DEFECTIVE_CREDENTIAL, SEC_E_UNKNOWN_CREDENTIALS},
      {GSS_S_CREDENTIALS_EXPIRED, SEC_E_NO_CREDENTIALS},
      {GSS_S_CONTEXT_EXPIRED, SEC_E_CONTEXT_EXPIRED},
      {GSS_S_UNAUTHORIZED, SEC_E_LOGON_DENIED},
      {GSS_S_UNAVAILABLE, SEC_E_UNSUPPORTED_FUNCTION},
  };
  if (!GSS_ERROR(major)) return major & GSS_S_CONTINUE_NEEDED ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
  if (GSS_ROUTINE_ERROR(major) == GSS_S_FAILURE) return unspecificFailure;
  for (const Mapping& m : mappings) {
    if (m.routineError == GSS_ROUTINE_ERROR(major)) return m.status;
  }
  return SEC_E_INTERNAL_ERROR;
}

template <typename Handle>
Handle FromSecHandle(const SecHandle& handle) {
  return reinterpret_cast<Handle>(handle.dwLower);
}

template <typename Handle>
void ToSecHandle(Handle gssHandle, SecHandle& handle) {
  handle.dwLower = reinterpret_cast<std::uintptr_t>(gssHandle);
  handle.dwUpper = 0;
}

bool IsHeld(const SecHandle* handle) { return handle != nullptr && handle->dwLower != 0; }

SecBuffer* FindToken(SecBufferDesc* description) {
  if (description == nullptr) return nullptr;
  for (std::uint32_t i = 0; i < description->cBuffers; ++i) {
    if (description->pBuffers[i].BufferType == SECBUFFER_TOKEN) return &description->pBuffers[i];
  }
  return nullptr;
}

OM_uint32 ImportName(const std::string& text, gss_OID type, gss_name_t* name) {
  OM_uint32 minor = 0;
  gss_buffer_desc buffer = {text.size(), const_cast<char*>(text.data())};
  return gss.importName(&minor, &buffer, type, name);
}

// gss-ntlmssp reads a user name as "DOMAIN\account", and a leading backslash as no
// domain. Always writing the backslash keeps the account whole: alone, an account such
// as "me@example.com" would be split at "@" into account and domain.
OM_uint32 AcquireWithPassword(const SEC_WINNT_AUTH_IDENTITY_A& identity, gss_cred_id_t* cred) {
  std::string userName(reinterpret_cast<const char*>(identity.Domain), identity.DomainLength);
  userName.append(1, '\\').append(reinterpret_cast<const char*>(identity.User),
                                  identity.UserLength);
  gss_name_t name = GSS_C_NO_NAME;
  OM_uint32 major = ImportName(userName, gss.userNameType, &name);
  if (GSS_ERROR(major)) return major;
  OM_uint32 minor = 0;
  gss_buffer_desc password = {identity.PasswordLength,
                              const_cast<unsigned char*>(identity.Password)};
  major = gss.acquireCredWithPassword(&minor, name, &password, GSS_C_INDEFINITE, &ntlmsspOnly,
                                      GSS_C_INITIATE, cred, nullptr, nullptr);
  gss.releaseName(&minor, &name);
  return major;
}

SECURITY_STATUS AcquireCredentialsHandleA(const char* principal, const char* package,
                                          std::uint32_t credentialUse, void* logonId,
                                          void* authData, SEC_GET_KEY_FN, void*,
                                          CredHandle* credential, TimeStamp* expiry) {
  if (credential == nullptr) return SEC_E_INVALID_HANDLE;
  if (package == nullptr || strcasecmp(package, "NTLM") != 0) return SEC_E_SECPKG_NOT_FOUND;
  auto* identity = static_cast<const SEC_WINNT_AUTH_IDENTITY_A*>(authData);
  if (principal != nullptr || logonId != nullptr || credentialUse != SECPKG_CRED_OUTBOUND ||
      (identity != nullptr && identity->Flags != SEC_WINNT_AUTH_IDENTITY_ANSI)) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  if (!OpenModuleLibrary()) return SEC_E_UNSUPPORTED_FUNCTION;
  gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
  OM_uint32 minor = 0;
  OM_uint32 major = identity != nullptr
                        ? AcquireWithPassword(*identity, &cred)
                        : gss.acquireCred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &ntlmsspOnly,
                                          GSS_C_INITIATE, &cred, nullptr, nullptr);
  if (GSS_ERROR(major)) return StatusFromGss(major, SEC_E_NO_CREDENTIALS);
  ToSecHandle(cred, *credential);
  if (expiry != nullptr) *expiry = neverExpires;
  return SEC_E_OK;
}

// The produced token goes into the caller's buffer, whose size becomes the token's
// length; false when it does not fit.
bool CopyToken(const gss_buffer_desc& token, SecBuffer& buffer) {
  if (token.length > buffer.cbBuffer) return false;
  if (token.length > 0) std::memcpy(buffer.pvBuffer, token.value, token.length);
  buffer.cbBuffer = static_cast<std::uint32_t>(token.length);
  return true;
}

// GSSAPI insists on a target name where NTLM needs none; the generic service of the
// local host stands in for it.
SECURITY_STATUS InitializeSecurityContextA(CredHandle* credential, CtxtHandle* context,
                                           const char* targetName,
                                           std::uint32_t contextRequirements, std::uint32_t,
                                           std::uint32_t, SecBufferDesc* input, std::uint32_t,
                                           CtxtHandle* newContext, SecBufferDesc* output,
                                           std::uint32_t* contextAttributes, TimeStamp* expiry) {
  if (!IsHeld(credential) || (context != nullptr && !IsHeld(context)) || newContext == nullptr) {
    return SEC_E_INVALID_HANDLE;
  }
  if (targetName != nullptr || contextRequirements != 0) return SEC_E_UNSUPPORTED_FUNCTION;
  SecBuffer* outToken = FindToken(output);
  SecBuffer* inToken = FindToken(input);
  if (outToken == nullptr || (input != nullptr && inToken == nullptr)) return SEC_E_INVALID_TOKEN;

  gss_name_t target = GSS_C_NO_NAME;
  OM_uint32 major = ImportName("host", gss.hostbasedServiceType, &target);
  if (GSS_ERROR(major)) return StatusFromGss(major, SEC_E_INTERNAL_ERROR);
  gss_ctx_id_t gssContext = context != nullptr ? FromSecHandle<gss_ctx_id_t>(*context)
                                               : GSS_C_NO_CONTEXT;
  gss_buffer_desc in = {inToken != nullptr ? inToken->cbBuffer : 0,
                        inToken != nullptr ? inToken->pvBuffer : nullptr};
  gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
  OM_uint32 minor = 0;
  major = gss.initSecContext(&minor, FromSecHandle<gss_cred_id_t>(*credential), &gssContext,
                             target, &ntlmsspMechanism, 0, GSS_C_INDEFINITE,
                             GSS_C_NO_CHANNEL_BINDINGS, inToken != nullptr ? &in : GSS_C_NO_BUFFER,
                             nullptr, &out, nullptr, nullptr);
  gss.releaseName(&minor, &target);
  // A context that failed on its first token does not exist; a later failure leaves it
  // for the caller to delete.
  ToSecHandle(gssContext, *newContext);
  SECURITY_STATUS status = StatusFromGss(major, SEC_E_INTERNAL_ERROR);
  if (status >= 0 && !CopyToken(out, *outToken)) status = SEC_E_BUFFER_TOO_SMALL;
  gss.releaseBuffer(&minor, &out);
  if (contextAttributes != nullptr) *contextAttributes = 0;
  if (expiry != nullptr) *expiry = neverExpires;
  return status;
}

SECURITY_STATUS CompleteAuthToken(CtxtHandle* context, SecBufferDesc*) {
  return IsHeld(context) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS DeleteSecurityContext(CtxtHandle* context) {
  if (!IsHeld(context)) return SEC_E_INVALID_HANDLE;
  gss_ctx_id_t gssContext = FromSecHandle<gss_ctx_id_t>(*context);
  OM_uint32 minor = 0;
  return StatusFromGss(gss.deleteSecContext(&minor, &gssContext, GSS_C_NO_BUFFER),
                       SEC_E_INTERNAL_ERROR);
}

SECURITY_STATUS FreeCredentialsHandle(CredHandle* credential) {
  if (!IsHeld(credential)) return SEC_E_INVALID_HANDLE;
  gss_cred_id_t cred = FromSecHandle<gss_cred_id_t>(*credential);
  OM_uint32 minor = 0;
  return StatusFromGss(gss.releaseCred(&minor, &cred), SEC_E_INTERNAL_ERROR);
}

struct EntryPoint {
  const char* name;
  SECURITY_PROC proc;
};

// The function must have the entry point's type, or this does not compile.
template <typename EntryPointType>
EntryPoint Entry(const char* name, EntryPointType function) {
  return {name, reinterpret_cast<SECURITY_PROC>(function)};
}

const EntryPoint entryPoints[] = {
    Entry<ACQUIRE_CREDENTIALS_HANDLE_FN_A>("AcquireCredentialsHandleA", &AcquireCredentialsHandleA),
    Entry<INITIALIZE_SECURITY_CONTEXT_FN_A>("InitializeSecurityContextA",
                                            &InitializeSecurityContextA),
    Entry<COMPLETE_AUTH_TOKEN_FN>("CompleteAuthToken", &CompleteAuthToken),
    Entry<DELETE_SECURITY_CONTEXT_FN>("DeleteSecurityContext", &DeleteSecurityContext),
    Entry<FREE_CREDENTIALS_HANDLE_FN>("FreeCredentialsHandle", &FreeCredentialsHandle),
};

}  // namespace

SecurityModule* LoadSecurityModule() {
  std::lock_guard<std::mutex> guard(theModule.lock);
  ++theModule.users;
  return &theModule;
}

SECURITY_PROC GetSecurityProcAddress(SecurityModule* module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  for (const EntryPoint& entry : entryPoints) {
    if (std::strcmp(entry.name, name) == 0) return entry.proc;
  }
  return nullptr;
}

void FreeSecurityModule(SecurityModule* module) {
  if (module == nullptr) return;
  std::lock_guard<std::mutex> guard(module->lock);
  if (module->users == 0 || --module->users > 0 || module->library == nullptr) return;
  dlclose(module->library);
  module->library = nullptr;
  module->gss = {};
}

// CNtlmSecurityClient: the entry points of the security module and the token loop of
// one NTLM exchange over them.
#include "smtp/ntlm_security_client.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

template <typename EntryPoint>
EntryPoint LookUp(const std::function<SECURITY_PROC(const char*)>& lookUp, const char* name) {
  return reinterpret_cast<EntryPoint>(lookUp(name));
}

}  // namespace

CNtlmSecurityClient::CNtlmSecurityClient()
    : securityModule(LoadSecurityModule()),
      completeAuthToken(nullptr),
      freeCredentialsHandle(nullptr),
      deleteSecurityContext(nullptr),
      initializeSecurityContext(nullptr),
      acquireCredentialsHandle(nullptr),
      credentials{},
      context{} {
  if (securityModule == nullptr) return;
  TakeEntryPoints(
      [this](const char* name) { return GetSecurityProcAddress(securityModule, name); });
}

void CNtlmSecurityClient::TakeEntryPoints(
    const std::function<SECURITY_PROC(const char*)>& lookUp) {
  completeAuthToken = LookUp<COMPLETE_AUTH_TOKEN_FN>(lookUp, "CompleteAuthToken");
  freeCredentialsHandle = LookUp<FREE_CREDENTIALS_HANDLE_FN>(lookUp, "FreeCredentialsHandle");
  deleteSecurityContext = LookUp<DELETE_SECURITY_CONTEXT_FN>(lookUp, "DeleteSecurityContext");
  initializeSecurityContext =
      LookUp<INITIALIZE_SECURITY_CONTEXT_FN_A>(lookUp, "InitializeSecurityContextA");
  acquireCredentialsHandle =
      LookUp<ACQUIRE_CREDENTIALS_HANDLE_FN_A>(lookUp, "AcquireCredentialsHandleA");
  // The four work only together; completion is asked for only by some packages.
  if (freeCredentialsHandle == nullptr || deleteSecurityContext == nullptr ||
      initializeSecurityContext == nullptr || acquireCredentialsHandle == nullptr) {
    freeCredentialsHandle = nullptr;
    deleteSecurityContext = nullptr;
    initializeSecurityContext = nullptr;
    acquireCredentialsHandle = nullptr;
  }
}

CNtlmSecurityClient::~CNtlmSecurityClient() {
  ReleaseNtlmHandles();
  if (securityModule != nullptr) {
    FreeSecurityModule(securityModule);
    securityModule = nullptr;
  }
}

SECURITY_STATUS CNtlmSecurityClient::NtlmAuthenticate(const char* userName, const char* password) {
  if (deleteSecurityContext == nullptr || freeCredentialsHandle == nullptr) {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  std::string_view user(userName);
  std::string domain;
  std::string account(user);
  if (std::size_t backslash = user.find('\\'); backslash != std::string_view::npos) {
    domain = user.substr(0, backslash);
    account = user.substr(backslash + 1);
  }
  ReleaseNtlmHandles();
  SECURITY_STATUS status = RunNtlmExchange(account.c_str(), password, domain.c_str());
  ReleaseNtlmHandles();
  return status;
}

SECURITY_STATUS CNtlmSecurityClient::RunNtlmExchange(const char* account, const char* password,
                                                     const char* domain) {
  std::vector<unsigned char> output(ntlmTokenCapacity);
  std::vector<unsigned char> input(ntlmTokenCapacity);
  unsigned outputLength = ntlmTokenCapacity;
  bool done = false;
  SECURITY_STATUS status = AdvanceNtlmContext(nullptr, 0, output.data(), &outputLength, &done,
                                              account, password, domain);
  if (status < 0) return status;
  status = SendNtlmFirstToken(output.data(), outputLength);
  while (status >= 0 && !done) {
    unsigned inputLength = 0;
    status = ReceiveNtlmToken(input.data(), ntlmTokenCapacity, &inputLength);
    if (status < 0) return status;
    outputLength = ntlmTokenCapacity;
    status = AdvanceNtlmContext(input.data(), inputLength, output.data(), &outputLength, &done,
                                account, password, domain);
    if (status < 0) return status;
    status = SendNtlmNextToken(output.data(), outputLength);
  }
  return status;
}

// An empty account passes no identity, so the package uses the default credentials.
SECURITY_STATUS CNtlmSecurityClient::AcquireNtlmCredentials(const char* account,
                                                            const char* password,
                                                            const char* domain) {
  if (acquireCredentialsHandle == nullptr) return SEC_E_UNSUPPORTED_FUNCTION;
  auto bytes = [](const char* text) { return reinterpret_cast<const unsigned char*>(text); };
  auto length = [](const char* text) { return static_cast<std::uint32_t>(std::strlen(text)); };
  SEC_WINNT_AUTH_IDENTITY_A identity = {bytes(account),  length(account),
                                        bytes(domain),   length(domain),
                                        bytes(password), length(password),
                                        SEC_WINNT_AUTH_IDENTITY_ANSI};
  TimeStamp expiry = 0;
  return acquireCredentialsHandle(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr,
                                  *account != '\0' ? &identity : nullptr, nullptr, nullptr,
                                  &credentials, &expiry);
}

SECURITY_STATUS CNtlmSecurityClient::AdvanceNtlmContext(
    const unsigned char* input, unsigned inputLength, unsigned char* output,
    unsigned* outputLength, bool* done, const char* account, const char* password,
    const char* domain) {
  if (input == nullptr) {
    SECURITY_STATUS acquired = AcquireNtlmCredentials(account, password, domain);
    if (acquired < 0) return acquired;
  }
  SecBuffer outBuffer = {*outputLength, SECBUFFER_TOKEN, output};
  SecBufferDesc outDescription = {SECBUFFER_VERSION, 1, &outBuffer};
  SecBuffer inBuffer = {inputLength, SECBUFFER_TOKEN, const_cast<unsigned char*>(input)};
  SecBufferDesc inDescription = {SECBUFFER_VERSION, 1, &inBuffer};
  if (initializeSecurityContext == nullptr) return SEC_E_UNSUPPORTED_FUNCTION;

  std::uint32_t attributes = 0;
  TimeStamp expiry = 0;
  SECURITY_STATUS initialized = initializeSecurityContext(
      &credentials, input != nullptr ? &context : nullptr, nullptr, 0, 0, SECURITY_NATIVE_DREP,
      input != nullptr ? &inDescription : nullptr, 0, &context, &outDescription, &attributes,
      &expiry);
  if (initialized < 0) return initialized;
  SECURITY_STATUS status = initialized;
  if (initialized == SEC_I_COMPLETE_NEEDED || initialized == SEC_I_COMPLETE_AND_CONTINUE) {
    if (completeAuthToken == nullptr) return SEC_E_UNSUPPORTED_FUNCTION;
    status = completeAuthToken(&context, &outDescription);
    if (status < 0) return status;
  }
  *outputLength = outBuffer.cbBuffer;
  *done = initialized != SEC_I_CONTINUE_NEEDED && initialized != SEC_I_COMPLETE_AND_CONTINUE;
  return status;
}

void CNtlmSecurityClient::ReleaseNtlmHandles() {
  if (context.dwLower != 0 || context.dwUpper != 0) {
    deleteSecurityContext(&context);
    context = {};
  }
  if (credentials.dwLower != 0 || credentials.dwUpper != 0) {
    freeCredentialsHandle(&credentials);
    credentials = {};
  }
}

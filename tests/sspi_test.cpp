#include "platform/sspi.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system_messages.h"

namespace {

// The entry points of one loaded module, and explicit credentials to call them with.
class SecurityPackage : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(module, nullptr);
    acquire = reinterpret_cast<ACQUIRE_CREDENTIALS_HANDLE_FN_A>(
        GetSecurityProcAddress(module, "AcquireCredentialsHandleA"));
    initialize = reinterpret_cast<INITIALIZE_SECURITY_CONTEXT_FN_A>(
        GetSecurityProcAddress(module, "InitializeSecurityContextA"));
    complete = reinterpret_cast<COMPLETE_AUTH_TOKEN_FN>(
        GetSecurityProcAddress(module, "CompleteAuthToken"));
    deleteContext = reinterpret_cast<DELETE_SECURITY_CONTEXT_FN>(
        GetSecurityProcAddress(module, "DeleteSecurityContext"));
    freeCredentials = reinterpret_cast<FREE_CREDENTIALS_HANDLE_FN>(
        GetSecurityProcAddress(module, "FreeCredentialsHandle"));
  }

  void TearDown() override {
    if (context.dwLower != 0) {
      EXPECT_EQ(deleteContext(&context), SEC_E_OK);
    }
    if (credentials.dwLower != 0) {
      EXPECT_EQ(freeCredentials(&credentials), SEC_E_OK);
    }
    FreeSecurityModule(module);
  }

  SECURITY_STATUS Acquire(const char* package = "NTLM",
                          std::uint32_t use = SECPKG_CRED_OUTBOUND,
                          std::uint32_t flags = SEC_WINNT_AUTH_IDENTITY_ANSI) {
    SEC_WINNT_AUTH_IDENTITY_A identity = {user, 3, domain, 3, password, 6, flags};
    return acquire(nullptr, package, use, nullptr, &identity, nullptr, nullptr, &credentials,
                   nullptr);
  }

  // The first step, with an output buffer of capacity bytes.
  SECURITY_STATUS Negotiate(std::uint32_t capacity, const char* target = nullptr,
                            std::uint32_t requirements = 0,
                            std::uint32_t bufferType = SECBUFFER_TOKEN) {
    token.assign(capacity, 0);
    out = {capacity, bufferType, token.data()};
    SecBufferDesc description = {SECBUFFER_VERSION, 1, &out};
    return initialize(&credentials, nullptr, target, requirements, 0, SECURITY_NATIVE_DREP,
                      nullptr, 0, &context, &description, nullptr, nullptr);
  }

  SecurityModule* module = LoadSecurityModule();
  ACQUIRE_CREDENTIALS_HANDLE_FN_A acquire = nullptr;
  INITIALIZE_SECURITY_CONTEXT_FN_A initialize = nullptr;
  COMPLETE_AUTH_TOKEN_FN complete = nullptr;
  DELETE_SECURITY_CONTEXT_FN deleteContext = nullptr;
  FREE_CREDENTIALS_HANDLE_FN freeCredentials = nullptr;
  CredHandle credentials{};
  CtxtHandle context{};
  std::vector<unsigned char> token;
  SecBuffer out{};
  const unsigned char user[4] = "bob";
  const unsigned char domain[4] = "DOM";
  const unsigned char password[7] = "secret";
};

TEST_F(SecurityPackage, FindsItsFiveEntryPointsByName) {
  for (const char* name : {"AcquireCredentialsHandleA", "InitializeSecurityContextA",
                           "CompleteAuthToken", "DeleteSecurityContext", "FreeCredentialsHandle"}) {
    EXPECT_NE(GetSecurityProcAddress(module, name), nullptr) << name;
  }
  EXPECT_EQ(GetSecurityProcAddress(module, "AcceptSecurityContext"), nullptr);
  EXPECT_EQ(GetSecurityProcAddress(nullptr, "CompleteAuthToken"), nullptr);
}

TEST_F(SecurityPackage, AcquiresOnlyOutboundAnsiNtlmCredentials) {
  struct Case {
    const char* package;
    std::uint32_t use;
    std::uint32_t flags;
    SECURITY_STATUS status;
  };
  const Case cases[] = {
      {"Kerberos", SECPKG_CRED_OUTBOUND, SEC_WINNT_AUTH_IDENTITY_ANSI, SEC_E_SECPKG_NOT_FOUND},
      {"NTLM", 1, SEC_WINNT_AUTH_IDENTITY_ANSI, SEC_E_UNSUPPORTED_FUNCTION},  // inbound
      {"NTLM", SECPKG_CRED_OUTBOUND, 2, SEC_E_UNSUPPORTED_FUNCTION},          // Unicode
      {"ntlm", SECPKG_CRED_OUTBOUND, SEC_WINNT_AUTH_IDENTITY_ANSI, SEC_E_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.package);
    EXPECT_EQ(Acquire(c.package, c.use, c.flags), c.status);
    EXPECT_EQ(credentials.dwLower != 0, c.status == SEC_E_OK);
  }
}

TEST_F(SecurityPackage, RefusesRequestsBeyondWhatTheClientAsks) {
  ASSERT_EQ(Acquire(), SEC_E_OK);
  EXPECT_EQ(Negotiate(12000, "smtp/mail.example.com"), SEC_E_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(Negotiate(12000, nullptr, 0x10), SEC_E_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(Negotiate(12000, nullptr, 0, 1), SEC_E_INVALID_TOKEN);  // no token buffer
  CredHandle none{};
  SecBufferDesc description = {SECBUFFER_VERSION, 1, &out};
  EXPECT_EQ(initialize(&none, nullptr, nullptr, 0, 0, SECURITY_NATIVE_DREP, nullptr, 0, &context,
                       &description, nullptr, nullptr),
            SEC_E_INVALID_HANDLE);
  EXPECT_EQ(context.dwLower, 0u);
}

TEST_F(SecurityPackage, TokenMustFitTheOutputBuffer) {
  ASSERT_EQ(Acquire(), SEC_E_OK);
  EXPECT_EQ(Negotiate(39), SEC_E_BUFFER_TOO_SMALL);
  EXPECT_NE(context.dwLower, 0u);  // made all the same; TearDown deletes it
  ASSERT_EQ(deleteContext(&context), SEC_E_OK);
  context = {};
  EXPECT_EQ(Negotiate(40), SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(out.cbBuffer, 40u);
  EXPECT_EQ(std::memcmp(token.data(), "NTLMSSP\0\1\0\0\0", 12), 0);  // a negotiate message
  SecBufferDesc description = {SECBUFFER_VERSION, 1, &out};
  EXPECT_EQ(complete(&context, &description), SEC_E_OK);
}

TEST_F(SecurityPackage, ZeroHandlesAreInvalid) {
  CtxtHandle noContext{};
  CredHandle noCredentials{};
  EXPECT_EQ(deleteContext(&noContext), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(deleteContext(nullptr), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(freeCredentials(&noCredentials), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(complete(&noContext, nullptr), SEC_E_INVALID_HANDLE);
}

// Explicit NTLM credentials through the module's entry point, freed at once.
SECURITY_STATUS AcquireAndFree(SecurityModule* module) {
  auto acquire = reinterpret_cast<ACQUIRE_CREDENTIALS_HANDLE_FN_A>(
      GetSecurityProcAddress(module, "AcquireCredentialsHandleA"));
  auto freeCredentials = reinterpret_cast<FREE_CREDENTIALS_HANDLE_FN>(
      GetSecurityProcAddress(module, "FreeCredentialsHandle"));
  const unsigned char user[] = "bob", domain[] = "DOM", password[] = "secret";
  SEC_WINNT_AUTH_IDENTITY_A identity = {user, 3, domain, 3, password, 6,
                                        SEC_WINNT_AUTH_IDENTITY_ANSI};
  CredHandle credentials{};
  SECURITY_STATUS status = acquire(nullptr, "NTLM", SECPKG_CRED_OUTBOUND, nullptr, &identity,
                                   nullptr, nullptr, &credentials, nullptr);
  if (status == SEC_E_OK) {
    EXPECT_EQ(freeCredentials(&credentials), SEC_E_OK);
  }
  return status;
}

// Loading opens nothing; the library opens when credentials are first acquired (a
// failed open is tried again) and closes with the last free: only then does a changed
// library path count.
TEST(SecurityModule, OpensAtTheFirstAcquireAndClosesWithTheLastFree) {
  const char* missing = "/nonexistent/libgssapi_krb5.so.2";
  setenv("EMAILER_GSSAPI_LIBRARY", missing, 1);
  SecurityModule* first = LoadSecurityModule();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(AcquireAndFree(first), SEC_E_UNSUPPORTED_FUNCTION);
  unsetenv("EMAILER_GSSAPI_LIBRARY");
  EXPECT_EQ(AcquireAndFree(first), SEC_E_OK);

  setenv("EMAILER_GSSAPI_LIBRARY", missing, 1);
  SecurityModule* second = LoadSecurityModule();
  EXPECT_EQ(AcquireAndFree(second), SEC_E_OK);
  FreeSecurityModule(second);
  FreeSecurityModule(first);
  SecurityModule* again = LoadSecurityModule();
  EXPECT_EQ(AcquireAndFree(again), SEC_E_UNSUPPORTED_FUNCTION);
  FreeSecurityModule(again);
  unsetenv("EMAILER_GSSAPI_LIBRARY");
}

TEST(SecurityStatus, EveryFailureHasAText) {
  for (SECURITY_STATUS status :
       {SEC_E_INSUFFICIENT_MEMORY, SEC_E_INVALID_HANDLE, SEC_E_UNSUPPORTED_FUNCTION,
        SEC_E_INTERNAL_ERROR, SEC_E_SECPKG_NOT_FOUND, SEC_E_INVALID_TOKEN, SEC_E_LOGON_DENIED,
        SEC_E_UNKNOWN_CREDENTIALS, SEC_E_NO_CREDENTIALS, SEC_E_MESSAGE_ALTERED,
        SEC_E_CONTEXT_EXPIRED, SEC_E_BUFFER_TOO_SMALL}) {
    EXPECT_NE(SystemMessageText(static_cast<std::uint32_t>(status)), "") << std::hex << status;
  }
}

}  // namespace

// The client side of an NTLM authentication (negotiate, challenge, authenticate) through
// the security module's "NTLM" package. It makes and takes the tokens; a derived class
// carries them to the server through the three token operations.
//
// Nothing here raises: every failure is a negative security status, either the
// package's own, SEC_E_UNSUPPORTED_FUNCTION when the security module or an entry point
// it needs is missing, or what a token operation returned. An exception that a token
// operation throws passes through unchanged; the handles it leaves behind are released
// by the next NtlmAuthenticate or by the destructor.
#pragma once

#include <functional>

#include "platform/sspi.h"

class CNtlmSecurityClient {
 public:
  // The largest token, either way, is one byte less than this.
  static constexpr unsigned ntlmTokenCapacity = 12000;

  CNtlmSecurityClient();
  CNtlmSecurityClient(const CNtlmSecurityClient&) = delete;
  CNtlmSecurityClient& operator=(const CNtlmSecurityClient&) = delete;

  // Runs one complete exchange. A user name "DOMAIN\account" is split at its first
  // backslash; without one the domain is empty. An empty account uses the default
  // credentials. Returns SEC_E_OK once the last token is sent and accepted.
  SECURITY_STATUS NtlmAuthenticate(const char* userName, const char* password);

  // Sends the first token (the negotiate token).
  virtual SECURITY_STATUS SendNtlmFirstToken(const unsigned char* token, unsigned length) = 0;
  // Stores the server's next token and its length; a token of capacity bytes or more is
  // not stored and gives SEC_E_INSUFFICIENT_MEMORY.
  virtual SECURITY_STATUS ReceiveNtlmToken(unsigned char* buffer, unsigned capacity,
                                           unsigned* received) = 0;
  // Sends the answer to the server's token and learns whether the server accepts it.
  virtual SECURITY_STATUS SendNtlmNextToken(const unsigned char* token, unsigned length) = 0;

 protected:
  // Not virtual: the client is never deleted through this base.
  ~CNtlmSecurityClient();

  // The token loop: the first token goes out, then the server's tokens are answered
  // until the context is complete.
  SECURITY_STATUS RunNtlmExchange(const char* account, const char* password, const char* domain);

  // One step of the context: without input, acquires the credentials and makes the first
  // token. outputLength holds the output capacity on entry and the token's length on
  // return; done turns true once no further token is expected.
  SECURITY_STATUS AdvanceNtlmContext(const unsigned char* input, unsigned inputLength,
                                     unsigned char* output, unsigned* outputLength, bool* done,
                                     const char* account, const char* password,
                                     const char* domain);

  // Takes the five entry points by name from lookUp (null for a missing one). The four
  // that only work together are kept all or none; CompleteAuthToken may be missing.
  void TakeEntryPoints(const std::function<SECURITY_PROC(const char*)>& lookUp);

  // Deletes the context and frees the credentials, each when held.
  void ReleaseNtlmHandles();

  SecurityModule* securityModule;
  COMPLETE_AUTH_TOKEN_FN completeAuthToken;
  FREE_CREDENTIALS_HANDLE_FN freeCredentialsHandle;
  DELETE_SECURITY_CONTEXT_FN deleteSecurityContext;
  INITIALIZE_SECURITY_CONTEXT_FN_A initializeSecurityContext;
  ACQUIRE_CREDENTIALS_HANDLE_FN_A acquireCredentialsHandle;
  CredHandle credentials;
  CtxtHandle context;

 private:
  SECURITY_STATUS AcquireNtlmCredentials(const char* account, const char* password,
                                         const char* domain);
};

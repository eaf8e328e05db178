#include "smtp/ntlm_security_client.h"

#include <gssapi/gssapi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "errors/exceptions.h"

namespace {

// A file of "DOMAIN:user:password" lines that NTLM_USER_FILE names while it lives.
// gss-ntlmssp reads it on both sides: the client takes its default credentials from the
// first line, the acceptor checks answers against it.
class NtlmUserFile {
 public:
  explicit NtlmUserFile(const std::string& lines) : path(testing::TempDir() + "ntlm-users-XXXXXX") {
    int fd = mkstemp(path.data());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    close(fd);
    setenv("NTLM_USER_FILE", path.c_str(), 1);
  }
  ~NtlmUserFile() {
    unsetenv("NTLM_USER_FILE");
    unlink(path.c_str());
  }

 private:
  std::string path;
};

const char* const users =
    "DOM:bob:secret\n"
    "OTHER:bob:other\n"
    ":me@example.com:mail\n"
    "DOM:a\\b:nested\n";

// The server's side of one exchange through gss-ntlmssp, as an SMTP server with NTLM
// runs it.
class NtlmAcceptor {
 public:
  NtlmAcceptor() = default;
  NtlmAcceptor(const NtlmAcceptor&) = delete;
  NtlmAcceptor& operator=(const NtlmAcceptor&) = delete;
  ~NtlmAcceptor() {
    OM_uint32 minor = 0;
    gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    gss_release_name(&minor, &client);
  }

  // Takes the client's token; false when the acceptor refuses it. Its answer, if any,
  // is left in reply.
  bool Accept(const unsigned char* token, unsigned length) {
    OM_uint32 minor = 0;
    gss_buffer_desc in = {length, const_cast<unsigned char*>(token)};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    OM_uint32 major = gss_accept_sec_context(&minor, &context, GSS_C_NO_CREDENTIAL, &in,
                                             GSS_C_NO_CHANNEL_BINDINGS, &client, nullptr, &out,
                                             nullptr, nullptr, nullptr);
    auto* bytes = static_cast<unsigned char*>(out.value);
    reply.assign(bytes, bytes + out.length);
    gss_release_buffer(&minor, &out);
    complete = major == GSS_S_COMPLETE;
    return !GSS_ERROR(major);
  }

  // The authenticated user as gss-ntlmssp shows it: "DOMAIN\user", "user" without a
  // domain, "\user@realm" for an undivided name with "@".
  std::string Client() const {
    OM_uint32 minor = 0;
    gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
    if (GSS_ERROR(gss_display_name(&minor, client, &text, nullptr))) return {};
    // gss-ntlmssp counts the name's NUL in its length.
    const char* value = static_cast<char*>(text.value);
    std::string name(value, strnlen(value, text.length));
    gss_release_buffer(&minor, &text);
    return name;
  }

  std::vector<unsigned char> reply;
  bool complete = false;

 private:
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_name_t client = GSS_C_NO_NAME;
};

struct Leg {
  std::string operation;
  unsigned length;
  bool operator==(const Leg&) const = default;
};

void PrintTo(const Leg& leg, std::ostream* os) { *os << leg.operation << ' ' << leg.length; }

// Carries the tokens to a fresh acceptor for every exchange and records each leg. The
// server's verdict on the last token is SEC_E_LOGON_DENIED when it refuses it.
class AcceptorClient : public CNtlmSecurityClient {
 public:
  SECURITY_STATUS SendNtlmFirstToken(const unsigned char* token, unsigned length) override {
    acceptor = std::make_unique<NtlmAcceptor>();
    return Carry("first", token, length);
  }

  SECURITY_STATUS ReceiveNtlmToken(unsigned char* buffer, unsigned capacity,
                                   unsigned* received) override {
    EXPECT_EQ(capacity, 12000u);
    std::vector<unsigned char> token = acceptor->reply;
    if (challengeSize != 0) token.assign(challengeSize, 0x4E);
    legs.push_back({"receive", static_cast<unsigned>(token.size())});
    if (throwFrom == "receive") Throw();
    *received = static_cast<unsigned>(token.size());
    if (token.size() >= capacity) return SEC_E_INSUFFICIENT_MEMORY;
    std::memcpy(buffer, token.data(), token.size());
    return SEC_E_OK;
  }

  SECURITY_STATUS SendNtlmNextToken(const unsigned char* token, unsigned length) override {
    return Carry("next", token, length);
  }

  bool HoldsHandles() const {
    return context.dwLower != 0 || context.dwUpper != 0 || credentials.dwLower != 0 ||
           credentials.dwUpper != 0;
  }

  std::vector<Leg> legs;
  std::unique_ptr<NtlmAcceptor> acceptor;
  std::size_t challengeSize = 0;  // when set, the server answers with that many bytes
  std::string throwFrom;          // the operation that throws, if any

 private:
  SECURITY_STATUS Carry(const char* operation, const unsigned char* token, unsigned length) {
    legs.push_back({operation, length});
    if (throwFrom == operation) Throw();
    return acceptor->Accept(token, length) ? SEC_E_OK : SEC_E_LOGON_DENIED;
  }

  [[noreturn]] static void Throw() {
    throw CTAVSMTPException(538, FACILITY_ITF, "535 5.7.8 Authentication failed");
  }
};

TEST(NtlmAuthenticate, RightPasswordCompletesInThreeLegs) {
  NtlmUserFile file(users);
  AcceptorClient client;
  EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "secret"), SEC_E_OK);
  ASSERT_EQ(client.legs.size(), 3u);
  EXPECT_EQ(client.legs[0], (Leg{"first", 40}));  // the negotiate message
  EXPECT_EQ(client.legs[1].operation, "receive");
  EXPECT_GT(client.legs[1].length, 0u);
  EXPECT_EQ(client.legs[2].operation, "next");
  EXPECT_GT(client.legs[2].length, 0u);
  EXPECT_TRUE(client.acceptor->complete);
  EXPECT_EQ(client.acceptor->Client(), "DOM\\bob");
  EXPECT_FALSE(client.HoldsHandles());
}

TEST(NtlmAuthenticate, WrongPasswordIsRefusedAfterTheAuthenticateToken) {
  NtlmUserFile file(users);
  AcceptorClient client;
  EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "wrong"), SEC_E_LOGON_DENIED);
  ASSERT_EQ(client.legs.size(), 3u);
  EXPECT_EQ(client.legs[2].operation, "next");
  EXPECT_FALSE(client.acceptor->complete);
  EXPECT_FALSE(client.HoldsHandles());
}

TEST(NtlmAuthenticate, UserNameSplitsAtTheFirstBackslashOnly) {
  struct Case {
    const char* userName;
    const char* password;
    SECURITY_STATUS status;
    const char* acceptedAs;
  };
  const Case cases[] = {
      {"DOM\\bob", "secret", SEC_E_OK, "DOM\\bob"},
      {"OTHER\\bob", "other", SEC_E_OK, "OTHER\\bob"},
      {"DOM\\bob", "other", SEC_E_LOGON_DENIED, ""},  // the domain travels: OTHER's password fails
      {"bob", "secret", SEC_E_OK, "bob"},
      {"me@example.com", "mail", SEC_E_OK, "\\me@example.com"},  // no domain, name kept whole
      {"DOM\\a\\b", "nested", SEC_E_OK, "DOM\\a\\b"},
      {"", "", SEC_E_OK, "DOM\\bob"},                // default credentials: the first line
      {"DOM\\", "ignored", SEC_E_OK, "DOM\\bob"},    // an empty account too
  };
  NtlmUserFile file(users);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.userName);
    AcceptorClient client;
    EXPECT_EQ(client.NtlmAuthenticate(c.userName, c.password), c.status);
    EXPECT_EQ(client.legs.size(), 3u);
    if (c.status == SEC_E_OK) {
      EXPECT_EQ(client.acceptor->Client(), c.acceptedAs);
    }
  }
}

TEST(NtlmAuthenticate, DefaultCredentialsWithoutAUserFileFailBeforeAnyTraffic) {
  unsetenv("NTLM_USER_FILE");
  AcceptorClient client;
  EXPECT_EQ(client.NtlmAuthenticate("", ""), SEC_E_NO_CREDENTIALS);
  EXPECT_TRUE(client.legs.empty());
  EXPECT_FALSE(client.HoldsHandles());
}

TEST(NtlmAuthenticate, TwoExchangesInARowEachStartAfresh) {
  NtlmUserFile file(users);
  AcceptorClient client;
  EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "wrong"), SEC_E_LOGON_DENIED);
  EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "secret"), SEC_E_OK);
  EXPECT_EQ(client.legs.size(), 6u);
  EXPECT_EQ(client.acceptor->Client(), "DOM\\bob");
}

TEST(NtlmAuthenticate, ServerTokenOfTheBufferSizeOrMoreEndsTheExchange) {
  NtlmUserFile file(users);
  for (std::size_t size : {12000u, 12001u, 65536u}) {
    SCOPED_TRACE(size);
    AcceptorClient client;
    client.challengeSize = size;
    EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "secret"), SEC_E_INSUFFICIENT_MEMORY);
    std::vector<Leg> legs = {{"first", 40}, {"receive", static_cast<unsigned>(size)}};
    EXPECT_EQ(client.legs, legs);
    EXPECT_FALSE(client.HoldsHandles());
  }
  // One byte less fits and reaches the package, which refuses it as a challenge.
  AcceptorClient client;
  client.challengeSize = 11999;
  EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "secret"), SEC_E_INVALID_TOKEN);
  EXPECT_EQ(client.legs.size(), 2u);
}

TEST(NtlmAuthenticate, TokenOperationErrorPassesThroughAndHandlesWaitForRelease) {
  NtlmUserFile file(users);
  for (const char* operation : {"first", "receive", "next"}) {
    SCOPED_TRACE(operation);
    AcceptorClient client;
    client.throwFrom = operation;
    try {
      client.NtlmAuthenticate("DOM\\bob", "secret");
      ADD_FAILURE() << "nothing was raised";
    } catch (const CTAVSMTPException& e) {
      EXPECT_EQ(static_cast<std::uint32_t>(e.m_hrError), 0x8004021Au);
      EXPECT_EQ(e.m_sLastResponseText, "535 5.7.8 Authentication failed");
    }
    // Held until the next exchange or the destructor releases them (the leak checker
    // of the sanitizer build sees the destructor's share).
    EXPECT_TRUE(client.HoldsHandles());
    client.throwFrom.clear();
    EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "secret"), SEC_E_OK);
    EXPECT_FALSE(client.HoldsHandles());
  }
}

// A library path that cannot be opened, and a library without the GSSAPI calls.
TEST(NtlmAuthenticate, WithoutTheGssapiLibraryNothingIsSent) {
  for (const char* library : {"/nonexistent/libgssapi_krb5.so.2", "libc.so.6"}) {
    SCOPED_TRACE(library);
    setenv("EMAILER_GSSAPI_LIBRARY", library, 1);
    AcceptorClient client;
    EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "secret"), SEC_E_UNSUPPORTED_FUNCTION);
    EXPECT_TRUE(client.legs.empty());
    EXPECT_FALSE(client.HoldsHandles());
  }
  unsetenv("EMAILER_GSSAPI_LIBRARY");
}

// The library is opened by the first exchange, not by the constructor, and stays open
// while a client lives: only then does a changed library path count.
TEST(NtlmAuthenticate, TheLibraryOpensAtTheFirstExchange) {
  NtlmUserFile file(users);
  setenv("EMAILER_GSSAPI_LIBRARY", "/nonexistent/libgssapi_krb5.so.2", 1);
  AcceptorClient client;
  unsetenv("EMAILER_GSSAPI_LIBRARY");
  EXPECT_EQ(client.NtlmAuthenticate("DOM\\bob", "secret"), SEC_E_OK);

  setenv("EMAILER_GSSAPI_LIBRARY", "/nonexistent/libgssapi_krb5.so.2", 1);
  AcceptorClient second;
  EXPECT_EQ(second.NtlmAuthenticate("DOM\\bob", "secret"), SEC_E_OK);
  unsetenv("EMAILER_GSSAPI_LIBRARY");
}

// The GSSAPI library reads its mechanism list once per process, so the check runs in a
// process of its own, with an empty list.
bool AuthenticatesWithoutTheMechanism() {
  setenv("GSS_MECH_CONFIG", "/dev/null", 1);
  AcceptorClient client;
  return client.NtlmAuthenticate("DOM\\bob", "secret") == SEC_E_UNSUPPORTED_FUNCTION &&
         client.legs.empty();
}

TEST(NtlmAuthenticate, WithoutTheNtlmsspMechanismNothingIsSent) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(AuthenticatesWithoutTheMechanism() ? 0 : 1), testing::ExitedWithCode(0), "");
}

}  // namespace

// A package whose five entry points the test sets out in a table, for the branches that
// the GSSAPI stand-in never takes: it never asks for completion.
namespace table {

// What the package answers and what was asked of it.
struct Package {
  std::vector<SECURITY_STATUS> initializeAnswers;  // one per call, in order
  SECURITY_STATUS completeAnswer = SEC_E_OK;
  std::vector<std::string> calls{};
  std::vector<CtxtHandle> completedContexts{};
  std::vector<unsigned> completedLengths{};
};
Package* package = nullptr;

constexpr SecHandle heldCredentials{1, 1};
constexpr SecHandle heldContext{2, 2};
constexpr unsigned tokenLength = 3;

SECURITY_STATUS Acquire(const char*, const char*, std::uint32_t, void*, void*, SEC_GET_KEY_FN,
                        void*, CredHandle* credential, TimeStamp*) {
  package->calls.push_back("acquire");
  *credential = heldCredentials;
  return SEC_E_OK;
}

SECURITY_STATUS Initialize(CredHandle*, CtxtHandle*, const char*, std::uint32_t, std::uint32_t,
                           std::uint32_t, SecBufferDesc*, std::uint32_t, CtxtHandle* newContext,
                           SecBufferDesc* output, std::uint32_t*, TimeStamp*) {
  std::size_t call = std::count(package->calls.begin(), package->calls.end(), "initialize");
  package->calls.push_back("initialize");
  *newContext = heldContext;
  std::memset(output->pBuffers[0].pvBuffer, 'T', tokenLength);
  output->pBuffers[0].cbBuffer = tokenLength;
  return package->initializeAnswers.at(call);
}

SECURITY_STATUS Complete(CtxtHandle* context, SecBufferDesc* token) {
  package->calls.push_back("complete");
  package->completedContexts.push_back(*context);
  package->completedLengths.push_back(token->pBuffers[0].cbBuffer);
  return package->completeAnswer;
}

SECURITY_STATUS Delete(CtxtHandle*) {
  package->calls.push_back("delete");
  return SEC_E_OK;
}

SECURITY_STATUS Free(CredHandle*) {
  package->calls.push_back("free");
  return SEC_E_OK;
}

// The client over the table's entry points without the one named missing; it records
// the legs of each exchange, and the server accepts every token.
class Client : public CNtlmSecurityClient {
 public:
  explicit Client(const std::string& missing = "") {
    const std::pair<const char*, SECURITY_PROC> entryPoints[] = {
        {"AcquireCredentialsHandleA", reinterpret_cast<SECURITY_PROC>(&Acquire)},
        {"InitializeSecurityContextA", reinterpret_cast<SECURITY_PROC>(&Initialize)},
        {"CompleteAuthToken", reinterpret_cast<SECURITY_PROC>(&Complete)},
        {"DeleteSecurityContext", reinterpret_cast<SECURITY_PROC>(&Delete)},
        {"FreeCredentialsHandle", reinterpret_cast<SECURITY_PROC>(&Free)},
    };
    TakeEntryPoints([&](const char* name) -> SECURITY_PROC {
      for (const auto& [entryName, entryPoint] : entryPoints) {
        if (name == std::string(entryName) && missing != entryName) return entryPoint;
      }
      return nullptr;
    });
  }

  SECURITY_STATUS SendNtlmFirstToken(const unsigned char*, unsigned length) override {
    legs.push_back({"first", length});
    return SEC_E_OK;
  }
  SECURITY_STATUS ReceiveNtlmToken(unsigned char* buffer, unsigned, unsigned* received) override {
    legs.push_back({"receive", 1});
    buffer[0] = 'C';
    *received = 1;
    return SEC_E_OK;
  }
  SECURITY_STATUS SendNtlmNextToken(const unsigned char*, unsigned length) override {
    legs.push_back({"next", length});
    return SEC_E_OK;
  }

  bool HasNoneOfTheFour() const {
    return acquireCredentialsHandle == nullptr && initializeSecurityContext == nullptr &&
           deleteSecurityContext == nullptr && freeCredentialsHandle == nullptr;
  }

  std::vector<Leg> legs;
};

}  // namespace table

// SEC_I_COMPLETE_AND_CONTINUE and SEC_I_COMPLETE_NEEDED each have the token completed
// before it goes out; the first continues the exchange, the second ends it. A failing
// completion ends the exchange with its status and sends nothing more; without a
// CompleteAuthToken the exchange fails with SEC_E_UNSUPPORTED_FUNCTION.
TEST(NtlmCompletion, CompletionStatusesHaveTheTokenCompletedFirst) {
  using Legs = std::vector<Leg>;
  struct Case {
    const char* what;
    std::vector<SECURITY_STATUS> initializeAnswers;
    SECURITY_STATUS completeAnswer;
    const char* missing;
    SECURITY_STATUS result;
    Legs legs;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"complete and continue, then complete", {SEC_I_COMPLETE_AND_CONTINUE, SEC_I_COMPLETE_NEEDED},
       SEC_E_OK, "", SEC_E_OK, Legs{{"first", 3}, {"receive", 1}, {"next", 3}},
       {"acquire", "initialize", "complete", "initialize", "complete", "delete", "free"}},
      {"continue, then complete", {SEC_I_CONTINUE_NEEDED, SEC_I_COMPLETE_NEEDED}, SEC_E_OK, "",
       SEC_E_OK, Legs{{"first", 3}, {"receive", 1}, {"next", 3}},
       {"acquire", "initialize", "initialize", "complete", "delete", "free"}},
      {"completion fails", {SEC_I_CONTINUE_NEEDED, SEC_I_COMPLETE_NEEDED}, SEC_E_INTERNAL_ERROR,
       "", SEC_E_INTERNAL_ERROR, Legs{{"first", 3}, {"receive", 1}},
       {"acquire", "initialize", "initialize", "complete", "delete", "free"}},
      {"no CompleteAuthToken", {SEC_I_COMPLETE_AND_CONTINUE}, SEC_E_OK, "CompleteAuthToken",
       SEC_E_UNSUPPORTED_FUNCTION, Legs{}, {"acquire", "initialize", "delete", "free"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    table::Package package{.initializeAnswers = c.initializeAnswers,
                           .completeAnswer = c.completeAnswer};
    table::package = &package;
    {
      table::Client client(c.missing);
      EXPECT_EQ(client.NtlmAuthenticate("DOM\bob", "secret"), c.result);
      EXPECT_EQ(client.legs, c.legs);
    }
    EXPECT_EQ(package.calls, c.calls);
    for (std::size_t i = 0; i < package.completedContexts.size(); ++i) {
      EXPECT_EQ(package.completedContexts[i].dwLower, table::heldContext.dwLower);
      EXPECT_EQ(package.completedLengths[i], table::tokenLength);
    }
    table::package = nullptr;
  }
}

// Without any one of the four, none of them is used: the exchange fails before it
// starts, and nothing is released either.
TEST(NtlmCompletion, AMissingOneOfTheFourEntryPointsDisablesAllFour) {
  for (const char* missing : {"AcquireCredentialsHandleA", "InitializeSecurityContextA",
                              "DeleteSecurityContext", "FreeCredentialsHandle"}) {
    SCOPED_TRACE(missing);
    table::Package package{.initializeAnswers = {SEC_E_OK}};
    table::package = &package;
    {
      table::Client client(missing);
      EXPECT_TRUE(client.HasNoneOfTheFour());
      EXPECT_EQ(client.NtlmAuthenticate("DOM\bob", "secret"), SEC_E_UNSUPPORTED_FUNCTION);
      EXPECT_TRUE(client.legs.empty());
    }
    EXPECT_TRUE(package.calls.empty());
    table::package = nullptr;
  }
}

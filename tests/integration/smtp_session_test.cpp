// Sessions against aiosmtpd on 127.0.0.1: each authentication mechanism with the right
// and a wrong password (NTLM through a GSSAPI acceptor with gss-ntlmssp), aiosmtpd's own
// mechanisms, implicit TLS, and the connect through each kind of proxy.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "smtp/connection.h"
#include "tests/support/catch_error.h"
#include "tests/support/proxies.h"
#include "tests/support/smtp_server.h"

namespace {

constexpr HRESULT Itf(std::uint32_t message) { return MakeFailureHresult(FACILITY_ITF, message); }

// A real server answers at once; the bound only ends a test that has gone wrong, so it
// is generous enough for a loaded machine.
constexpr std::uint32_t replyBound = 2000;

class Client : public CTAVSMTPConnection {
 public:
  Client() {
    SetHeloHostname("client.test");
    m_dwTimeout = replyBound;
  }
};

// Connects with mechanism as user/password, then says QUIT; the error Connect raised,
// if any.
std::optional<CTAVSMTPException> Session(const SmtpTestServer& server, std::int32_t mechanism,
                                         const char* user, const char* password,
                                         bool tls = false) {
  Client c;
  try {
    c.Connect(tls ? "localhost" : "127.0.0.1", mechanism, user, password, server.Port(), tls);
    c.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    EXPECT_FALSE(c.m_bConnected);
    return e;
  }
  return std::nullopt;
}

struct MechanismCase {
  const char* server;  // the mechanism as the server offers it
  std::int32_t mechanism;
  HRESULT wrongPassword;  // the error of a wrong password
};

void PrintTo(const MechanismCase& c, std::ostream* os) { *os << c.server; }

class EachMechanism : public testing::TestWithParam<MechanismCase> {};

}  // namespace

TEST_P(EachMechanism, SucceedsWithTheRightPasswordAndFailsWithAWrongOne) {
  SmtpTestServer server({.mechanisms = {GetParam().server}, .ntlmUsers = ":user:secret\n"});
  auto error = Session(server, GetParam().mechanism, "user", "secret");
  EXPECT_FALSE(error) << error->what() << "\n" << server.Log();
  EXPECT_EQ(server.Logins(), std::vector<std::string>{std::string(GetParam().server) + " user"});

  error = Session(server, GetParam().mechanism, "user", "wrong");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, GetParam().wrongPassword);
  EXPECT_EQ(error->m_sLastResponseText, "535 5.7.8 Authentication credentials invalid");
}

INSTANTIATE_TEST_SUITE_P(Aiosmtpd, EachMechanism,
                         testing::Values(MechanismCase{"LOGIN", AuthLogin, Itf(529)},
                                         MechanismCase{"PLAIN", AuthPlain, Itf(534)},
                                         MechanismCase{"CRAM-MD5", AuthCramMd5, Itf(536)},
                                         MechanismCase{"NTLM", AuthNtlm, Itf(538)}));

// The user name "DOMAIN\account" splits at its first backslash: the acceptor checks the
// answer against that domain's account.
TEST(Ntlm, AuthenticatesTheAccountOfTheNamedDomain) {
  SmtpTestServer server({.mechanisms = {"NTLM"},
                         .ntlmUsers = "DOM:bob:secret\nOTHER:bob:other\nDOM:a\\b:nested\n"});
  EXPECT_FALSE(Session(server, AuthNtlm, "DOM\\bob", "secret"));
  EXPECT_FALSE(Session(server, AuthNtlm, "OTHER\\bob", "other"));
  EXPECT_FALSE(Session(server, AuthNtlm, "DOM\\a\\b", "nested"));
  auto error = Session(server, AuthNtlm, "OTHER\\bob", "secret");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(538));
  EXPECT_EQ(server.Logins(),
            (std::vector<std::string>{"NTLM DOM\\bob", "NTLM OTHER\\bob", "NTLM DOM\\a\\b"}));
}

// aiosmtpd's own LOGIN prompts "User Name", and its PLAIN is RFC 4616 (an empty 334):
// neither is the dialogue this client speaks.
TEST(AiosmtpdOwnMechanisms, AreRefusedAtTheirFirstPrompt) {
  SmtpTestServer server({.mechanisms = {"BUILTIN-LOGIN", "BUILTIN-PLAIN"}});
  auto login = Session(server, AuthLogin, "user", "secret");
  ASSERT_TRUE(login);
  EXPECT_EQ(login->m_hrError, Itf(526));
  auto plain = Session(server, AuthPlain, "user", "secret");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->m_hrError, Itf(531));
  EXPECT_EQ(plain->m_sLastResponseText, "334 ");
}

// aiosmtpd's own PLAIN is RFC 4616: AuthMethod 6 speaks it, with the response on the
// AUTH line, or after an empty 334 when that line would pass 512 octets.
TEST(SaslPlain, AiosmtpdsOwnPlainTakesTheInitialResponse) {
  SmtpTestServer server({.mechanisms = {"BUILTIN-PLAIN"}});
  auto error = Session(server, AuthSaslPlain, "user", "secret");
  EXPECT_FALSE(error) << error->what() << "\n" << server.Log();
  error = Session(server, AuthSaslPlain, "user", "wrong");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(548));
  EXPECT_EQ(error->m_sLastResponseText, "535 5.7.8 Authentication credentials invalid");
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"PLAIN user"});

  const std::string longPassword(400, 'p');
  SmtpTestServer longServer({.mechanisms = {"BUILTIN-PLAIN"}, .password = longPassword});
  error = Session(longServer, AuthSaslPlain, "user", longPassword.c_str());
  EXPECT_FALSE(error) << error->what() << "\n" << longServer.Log();
  EXPECT_EQ(longServer.Logins(), std::vector<std::string>{"PLAIN user"});
  const auto commands = longServer.Transcript();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "AUTH PLAIN"), commands.end());
}

namespace {

class EachOAuthMechanism : public testing::TestWithParam<const char*> {};

}  // namespace

// The right token is taken; a wrong one gets the error challenge, which the client
// answers with the mechanism's dummy response (the server refuses anything else with
// 501), and the error tells the server's reason.
TEST_P(EachOAuthMechanism, TakesTheRightTokenAndTellsTheReasonForAWrongOne) {
  SmtpTestServer server({.mechanisms = {GetParam()}, .password = "ya29.token"});
  auto error = Session(server, AuthOAuth, "user", "ya29.token");
  EXPECT_FALSE(error) << error->what() << "\n" << server.Log();
  EXPECT_EQ(server.Logins(), std::vector<std::string>{std::string(GetParam()) + " user"});

  error = Session(server, AuthOAuth, "user", "ya29.expired");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(552));
  EXPECT_EQ(error->m_sLastResponseText,
            "{\"status\":\"invalid_token\",\"scope\":\"https://mail.test/\"}\r\n"
            "535 5.7.8 Authentication credentials invalid");
}

// A token of 2 KiB does not fit a command line of 512 octets, which aiosmtpd enforces:
// it follows the bare AUTH command after a 334.
TEST_P(EachOAuthMechanism, ALongTokenFollowsTheAuthCommand) {
  const std::string token = "ya29." + std::string(2048, 't');
  SmtpTestServer server({.mechanisms = {GetParam()}, .password = token});
  auto error = Session(server, AuthOAuth, "user", token.c_str());
  EXPECT_FALSE(error) << error->what() << "\n" << server.Log();
  EXPECT_EQ(server.Logins(), std::vector<std::string>{std::string(GetParam()) + " user"});
  const auto commands = server.Transcript();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "AUTH " + std::string(GetParam())),
            commands.end());
}

INSTANTIATE_TEST_SUITE_P(Aiosmtpd, EachOAuthMechanism, testing::Values("OAUTHBEARER", "XOAUTH2"));

TEST(OAuth, PrefersOAuthBearerWhereBothAreOffered) {
  SmtpTestServer server({.mechanisms = {"XOAUTH2", "OAUTHBEARER"}, .password = "ya29.token"});
  EXPECT_FALSE(Session(server, AuthOAuth, "user", "ya29.token"));
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"OAUTHBEARER user"});
}

TEST(AutomaticChoice, PrefersNtlmThenCramMd5OverLoginAndPlain) {
  SmtpTestServer server({.mechanisms = {"LOGIN", "PLAIN", "CRAM-MD5"}});
  EXPECT_FALSE(Session(server, AuthAutomatic, "user", "secret"));
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"CRAM-MD5 user"});

  SmtpTestServer withNtlm(
      {.mechanisms = {"LOGIN", "PLAIN", "CRAM-MD5", "NTLM"}, .ntlmUsers = "DOM:bob:secret\n"});
  EXPECT_FALSE(Session(withNtlm, AuthAutomatic, "DOM\\bob", "secret"));
  EXPECT_EQ(withNtlm.Logins(), std::vector<std::string>{"NTLM DOM\\bob"});
}

TEST(ImplicitTls, CarriesTheWholeSession) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}, .tls = true});
  auto error = Session(server, AuthLogin, "user", "secret", true);
  EXPECT_FALSE(error) << error->what() << "\n" << server.Log();
  EXPECT_EQ(server.Logins(), std::vector<std::string>{"LOGIN user"});
}

// A TLS failure to send QUIT raises 546 at once, without waiting for a reply, and
// leaves the session standing: still connected, the transport open. The destructor
// then says QUIT again, and that one reaches the server. The socket's descriptor is
// swapped for one that cannot be written while Disconnect runs, then given back.
TEST(ImplicitTls, FailedQuitRaises546AndTheDestructorSaysQuitAgain) {
  SmtpTestServer server({.tls = true});
  {
    Client c;
    c.Connect("localhost", AuthNone, "", "", server.Port(), true);
    const int socket = c.m_socket.GetSocketHandle();
    const int saved = dup(socket);
    const int readOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(dup2(readOnly, socket), socket);
    auto error = SmtpErrorOf([&] { c.Disconnect(true); });
    ASSERT_EQ(dup2(saved, socket), socket);
    close(saved);
    close(readOnly);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(546));
    EXPECT_TRUE(c.m_bConnected);
    EXPECT_EQ(c.m_socket.GetSocketHandle(), socket);
    EXPECT_NE(c.m_sslSocket.GetSSL(), nullptr);
    EXPECT_EQ(c.m_nLastReplyCode, 250);  // the HELO reply: none was awaited since
  }
  EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"HELO client.test", "QUIT"}));
}

// Connect takes the tunnel that m_nProxyType names, with the proxy's credentials only
// when a proxy user name is set.
TEST(ConnectThroughProxies, GreetsTheServerBehindEachKind) {
  SmtpTestServer server;
  DanteProxy dante;
  MicrosocksProxy socks5("proxyuser", "proxypass");
  TinyProxy http("proxyuser", "proxypass");
  struct Case {
    const char* name;
    ProxyType type;
    std::uint16_t port;
    bool credentials;
  };
  for (Case p : {Case{"SOCKS4", ProxySocks4, dante.Port(), false},
                 Case{"SOCKS5", ProxySocks5, socks5.Port(), true},
                 Case{"HTTP", ProxyHttp, http.Port(), true}}) {
    SCOPED_TRACE(p.name);
    Client c;
    c.m_nProxyType = p.type;
    c.m_sProxyServer = "127.0.0.1";
    c.m_nProxyPort = p.port;
    if (p.credentials) {
      c.m_sProxyUserName = "proxyuser";
      c.m_sProxyPassword = "proxypass";
    }
    c.m_sUserAgent = "e-mailer test";
    c.Connect("127.0.0.1", AuthNone, "", "", server.Port(), false);
    EXPECT_EQ(c.GetLastReply(), "250 test.server");
    c.Disconnect(true);
  }
}

// STARTTLS and the check of the server's certificate against aiosmtpd on 127.0.0.1,
// with certificates made by a test CA at test time: a session switched to TLS that
// authenticates from the second EHLO; each way a certificate can be refused (self-
// signed, wrong name, wrong address, expired, pin) with its reason and remedy in the
// error; the pin that trusts a self-signed server; a CA file that cannot be read;
// implicit TLS and a proxy tunnel under the same checks; trust settings that are never
// passed over, and that are refused without TLS.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "errors/message_table.h"

#include "smtp/connection.h"
#include "tests/support/catch_error.h"
#include "tests/support/proxies.h"
#include "tests/support/smtp_server.h"

namespace {

constexpr HRESULT Itf(std::uint32_t message) { return MakeFailureHresult(FACILITY_ITF, message); }

// A bound for a test gone wrong, generous under load.
constexpr std::uint32_t replyBound = 5000;

// One CA for the whole suite: each certificate costs openssl runs.
class Certificates : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca = std::make_unique<TestCertificateAuthority>();
    good = ca->Issue("localhost", "DNS:localhost,IP:127.0.0.1,IP:::1");
  }
  static void TearDownTestSuite() { ca.reset(); }

  // A STARTTLS session as user/secret with LOGIN, set up by configure; the error that
  // Connect raised, if any.
  template <typename Configure>
  static std::optional<CTAVSMTPException> Session(const SmtpTestServer& server, const char* host,
                                                  Configure configure, bool ssl = false) {
    CTAVSMTPConnection c;
    c.SetHeloHostname("client.test");
    c.m_dwTimeout = replyBound;
    c.m_bStartTLS = true;
    configure(c);
    try {
      c.Connect(host, AuthLogin, "user", "secret", server.Port(), ssl);
      c.Disconnect(true);
    } catch (const CTAVSMTPException& e) {
      EXPECT_FALSE(c.m_bConnected);
      return e;
    }
    return std::nullopt;
  }

  static SmtpServerOptions StartTlsWith(const TestCertificate& certificate) {
    return {.mechanisms = {"LOGIN"}, .startTls = true, .certificate = certificate};
  }

  static std::unique_ptr<TestCertificateAuthority> ca;
  static TestCertificate good;
};

std::unique_ptr<TestCertificateAuthority> Certificates::ca;
TestCertificate Certificates::good;

auto TrustTheCa(const TestCertificateAuthority& ca) {
  return [&ca](CTAVSMTPConnection& c) { c.m_sTLSCAFile = ca.Certificate().string(); };
}

// The refusal names the reason and the settings that would change it.
void ExpectRefusal(const std::optional<CTAVSMTPException>& error, HRESULT id,
                   const std::string& reason) {
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, id) << error->what();
  EXPECT_NE(error->m_sLastResponseText.find(reason), std::string::npos)
      << error->m_sLastResponseText;
  for (const char* remedy : {"TLSCAFile", "TLSFingerprint", "TLSVerify 0"}) {
    EXPECT_NE(error->m_sLastResponseText.find(remedy), std::string::npos)
        << error->m_sLastResponseText;
  }
}

}  // namespace

// After the switch the session starts again: EHLO once more, and the mechanism comes
// from that reply (aiosmtpd refuses AUTH before STARTTLS, so a LOGIN that succeeds ran
// in TLS).
TEST_F(Certificates, StartTlsSessionChecksByNameAndAuthenticatesAfterTheSecondEhlo) {
  SmtpTestServer server(StartTlsWith(good));
  for (const char* host : {"localhost", "127.0.0.1"}) {
    auto error = Session(server, host, TrustTheCa(*ca));
    EXPECT_FALSE(error) << host << ": " << error->what() << "\n" << server.Log();
  }
  EXPECT_EQ(server.Logins(), (std::vector<std::string>{"LOGIN user", "LOGIN user"}));
  std::vector<std::string> transcript = server.Transcript();
  ASSERT_GE(transcript.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(transcript.begin(), transcript.begin() + 4),
            (std::vector<std::string>{"EHLO client.test", "STARTTLS", "EHLO client.test",
                                      "AUTH LOGIN"}));
}

// Without STARTTLS the same server refuses to authenticate: the session fails as it
// does against a submission port that requires TLS.
TEST_F(Certificates, WithoutStartTlsTheServerRefusesAuthentication) {
  SmtpTestServer server(StartTlsWith(good));
  auto error = Session(server, "localhost", [](CTAVSMTPConnection& c) { c.m_bStartTLS = false; });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(525));
  EXPECT_EQ(error->m_sLastResponseText.substr(0, 4), "530 ");
}

TEST_F(Certificates, StartTlsRefusesEachUntrustedCertificateWithItsReason) {
  TempDir dir;
  TestCertificate selfSigned = MakeTestCertificate(dir);
  struct Case {
    const char* name;
    TestCertificate certificate;
    const char* host;
    const char* reason;
  };
  for (const Case& c :
       {Case{"self-signed", selfSigned, "localhost", "self-signed certificate"},
        Case{"wrong name", ca->Issue("other.test", "DNS:other.test,IP:127.0.0.2"), "localhost",
             "hostname mismatch"},
        Case{"wrong address", ca->Issue("localhost", "DNS:localhost"), "127.0.0.1",
             "IP address mismatch"},
        Case{"expired", ca->Issue("localhost", "DNS:localhost", true), "localhost",
             "certificate has expired"}}) {
    SCOPED_TRACE(c.name);
    SmtpTestServer server(StartTlsWith(c.certificate));
    ExpectRefusal(Session(server, c.host, TrustTheCa(*ca)), Itf(545), c.reason);
    EXPECT_TRUE(server.Logins().empty());
  }
}

// The system's store knows nothing of the test CA: by default STARTTLS checks.
TEST_F(Certificates, StartTlsChecksAgainstTheSystemStoreByDefault) {
  SmtpTestServer server(StartTlsWith(good));
  ExpectRefusal(Session(server, "localhost", [](CTAVSMTPConnection&) {}), Itf(545),
                "unable to get local issuer certificate");
  EXPECT_FALSE(Session(server, "localhost",
                       [](CTAVSMTPConnection& c) { c.m_nTLSVerify = TLSVerifyOff; }));
}

// The pin alone decides: a self-signed certificate is trusted by its fingerprint,
// written with or without colons in any case, and any other certificate is refused
// with the server's fingerprint in the text.
TEST_F(Certificates, FingerprintPinTrustsItsCertificateAlone) {
  TempDir dir;
  TestCertificate selfSigned = MakeTestCertificate(dir);
  SmtpTestServer server(StartTlsWith(selfSigned));
  std::string pin = Sha256Fingerprint(selfSigned.certificate);
  std::string bare;
  for (char ch : pin) {
    if (ch != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  for (const std::string& written : {pin, bare}) {
    auto error = Session(server, "127.0.0.1",
                         [&](CTAVSMTPConnection& c) { c.m_sTLSFingerprint = written; });
    EXPECT_FALSE(error) << written << ": " << error->what();
  }
  std::string other = Sha256Fingerprint(good.certificate);
  auto error = Session(server, "localhost", [&](CTAVSMTPConnection& c) {
    c.m_sTLSFingerprint = other;
    c.m_sTLSCAFile = ca->Certificate().string();
  });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(545));
  EXPECT_NE(error->m_sLastResponseText.find("fingerprint does not match"), std::string::npos);
  EXPECT_NE(error->m_sLastResponseText.find(pin), std::string::npos)
      << error->m_sLastResponseText;
  EXPECT_EQ(server.Logins().size(), 2u);
}

// Trust that cannot be set up fails before the connection is made.
TEST_F(Certificates, UnusableTrustSettingsRaise541BeforeConnecting) {
  SmtpTestServer server(StartTlsWith(good));
  TempDir dir;
  std::filesystem::path unreadable = dir.Write("unreadable.pem", ReadFile(ca->Certificate()));
  std::filesystem::permissions(unreadable, std::filesystem::perms::none);
  struct Case {
    const char* name;
    std::string caFile;
    std::string fingerprint;
    const char* text;
  };
  for (const Case& c : {Case{"missing", (dir.Path() / "missing.pem").string(), "", "TLSCAFile"},
                        Case{"not PEM", dir.Write("text.pem", "no certificate\n").string(), "",
                             "TLSCAFile"},
                        Case{"short pin", "", "AB:CD", "TLSFingerprint"},
                        Case{"not hex", "", std::string(64, 'g'), "TLSFingerprint"}}) {
    SCOPED_TRACE(c.name);
    auto error = Session(server, "localhost", [&](CTAVSMTPConnection& conn) {
      conn.m_sTLSCAFile = c.caFile;
      conn.m_sTLSFingerprint = c.fingerprint;
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(541));
    EXPECT_NE(error->m_sLastResponseText.find(c.text), std::string::npos)
        << error->m_sLastResponseText;
  }
  if (geteuid() != 0) {  // root reads any file
    auto error = Session(server, "localhost", [&](CTAVSMTPConnection& conn) {
      conn.m_sTLSCAFile = unreadable.string();
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(541));
  }
  EXPECT_TRUE(server.Transcript().empty());
}

// No trust setting is passed over while the password goes out: a CA file turns the
// check on wherever TLS runs, one that cannot be loaded fails before connecting (also
// beside a pin), SSL with StartTLS checks as STARTTLS does, and a check asked for
// without TLS is refused before connecting. The servers take user/secret but see no
// login.
TEST_F(Certificates, TrustSettingsNeverFailOpen) {
  TempDir dir;
  TestCertificate impostor = MakeTestCertificate(dir);
  SmtpTestServer implicit({.mechanisms = {"LOGIN"}, .tls = true, .certificate = impostor});
  SmtpTestServer starttls(StartTlsWith(impostor));
  SmtpTestServer plain({.mechanisms = {"LOGIN"}});
  const std::string missing = (dir.Path() / "missing.pem").string();
  const std::string caFile = ca->Certificate().string();
  const std::string pin = Sha256Fingerprint(impostor.certificate);
  using Configure = std::function<void(CTAVSMTPConnection&)>;
  struct Case {
    const SmtpTestServer& server;
    bool ssl;
    Configure configure;
    HRESULT id;
    const char* text;
  };
  auto trust = [](const std::string& file, std::int32_t verify, const std::string& pinned) {
    return [=](CTAVSMTPConnection& conn) {
      conn.m_sTLSCAFile = file;
      conn.m_nTLSVerify = verify;
      conn.m_sTLSFingerprint = pinned;
    };
  };
  const std::int32_t unset = TLSVerifyDefault, off = TLSVerifyOff;
  const Case cases[] = {
      Case{implicit, true, trust(missing, unset, ""), Itf(541), "TLSCAFile"},
      Case{starttls, false, trust(missing, off, ""), Itf(541), "TLSCAFile"},
      Case{starttls, false, trust(missing, unset, pin), Itf(541), "TLSCAFile"},
      Case{implicit, true, trust(caFile, unset, ""), Itf(545), "self-signed certificate"},
      Case{starttls, false, trust(caFile, off, ""), Itf(545), "self-signed certificate"},
      Case{implicit, true, [](auto& conn) { conn.m_bStartTLS = true; }, Itf(545),
           "self-signed certificate"},
      Case{plain, false, trust("", TLSVerifyOn, ""), Itf(541), "set StartTLS 1"},
      Case{plain, false, trust(caFile, unset, ""), Itf(541), "set StartTLS 1"},
      Case{plain, false, trust("", unset, pin), Itf(541), "set StartTLS 1"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    auto error = Session(c.server, "localhost", [&](CTAVSMTPConnection& conn) {
      conn.m_bStartTLS = &c.server == &starttls;
      c.configure(conn);
    }, c.ssl);
    EXPECT_TRUE(error);
    if (!error) continue;
    EXPECT_EQ(error->m_hrError, c.id) << error->what();
    EXPECT_NE(error->m_sLastResponseText.find(c.text), std::string::npos)
        << error->m_sLastResponseText;
  }
  EXPECT_TRUE(plain.Transcript().empty());
  for (const SmtpTestServer* server : {&implicit, &starttls, &plain}) {
    EXPECT_TRUE(server->Logins().empty());
  }
}

// Implicit TLS checks only when asked (its users have never had their servers
// checked); asked, it refuses as STARTTLS does.
TEST_F(Certificates, ImplicitTlsChecksWhenAsked) {
  TempDir dir;
  SmtpTestServer server({.mechanisms = {"LOGIN"}, .tls = true});
  auto implicit = [](CTAVSMTPConnection& c) { c.m_bStartTLS = false; };
  EXPECT_FALSE(Session(server, "localhost", implicit, true));
  ExpectRefusal(Session(server, "localhost",
                        [&](CTAVSMTPConnection& c) {
                          implicit(c);
                          c.m_nTLSVerify = TLSVerifyOn;
                          c.m_sTLSCAFile = ca->Certificate().string();
                        },
                        true),
                Itf(545), "self-signed certificate");

  SmtpTestServer trusted({.mechanisms = {"LOGIN"}, .tls = true, .certificate = good});
  EXPECT_FALSE(Session(trusted, "localhost",
                       [&](CTAVSMTPConnection& c) {
                         implicit(c);
                         c.m_nTLSVerify = TLSVerifyOn;
                         c.m_sTLSCAFile = ca->Certificate().string();
                       },
                       true));
}

// Through a proxy the check is the same and its failure is the proxy path's message,
// for implicit TLS and for STARTTLS alike.
TEST_F(Certificates, ProxyTunnelsCarryTheSameCheck) {
  TempDir dir;
  TestCertificate selfSigned = MakeTestCertificate(dir);
  DanteProxy dante;
  MicrosocksProxy socks5;
  TinyProxy http("proxyuser", "proxypass");
  SmtpTestServer starttls(StartTlsWith(selfSigned));
  SmtpTestServer implicit({.mechanisms = {"LOGIN"}, .tls = true, .certificate = selfSigned});
  SmtpTestServer trusted(StartTlsWith(good));
  struct Case {
    ProxyType type;
    std::uint16_t port;
    HRESULT refusal;
  };
  for (const Case& p : {Case{ProxySocks4, dante.Port(), Itf(542)},
                        Case{ProxySocks5, socks5.Port(), Itf(543)},
                        Case{ProxyHttp, http.Port(), Itf(544)}}) {
    SCOPED_TRACE(p.type);
    auto throughProxy = [&](CTAVSMTPConnection& c) {
      c.m_nProxyType = p.type;
      c.m_sProxyServer = "127.0.0.1";
      c.m_nProxyPort = p.port;
      if (p.type == ProxyHttp) {
        c.m_sProxyUserName = "proxyuser";
        c.m_sProxyPassword = "proxypass";
      }
      c.m_sTLSCAFile = ca->Certificate().string();
    };
    // SOCKS4 carries no name: the tunnels reach the servers by address.
    ExpectRefusal(Session(starttls, "127.0.0.1", throughProxy), p.refusal,
                  "self-signed certificate");
    ExpectRefusal(Session(implicit, "127.0.0.1",
                          [&](CTAVSMTPConnection& c) {
                            throughProxy(c);
                            c.m_bStartTLS = false;
                            c.m_nTLSVerify = TLSVerifyOn;
                          },
                          true),
                  p.refusal, "self-signed certificate");
    auto error = Session(trusted, "127.0.0.1", throughProxy);
    EXPECT_FALSE(error) << error->what();
  }
}

// A plain server that offers no STARTTLS is left with QUIT before anything else.
TEST_F(Certificates, PlainServerWithoutStartTlsRaisesNotOffered) {
  SmtpTestServer plain({.mechanisms = {"LOGIN"}});
  auto error = Session(plain, "127.0.0.1", TrustTheCa(*ca));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(msgStartTlsNotOffered));
  EXPECT_EQ(plain.Transcript(), (std::vector<std::string>{"EHLO client.test", "QUIT"}));
  EXPECT_TRUE(plain.Logins().empty());
}

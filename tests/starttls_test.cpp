// The switch to TLS with STARTTLS against a scripted peer: the EHLO that comes first
// whatever the mechanism, a server that does not offer or refuses the switch, bytes
// pipelined after the 220 (command injection), and a handshake that fails; each with
// what goes over the wire and the error that reaches the caller.
#include <string>

#include <gtest/gtest.h>

#include "errors/message_table.h"

#include "tests/support/catch_error.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_client.h"

namespace {

using namespace std::chrono_literals;

class StartTlsClient : public TestClient {
 public:
  StartTlsClient() {
    m_bStartTLS = true;
    m_dwTimeout = 2000;  // a bound for a test gone wrong, generous under load
  }
};

// The greeting and the first EHLO, answered with ehloReply.
PeerScript GreetingAndEhlo(const std::string& ehloReply) {
  return PeerScript().Send("220 hi\r\n").Expect("EHLO client\r\n").Send(ehloReply);
}

PeerScript QuitAndClose() {
  return PeerScript().Expect("QUIT\r\n").Send("221 bye\r\n").ExpectClosed();
}

}  // namespace

// HELO has no extensions: even without authentication the session says EHLO, and a
// server whose reply does not name STARTTLS as a keyword (in any letter case) is left
// with QUIT.
TEST(StartTls, NotOfferedRaisesNotOfferedAfterEhloAndQuit) {
  for (const char* ehlo : {"250-server\r\n250 HELP\r\n",
                           "250-server\r\n250-X-STARTTLS\r\n250-STARTTLSX\r\n250 SIZE 100\r\n"}) {
    ScriptedPeer peer{GreetingAndEhlo(ehlo).Then(QuitAndClose())};
    StartTlsClient c;
    auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port(), AuthNone); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(msgStartTlsNotOffered));
    EXPECT_EQ(error->m_sLastResponseText + "\r\n", ehlo);
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(peer.Finish(), "") << ehlo;
  }
}

TEST(StartTls, RefusedSwitchRaisesUnexpectedResponseAfterQuit) {
  ScriptedPeer peer{GreetingAndEhlo("250-server\r\n250 starttls\r\n")
                        .Expect("STARTTLS\r\n")
                        .Send("454 4.7.0 TLS not available\r\n")
                        .Then(QuitAndClose())};
  StartTlsClient c;
  auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port(), AuthLogin); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(msgStartTls));
  EXPECT_EQ(error->m_sLastResponseText, "454 4.7.0 TLS not available");
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(peer.Finish(), "");
}

// A reply pipelined behind the 220 would be read as the first answer of the secured
// session; the client says nothing more, in clear or in TLS, and closes.
TEST(StartTls, BytesAfterThe220RaiseUnexpectedDataAndCloseWithoutAnotherByte) {
  const char* const injected[] = {
      "220 go ahead\r\n250-evil\r\n250 AUTH PLAIN\r\n",  // whole replies
      "220 go ahead\r\n\x16\x03\x01",                    // anything at all
      "220-go\r\n220 ahead\r\n220 again\r\n",            // even another 220
  };
  for (const char* bytes : injected) {
    ScriptedPeer peer{GreetingAndEhlo("250-server\r\n250 STARTTLS\r\n")
                          .Expect("STARTTLS\r\n")
                          .Send(bytes)
                          .ExpectClosed()};
    StartTlsClient c;
    c.m_dwTimeout = 300;  // the cut-off reply ends by the bound
    auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port(), AuthLogin); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(msgStartTlsInjection)) << EscapeBytes(bytes);
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(peer.Finish(), "") << EscapeBytes(bytes);
  }
}

// After the 220 the next bytes are the client's TLS handshake over the same socket;
// when it fails, nothing is said in clear.
TEST(StartTls, FailedHandshakeRaises545WithoutQuit) {
  ScriptedPeer peer{GreetingAndEhlo("250-server\r\n250 STARTTLS\r\n")
                        .Expect("STARTTLS\r\n")
                        .Send("220 go ahead\r\n")
                        .ReadAny()
                        .Send("not TLS\r\n")
                        .ReadUntilClosed()};
  StartTlsClient c;
  auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port(), AuthLogin); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(545));
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(peer.Finish(), "");
  std::string afterSwitch = peer.Received().substr(peer.Received().find("STARTTLS\r\n") + 10);
  ASSERT_FALSE(afterSwitch.empty());
  EXPECT_EQ(afterSwitch[0], '\x16') << "a TLS handshake record";
  EXPECT_EQ(afterSwitch.find("QUIT"), std::string::npos);
}

// A server that agrees and then says nothing more ends the handshake by the timeout,
// as a socket error of the connect.
TEST(StartTls, SilentHandshakeRaises10060) {
  ScriptedPeer peer{GreetingAndEhlo("250-server\r\n250 STARTTLS\r\n")
                        .Expect("STARTTLS\r\n")
                        .Send("220 go ahead\r\n")
                        .ReadUntilClosed()};
  StartTlsClient c;
  c.m_dwTimeout = 300;
  auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port(), AuthLogin); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Win32(10060));
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(peer.Finish(), "");
}

// With implicit TLS the setting has no effect: the session begins with the handshake.
TEST(StartTls, IgnoredWithImplicitTls) {
  ScriptedPeer peer{PeerScript().ReadAny().Close()};
  StartTlsClient c;
  auto error = SmtpErrorOf([&] { c.Connect("127.0.0.1", AuthLogin, "u", "p", peer.Port(), true); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(545));
  EXPECT_EQ(peer.Finish(), "");
  ASSERT_FALSE(peer.Received().empty());
  EXPECT_EQ(peer.Received()[0], '\x16');
}

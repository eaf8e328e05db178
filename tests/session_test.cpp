// The session against a scripted peer: greeting, HELO or EHLO, QUIT and the close, and
// how each failure reaches the caller.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "errors/message_table.h"
#include "mime/message.h"
#include "platform/error_numbers.h"
#include "tests/support/catch_error.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_client.h"
#include "tests/support/socks_bytes.h"

namespace {

using namespace std::chrono_literals;

// The greeting and HELO of a session with mechanism 0.
PeerScript Helo() {
  return PeerScript().Send("220 hi\r\n").Expect("HELO client\r\n").Send("250 ok\r\n");
}

PeerScript Step(std::string command, std::string reply) {
  return PeerScript().Expect(std::move(command)).Send(std::move(reply) + "\r\n");
}

constexpr std::int32_t ehloWithoutAuth = 99;  // says EHLO and authenticates nothing

const char* const ehloWithAuth = "250-server\r\n250-AUTH LOGIN PLAIN\r\n250 HELP\r\n";

const std::string httpConnect = "CONNECT 127.0.0.1:25 HTTP/1.0\r\n\r\n";

// A proxy kind, and what a scripted proxy of that kind expects and answers until its
// tunnel to 127.0.0.1:25 stands, for a client without proxy credentials.
struct ProxyKind {
  const char* name;
  ProxyType type;
  PeerScript tunnel;
  std::uint32_t tlsFailure;  // the message of a handshake that fails through it
};

std::vector<ProxyKind> ProxyKinds() {
  return {
      {"SOCKS4", ProxySocks4, PeerScript().Expect(socks4Request).Send(socks4Granted), 542},
      {"SOCKS5", ProxySocks5,
       PeerScript()
           .Expect(greetingNoAuth)
           .Send(Bytes({5, 0}))
           .Expect(connectByAddress)
           .Send(replyIPv4),
       543},
      {"HTTP", ProxyHttp, PeerScript().Expect(httpConnect).Send("HTTP/1.0 200 OK\r\n\r\n"), 544},
  };
}

// A client that reaches its server through the proxy of type at port of 127.0.0.1.
struct ProxiedClient : TestClient {
  ProxiedClient(std::int32_t type, std::uint16_t port) {
    m_nProxyType = type;
    m_sProxyServer = "127.0.0.1";
    m_nProxyPort = port;
  }
  void ConnectToTarget(bool ssl) { Connect("127.0.0.1", AuthNone, "user", "secret", 25, ssl); }
};

}  // namespace

TEST(Session, RejectedGreetingRaises512AfterQuitAndClose) {
  ScriptedPeer peer{PeerScript()
                        .Send("554-no service\r\n554 go away\r\n")
                        .Expect("QUIT\r\n")
                        .Send("221 bye\r\n")
                        .ExpectClosed()};
  TestClient c;
  auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port()); });
  ASSERT_TRUE(error);
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(error->m_hrError, Itf(512));
  EXPECT_EQ(error->m_sLastResponseText, "554-no service\r\n554 go away");
  EXPECT_EQ(peer.Finish(), "");
}

// A reply is all the lines that have arrived: a greeting with a 421 behind it in the
// same segment is refused, and an EHLO reply with a blank on every line is one reply,
// after which the transfer stays in step.
TEST(Session, LinesThatArriveTogetherAreOneReply) {
  {
    ScriptedPeer peer{PeerScript().Send("220 hi\r\n421 going down\r\n").Then(Step("QUIT\r\n", "221 bye")).ExpectClosed()};
    TestClient c;
    auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(msgGreeting));
    EXPECT_EQ(error->m_sLastResponseText, "220 hi\r\n421 going down");
    EXPECT_EQ(peer.Finish(), "");
  }
  ScriptedPeer peer{PeerScript()
                        .Send("220 hi\r\n")
                        .Then(Step("EHLO client\r\n", "250 test.local\r\n250 8BITMIME\r\n250 HELP"))
                        .Then(Step("MAIL FROM:<a@example.com>\r\n", "250 ok"))
                        .Then(Step("RCPT TO:<b@example.com>\r\n", "250 ok"))
                        .Then(Step("DATA\r\n", "354 go"))
                        .ReadUntil("\r\n.\r\n")
                        .Send("250 queued\r\n")
                        .Then(Step("QUIT\r\n", "221 bye"))
                        .ExpectClosed()};
  TestClient c;
  c.ConnectTo(peer.Port(), ehloWithoutAuth);
  EXPECT_EQ(c.GetLastReply(), "250 test.local\r\n250 8BITMIME\r\n250 HELP");
  CTAVSMTPMessage m;
  m.from = CTAVSMTPAddress("", "a@example.com");
  m.AppendRecipient(CTAVSMTPAddress("", "b@example.com"), CTAVSMTPMessage::RecipientTo);
  m.SetBody("Hello");
  c.SendMailMessage(m);
  c.Disconnect(true);
  EXPECT_EQ(peer.Finish(), "");
}

TEST(Session, SilentServerRaises512WithNoText) {
  ScriptedPeer peer{PeerScript().Expect("QUIT\r\n").ExpectClosed()};
  TestClient c;
  auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(512));
  EXPECT_EQ(error->m_sLastResponseText, "");
  EXPECT_EQ(peer.Finish(), "");
}

// HELO for mechanism 0; EHLO for any other, and nothing else for codes outside 0-7
// even when the server offers AUTH.
TEST(Session, GreetsWithHeloOnlyWithoutAuthentication) {
  struct Case {
    std::int32_t mechanism;
    const char* greeting;
  };
  for (Case m : {Case{AuthNone, "HELO client\r\n"}, Case{8, "EHLO client\r\n"},
                 Case{1000, "EHLO client\r\n"}, Case{-1, "EHLO client\r\n"}}) {
    SCOPED_TRACE(m.mechanism);
    ScriptedPeer peer{PeerScript()
                          .Send("220 hi\r\n")
                          .Expect(m.greeting)
                          .Send(ehloWithAuth)
                          .Expect("QUIT\r\n")
                          .Send("221 bye\r\n")
                          .ExpectClosed()};
    TestClient c;
    c.ConnectTo(peer.Port(), m.mechanism);
    EXPECT_TRUE(c.m_bConnected);
    c.Disconnect(true);
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(peer.Finish(), "");
  }
}

TEST(Session, RejectedHeloOrEhloRaisesItsMessageAfterQuit) {
  struct Case {
    std::int32_t mechanism;
    const char* greeting;
    HRESULT error;
  };
  for (Case m : {Case{AuthNone, "HELO client\r\n", Itf(517)},
                 Case{AuthLogin, "EHLO client\r\n", Itf(516)}}) {
    SCOPED_TRACE(m.greeting);
    ScriptedPeer peer{PeerScript()
                          .Send("220 hi\r\n")
                          .Expect(m.greeting)
                          .Send("502 not here\r\n")
                          .Expect("QUIT\r\n")
                          .Send("221 bye\r\n")};
    TestClient c;
    auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port(), m.mechanism); });
    ASSERT_TRUE(error);
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(error->m_hrError, m.error);
    EXPECT_EQ(error->m_sLastResponseText, "502 not here");
    EXPECT_EQ(peer.Finish(), "");
  }
}

TEST(Session, QuitNotAnswered221Raises518AfterTheClose) {
  struct Case {
    const char* name;
    PeerScript script;
    const char* text;
  };
  Case cases[] = {
      {"answered 250", Helo().Expect("QUIT\r\n").Send("250 ok\r\n").ExpectClosed(), "250 ok"},
      {"closed instead", Helo().Expect("QUIT\r\n").Send("22").Close(), "22"},
      {"silent", Helo().Expect("QUIT\r\n").ExpectClosed(), ""},
  };
  for (Case& m : cases) {
    SCOPED_TRACE(m.name);
    ScriptedPeer peer{m.script};
    TestClient c;
    c.ConnectTo(peer.Port());
    auto error = SmtpErrorOf([&] { c.Disconnect(true); });
    ASSERT_TRUE(error);
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(error->m_hrError, Itf(518));
    EXPECT_EQ(error->m_sLastResponseText, m.text);
    EXPECT_EQ(peer.Finish(), "");
  }
}

TEST(Session, DisconnectWithoutGraceSendsNothing) {
  ScriptedPeer peer{Helo().ExpectClosed()};
  TestClient c;
  c.ConnectTo(peer.Port());
  c.Disconnect(false);
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(peer.Finish(), "");
}

TEST(Session, DisconnectOfAConnectionNeverEstablishedOnlyCloses) {
  TestClient fresh;
  fresh.Disconnect(true);
  TestClient created;
  created.CreateTransport();
  created.Disconnect(true);
  EXPECT_TRUE(created.Closed());
}

TEST(Session, DestructionSaysQuit) {
  ScriptedPeer peer{Helo().Expect("QUIT\r\n").Send("221 bye\r\n").ExpectClosed()};
  {
    TestClient c;
    c.ConnectTo(peer.Port());
  }
  EXPECT_EQ(peer.Finish(), "");
}

TEST(Session, RefusedConnectArrivesInTheWin32Facility) {
  TestClient c;
  auto error = SmtpErrorOf([&] { c.ConnectTo(FreePort()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, static_cast<HRESULT>(0x8007274D));
  EXPECT_EQ(error->m_sLastResponseText, "");
  EXPECT_TRUE(c.Closed());
}

TEST(Session, BindsToTheBoundAddressFirst) {
  ScriptedPeer peer{Helo()};
  TestClient c;
  c.m_sBoundAddress = "127.0.0.1";
  c.ConnectTo(peer.Port());
  c.Disconnect(false);
  EXPECT_EQ(peer.Finish(), "");

  TestClient elsewhere;
  elsewhere.m_sBoundAddress = "192.0.2.1";  // not an address of this host
  auto error = SmtpErrorOf([&] { elsewhere.ConnectTo(peer.Port()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Win32(10049));
  EXPECT_TRUE(elsewhere.Closed());
}

// A proxy type the connection does not know makes no connection at all, neither to the
// server nor to the proxy: the greeting then waits its time and fails with no text.
TEST(Session, UnknownProxyTypeConnectsNowhereAndTheGreetingFails) {
  for (bool ssl : {false, true}) {
    SCOPED_TRACE(ssl ? "TLS" : "plain");
    ScriptedPeer server{PeerScript(), 300ms};
    ScriptedPeer proxy{PeerScript(), 300ms};
    TestClient c;
    c.m_nProxyType = 4;
    c.m_sProxyServer = "127.0.0.1";
    c.m_nProxyPort = proxy.Port();
    auto error = SmtpErrorOf(
        [&] { c.Connect("127.0.0.1", AuthNone, "user", "secret", server.Port(), ssl); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(512));
    EXPECT_EQ(error->m_sLastResponseText, "");
    EXPECT_EQ(server.Finish(), "no connection arrived");
    EXPECT_EQ(proxy.Finish(), "no connection arrived");
  }
}

// A line break in the name would let it add a command of its own; a name that makes
// the HELO line pass 512 octets with its CR LF is refused too, one that makes it 512
// goes out.
TEST(Session, HeloNameWithALineBreakOrTooLongIsRefusedBeforeConnecting) {
  ScriptedPeer peer{PeerScript(), 300ms};
  const std::string names[] = {"client\r\nRSET", "client\nx", "client\r", std::string(506, 'h')};
  for (const std::string& name : names) {
    TestClient c;
    c.SetHeloHostname(name.c_str());
    auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Win32(87));
  }
  EXPECT_EQ(peer.Finish(), "no connection arrived");

  const std::string longest(505, 'h');
  ScriptedPeer accepting{PeerScript().Send("220 hi\r\n").Expect("HELO " + longest + "\r\n")
                             .Send("250 ok\r\n").Expect("QUIT\r\n").Send("221 bye\r\n")
                             .ExpectClosed()};
  TestClient c;
  c.SetHeloHostname(longest.c_str());
  c.ConnectTo(accepting.Port());
  c.Disconnect(true);
  EXPECT_EQ(accepting.Finish(), "");
}

// Without a proxy user name no credentials go out, whatever the password: SOCKS5 offers
// "no authentication" alone, the HTTP request has no Proxy-authorization line and,
// without a user agent, no User-Agent line.
TEST(SessionThroughProxy, EmptyProxyUserSendsNoCredentials) {
  for (const ProxyKind& kind : ProxyKinds()) {
    SCOPED_TRACE(kind.name);
    ScriptedPeer proxy{PeerScript(kind.tunnel).Then(Helo())};
    ProxiedClient c(kind.type, proxy.Port());
    c.m_sProxyPassword = "secret";
    c.ConnectToTarget(false);
    c.Disconnect(false);
    EXPECT_EQ(proxy.Finish(), "");
  }
  ScriptedPeer proxy{PeerScript()
                         .Expect("CONNECT 127.0.0.1:25 HTTP/1.0\r\nUser-Agent: agent\r\n\r\n")
                         .Send("HTTP/1.0 200 OK\r\n\r\n")
                         .Then(Helo())};
  ProxiedClient c(ProxyHttp, proxy.Port());
  c.m_sUserAgent = "agent";
  c.ConnectToTarget(false);
  c.Disconnect(false);
  EXPECT_EQ(proxy.Finish(), "");
}

// Whatever breaks the tunnel reaches Connect's caller as its number in facility 7,
// with no text and the socket closed, plain and TLS alike.
TEST(SessionThroughProxy, TunnelFailuresReachTheCallerInTheWin32Facility) {
  struct Case {
    const char* what;
    std::int32_t type;
    const char* user;
    PeerScript script;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"SOCKS4 request rejected", ProxySocks4, "",
       PeerScript().Expect(socks4Request).Send(Bytes({0, 91, 0, 0, 0, 0, 0, 0})).ExpectClosed(),
       ERROR_BAD_NET_RESP},
      {"SOCKS5 password rejected", ProxySocks5, "user",
       PeerScript()
           .Expect(greetingWithAuth)
           .Send(Bytes({5, 2}))
           .Expect(UserPasswordRequest("user", "wrong"))
           .Send(Bytes({1, 1}))
           .ExpectClosed(),
       ERROR_ACCESS_DENIED},
      {"HTTP status 403", ProxyHttp, "",
       PeerScript().Expect(httpConnect).Send("HTTP/1.0 403 Forbidden\r\n\r\n").ExpectClosed(),
       ERROR_CONNECTION_REFUSED},
      {"HTTP proxy silent", ProxyHttp, "", PeerScript().Expect(httpConnect).ExpectClosed(),
       WSAETIMEDOUT},
      {"SOCKS5 proxy closes mid-reply", ProxySocks5, "",
       PeerScript()
           .Expect(greetingNoAuth)
           .Send(Bytes({5, 0}))
           .Expect(connectByAddress)
           .Send(Bytes({5, 0, 0}))
           .Close(),
       WSAECONNRESET},
  };
  for (bool ssl : {false, true}) {
    for (const Case& t : cases) {
      SCOPED_TRACE(std::string(t.what) + (ssl ? ", TLS" : ", plain"));
      ScriptedPeer proxy{t.script};
      ProxiedClient c(t.type, proxy.Port());
      c.m_sProxyUserName = t.user;
      c.m_sProxyPassword = "wrong";
      auto error = SmtpErrorOf([&] { c.ConnectToTarget(ssl); });
      ASSERT_TRUE(error);
      EXPECT_EQ(error->m_hrError, Win32(t.error));
      EXPECT_EQ(error->m_sLastResponseText, "");
      EXPECT_TRUE(c.Closed());
      EXPECT_EQ(proxy.Finish(), "");
    }
  }
}

// A target behind the tunnel that does not speak TLS fails the handshake with the
// message of the proxy kind, and the transport is closed.
TEST(SessionThroughProxy, FailedHandshakeThroughEachKindRaisesItsMessage) {
  for (const ProxyKind& kind : ProxyKinds()) {
    SCOPED_TRACE(kind.name);
    ScriptedPeer proxy{
        PeerScript(kind.tunnel).ReadAny().Send("220 plain ESMTP\r\n").ReadUntilClosed()};
    ProxiedClient c(kind.type, proxy.Port());
    auto error = SmtpErrorOf([&] { c.ConnectToTarget(true); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(kind.tlsFailure));
    EXPECT_TRUE(error->m_sLastResponseText.ends_with("\r\n")) << error->m_sLastResponseText;
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(proxy.Finish(), "");
  }
}

// A port that does not fit in 16 bits would reach another one (70000 is 4464): it is
// refused before a connection is made, and so is such a proxy port.
TEST(Session, PortOutside1To65535IsRefusedBeforeConnecting) {
  ScriptedPeer peer{PeerScript().ExpectClosed(), 300ms};
  for (std::int32_t port : {0, -1, 65536, 65536 + peer.Port()}) {
    TestClient c;
    auto error = SmtpErrorOf([&] { c.Connect("127.0.0.1", AuthNone, "", "", port, false); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Win32(87)) << port;
    EXPECT_EQ(c.m_socket.GetSocketHandle(), INVALID_SOCKET);
  }
  TestClient proxied;
  proxied.m_nProxyType = ProxySocks5;
  proxied.m_sProxyServer = "127.0.0.1";
  proxied.m_nProxyPort = 65536 + peer.Port();
  auto error = SmtpErrorOf([&] { proxied.ConnectTo(peer.Port()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Win32(87));
  EXPECT_EQ(peer.Finish(), "no connection arrived");
}

// The tunnels through real proxies (microsocks, dante-server, tinyproxy), plain to a
// scripted target and over TLS to a real TLS server, all on 127.0.0.1.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/error_numbers.h"
#include "net/socket.h"
#include "smtp/connection.h"
#include "tests/support/catch_error.h"
#include "tests/support/proxies.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/tls_server.h"

namespace {

constexpr std::uint32_t timeout = 5000;
const std::string greeting = "220 target ready\r\n";

std::string ReceiveLine(CWSocket& s) {
  std::string got;
  while (!got.ends_with("\r\n") && s.IsReadable(timeout)) {
    char buffer[64];
    int n = s.Receive(buffer, static_cast<int>(sizeof buffer), 0);
    if (n == 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

using Tunnel = std::function<void(CWSocket&, const char* host, std::uint16_t port)>;

// Opens the tunnel to a scripted target, then checks that its greeting arrives whole
// and that bytes pass both ways.
void ExpectConversationThrough(const Tunnel& tunnel, const char* targetHost) {
  ScriptedPeer target{PeerScript().Send(greeting).Expect("PING\r\n").Send("PONG\r\n")};
  CWSocket s;
  s.Create();
  tunnel(s, targetHost, target.Port());
  EXPECT_EQ(ReceiveLine(s), greeting);
  s.SendAll("PING\r\n", 6);
  EXPECT_EQ(ReceiveLine(s), "PONG\r\n");
  s.Close();
  EXPECT_EQ(target.Finish(), "");
}

// Over TLS through the proxy to the TLS echo server named "localhost".
using TlsTunnel = std::function<void(CTAVSMTPConnection&, std::uint16_t port)>;

void ExpectTlsConversationThrough(const TlsTunnel& tunnel) {
  IgnoreSigpipe();
  TlsEchoServer server;
  CTAVSMTPConnection c;
  c.m_bSSL = true;
  c.CreateTransport();
  tunnel(c, server.Port());
  std::string got;
  auto receiveLine = [&] {
    got.clear();
    while (!got.ends_with("\r\n") && c.TransportIsReadable(timeout)) {
      char buffer[64];
      int n = c.TransportReceive(buffer, static_cast<int>(sizeof buffer));
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  };
  EXPECT_EQ(receiveLine(), "220 sni=localhost\r\n");
  c.TransportSend("PING\r\n", 6);
  EXPECT_EQ(receiveLine(), "PING\r\n");
  c.TransportClose();
}

}  // namespace

TEST(Microsocks, Socks5WithoutAuthentication) {
  MicrosocksProxy proxy;
  for (const char* target : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(target);
    ExpectConversationThrough(
        [&](CWSocket& s, const char* host, std::uint16_t port) {
          s.ConnectThroughSocks5(host, port, "127.0.0.1", proxy.Port(), nullptr, nullptr, timeout);
        },
        target);
  }
}

TEST(Microsocks, Socks5WithUserNameAndPassword) {
  MicrosocksProxy proxy("mailer", "s3cret");
  ExpectConversationThrough(
      [&](CWSocket& s, const char* host, std::uint16_t port) {
        s.ConnectThroughSocks5(host, port, "127.0.0.1", proxy.Port(), "mailer", "s3cret", timeout);
      },
      "localhost");
}

TEST(Microsocks, RejectionsAsNumbers) {
  MicrosocksProxy proxy("mailer", "s3cret");
  struct Case {
    const char* what;
    const char* user;
    const char* password;
    int expected;
  };
  // microsocks answers a wrong pair with status 2, and a greeting without method 2 with
  // method 255.
  const Case cases[] = {
      {"wrong password", "mailer", "wrong", ERROR_ACCESS_DENIED},
      {"no user name offered", nullptr, nullptr, WSAECONNREFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CWSocket s;
    s.Create();
    EXPECT_EQ(SocketErrorOf([&] {
                s.ConnectThroughSocks5("127.0.0.1", 25, "127.0.0.1", proxy.Port(), c.user,
                                       c.password, timeout);
              }),
              c.expected);
    EXPECT_EQ(s.GetSocketHandle(), INVALID_SOCKET);
  }
}

TEST(Dante, Socks4AndSocks5) {
  DanteProxy proxy;
  ExpectConversationThrough(
      [&](CWSocket& s, const char* host, std::uint16_t port) {
        s.ConnectThroughSocks4(host, port, "127.0.0.1", proxy.Port(), timeout);
      },
      "localhost");
  for (const char* target : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(target);
    ExpectConversationThrough(
        [&](CWSocket& s, const char* host, std::uint16_t port) {
          s.ConnectThroughSocks5(host, port, "127.0.0.1", proxy.Port(), nullptr, nullptr, timeout);
        },
        target);
  }
  // Offered user name authentication, dante chooses method 0 and no pair is sent.
  ExpectConversationThrough(
      [&](CWSocket& s, const char* host, std::uint16_t port) {
        s.ConnectThroughSocks5(host, port, "127.0.0.1", proxy.Port(), "user", "pw", timeout);
      },
      "127.0.0.1");
}

TEST(Dante, RefusalsAsNumbers) {
  DanteProxy proxy;
  // Its rules allow only 127.0.0.0/8: SOCKS4 answers 91. A name it cannot resolve
  // gets SOCKS5 status 4 with an address of type 3.
  CWSocket s;
  s.Create();
  EXPECT_EQ(SocketErrorOf([&] {
              s.ConnectThroughSocks4("192.0.2.1", 25, "127.0.0.1", proxy.Port(), timeout);
            }),
            ERROR_BAD_NET_RESP);
  s.Create();
  EXPECT_EQ(SocketErrorOf([&] {
              s.ConnectThroughSocks5("no..such..host", 25, "127.0.0.1", proxy.Port(), nullptr,
                                     nullptr, timeout);
            }),
            ERROR_BAD_NET_RESP);
  EXPECT_EQ(s.GetSocketHandle(), INVALID_SOCKET);
}

TEST(Tinyproxy, HttpConnectWithBasicAuthorisation) {
  TinyProxy proxy("mailer", "s3cret");
  std::string reply;
  ExpectConversationThrough(
      [&](CWSocket& s, const char* host, std::uint16_t port) {
        s.ConnectThroughHttpProxy(host, port, "127.0.0.1", proxy.Port(), reply, "mailer",
                                  "s3cret", timeout, "e-mailer");
      },
      "127.0.0.1");
  EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 Connection established\r\n")) << reply;
}

TEST(Tinyproxy, RefusalsAre1225) {
  TinyProxy proxy("mailer", "s3cret");
  struct Case {
    const char* password;
    const char* statusLine;
  };
  // tinyproxy answers a wrong pair with 401, a request without one with 407.
  const Case cases[] = {
      {"wrong", "HTTP/1.0 401 Unauthorized\r\n"},
      {nullptr, "HTTP/1.0 407 Proxy Authentication Required\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statusLine);
    CWSocket s;
    s.Create();
    std::string reply;
    EXPECT_EQ(SocketErrorOf([&] {
                s.ConnectThroughHttpProxy("127.0.0.1", 25, "127.0.0.1", proxy.Port(), reply,
                                          c.password != nullptr ? "mailer" : nullptr, c.password,
                                          timeout, nullptr);
              }),
              ERROR_CONNECTION_REFUSED);
    EXPECT_TRUE(reply.starts_with(c.statusLine)) << reply;
    EXPECT_EQ(s.GetSocketHandle(), INVALID_SOCKET);
  }
}

TEST(TlsThroughProxies, Socks4ViaDante) {
  DanteProxy proxy;
  ExpectTlsConversationThrough([&](CTAVSMTPConnection& c, std::uint16_t port) {
    c.TransportConnectSocks4("localhost", port, "127.0.0.1", proxy.Port(), timeout);
  });
}

TEST(TlsThroughProxies, Socks5ViaMicrosocksWithAuthentication) {
  MicrosocksProxy proxy("mailer", "s3cret");
  ExpectTlsConversationThrough([&](CTAVSMTPConnection& c, std::uint16_t port) {
    c.TransportConnectSocks5("localhost", port, "127.0.0.1", proxy.Port(), "mailer", "s3cret",
                             timeout);
  });
}

TEST(TlsThroughProxies, Socks5ViaDante) {
  DanteProxy proxy;
  ExpectTlsConversationThrough([&](CTAVSMTPConnection& c, std::uint16_t port) {
    c.TransportConnectSocks5("localhost", port, "127.0.0.1", proxy.Port(), nullptr, nullptr,
                             timeout);
  });
}

TEST(TlsThroughProxies, HttpConnectViaTinyproxy) {
  TinyProxy proxy("mailer", "s3cret");
  ExpectTlsConversationThrough([&](CTAVSMTPConnection& c, std::uint16_t port) {
    std::string reply;
    c.TransportConnectHttpProxy("localhost", port, "127.0.0.1", proxy.Port(), reply, "mailer",
                                "s3cret", timeout, nullptr);
  });
}

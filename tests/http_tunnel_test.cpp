// The HTTP CONNECT tunnel against a scripted proxy that checks every byte.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "platform/error_numbers.h"
#include "net/socket.h"
#include "tests/support/catch_error.h"
#include "tests/support/scripted_peer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t timeout = 5000;
constexpr std::uint32_t shortTimeout = 200;
const std::string greeting = "220 mail.example.com ESMTP\r\n";
const std::string plainRequest = "CONNECT mail.example.com:25 HTTP/1.0\r\n\r\n";
const std::string established = "HTTP/1.0 200 Connection established\r\n\r\n";

std::string ReadGreeting(CWSocket& s) {
  std::string got;
  while (got.size() < greeting.size() && s.IsReadable(timeout)) {
    char buffer[64];
    int n = s.Receive(buffer, static_cast<int>(sizeof buffer), 0);
    if (n == 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

struct Tunnel {
  ScriptedPeer proxy;
  CWSocket socket;
  std::string reply;
  explicit Tunnel(PeerScript script) : proxy(std::move(script)) { socket.Create(); }

  void Connect(const char* user = nullptr, const char* password = nullptr,
               const char* userAgent = nullptr, std::uint32_t wait = timeout) {
    socket.ConnectThroughHttpProxy("mail.example.com", 25, "127.0.0.1", proxy.Port(), reply,
                                   user, password, wait, userAgent);
  }

  // The tunnel stands with the proxy's reply expected, the target's greeting is there
  // whole, and the proxy's script ran.
  void ExpectEstablished(const std::string& expected) {
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(ReadGreeting(socket), greeting);
    socket.Close();
    EXPECT_EQ(proxy.Finish(), "");
  }
};

}  // namespace

TEST(HttpTunnel, RequestLinesExactly) {
  const std::string longUser(100, 'u');
  // "uuu" is "dXV1"; the last group "u:p" is "dTpw": 136 characters, no line break.
  std::string longEncoded;
  for (int i = 0; i < 33; ++i) longEncoded += "dXV1";
  longEncoded += "dTpw";
  struct Case {
    const char* what;
    const char* user;
    const char* password;
    const char* userAgent;
    std::string request;
  };
  const Case cases[] = {
      {"no credentials, no user agent", nullptr, nullptr, nullptr, plainRequest},
      {"credentials, no user agent: three lines, the last empty", "user", "secret", nullptr,
       "CONNECT mail.example.com:25 HTTP/1.0\r\n"
       "Proxy-authorization: Basic dXNlcjpzZWNyZXQ=\r\n"
       "\r\n"},
      {"user agent only", nullptr, nullptr, "e-mailer/1.0",
       "CONNECT mail.example.com:25 HTTP/1.0\r\nUser-Agent: e-mailer/1.0\r\n\r\n"},
      {"credentials and user agent", "ab", "c", "agent",
       "CONNECT mail.example.com:25 HTTP/1.0\r\n"
       "Proxy-authorization: Basic YWI6Yw==\r\n"
       "User-Agent: agent\r\n"
       "\r\n"},
      {"null password counts as empty", "user", nullptr, nullptr,
       "CONNECT mail.example.com:25 HTTP/1.0\r\nProxy-authorization: Basic dXNlcjo=\r\n\r\n"},
      {"long credentials stay on one line", longUser.c_str(), "p", nullptr,
       "CONNECT mail.example.com:25 HTTP/1.0\r\nProxy-authorization: Basic " + longEncoded +
           "\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tunnel t{PeerScript().Expect(c.request).Send(established + greeting)};
    t.Connect(c.user, c.password, c.userAgent);
    t.ExpectEstablished(established);
  }
}

TEST(HttpTunnel, RepliesThatEstablishTheTunnel) {
  const std::string maxHeader =
      "HTTP/1.1 200 OK\r\nX: " + std::string(64 * 1024 - 24, 'x') + "\r\n\r\n";
  ASSERT_EQ(maxHeader.size(), 64u * 1024);
  const std::string replies[] = {
      established,
      "HTTP/1.1 200 OK\r\nProxy-agent: test\r\n\r\n",
      "NOSPACE\r\n\r\n",                // no status to examine
      "HTTP/1.1  +200x\r\n\r\n",        // read as atoi would
      maxHeader,                        // exactly the 64 KiB a header may have
  };
  for (const std::string& reply : replies) {
    SCOPED_TRACE(reply.substr(0, 40));
    Tunnel t{PeerScript().Expect(plainRequest).Send(reply + greeting)};
    t.Connect();
    t.ExpectEstablished(reply);
  }
}

TEST(HttpTunnel, ReplyArrivingOneByteAtATimeLeavesTheGreetingUnread) {
  Tunnel t{PeerScript().Expect(plainRequest).SendSplit(established + "2", 1).Send(greeting.substr(1))};
  t.Connect();
  t.ExpectEstablished(established);
}

TEST(HttpTunnel, FailuresCloseTheSocket) {
  struct Case {
    const char* what;
    PeerScript script;
    int expected;
  };
  const Case cases[] = {
      {"status 407",
       PeerScript()
           .Expect(plainRequest)
           .Send("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n")
           .ExpectClosed(),
       ERROR_CONNECTION_REFUSED},
      {"status 403 over version 1.0",
       PeerScript().Expect(plainRequest).Send("HTTP/1.0 403 Forbidden\r\n\r\n").ExpectClosed(),
       ERROR_CONNECTION_REFUSED},
      {"no digits after the space",
       PeerScript().Expect(plainRequest).Send("HTTP/1.0 OK\r\n\r\n").ExpectClosed(),
       ERROR_CONNECTION_REFUSED},
      {"proxy closes mid-reply",
       PeerScript().Expect(plainRequest).Send("HTTP/1.0 200 Connection est").Close(),
       WSAECONNRESET},
      {"header past 64 KiB",
       PeerScript().Expect(plainRequest).Send("HTTP/1.0 200 OK\r\n" + std::string(64 * 1024, 'x'))
           .ExpectClosed(),
       WSAECONNRESET},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tunnel t{c.script};
    EXPECT_EQ(SocketErrorOf([&] { t.Connect(); }), c.expected);
    EXPECT_EQ(t.socket.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_EQ(t.proxy.Finish(), "");
  }
}

TEST(HttpTunnel, SilentProxyTimesOutAfterOneWait) {
  Tunnel t{PeerScript().Expect(plainRequest).ExpectClosed()};
  Clock::time_point start = Clock::now();
  EXPECT_EQ(SocketErrorOf([&] { t.Connect(nullptr, nullptr, nullptr, shortTimeout); }),
            WSAETIMEDOUT);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(shortTimeout));
  EXPECT_LT(waited, 3s);
  EXPECT_EQ(t.socket.GetSocketHandle(), INVALID_SOCKET);
  EXPECT_EQ(t.proxy.Finish(), "");
}

// The colons of an IPv6 literal would run into the port's: it is bracketed once.
TEST(HttpTunnel, IPv6TargetIsBracketed) {
  for (const char* target : {"::1", "[::1]"}) {
    Tunnel t{PeerScript().Expect("CONNECT [::1]:587 HTTP/1.0\r\n\r\n").Send(established + greeting)};
    t.socket.ConnectThroughHttpProxy(target, 587, "127.0.0.1", t.proxy.Port(), t.reply, nullptr,
                                     nullptr, timeout, nullptr);
    EXPECT_EQ(ReadGreeting(t.socket), greeting);
    EXPECT_EQ(t.proxy.Finish(), "") << target;
  }
}

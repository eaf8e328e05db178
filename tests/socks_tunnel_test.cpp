// The SOCKS4 and SOCKS5 tunnels against a scripted proxy that checks every byte.
#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/error_numbers.h"
#include "net/socket.h"
#include "tests/support/catch_error.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/socks_bytes.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t timeout = 5000;
constexpr std::uint32_t shortTimeout = 200;
const std::string greeting = "220 mail.example.com ESMTP\r\n";

// After a tunnel stands, every byte of the target's greeting is still there to read.
void ExpectGreeting(CWSocket& s) {
  std::string got;
  while (got.size() < greeting.size()) {
    ASSERT_TRUE(s.IsReadable(timeout));
    char buffer[64];
    int n = s.Receive(buffer, static_cast<int>(sizeof buffer), 0);
    ASSERT_GT(n, 0) << "closed after \"" << got << "\"";
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, greeting);
}

// A scripted proxy and the socket that tunnels through it.
struct Tunnel {
  ScriptedPeer proxy;
  CWSocket socket;
  explicit Tunnel(PeerScript script) : proxy(std::move(script)) { socket.Create(); }

  // The tunnel stands: the target's greeting is there whole, and the proxy's script ran.
  void ExpectEstablished() {
    ExpectGreeting(socket);
    socket.Close();
    EXPECT_EQ(proxy.Finish(), "");
  }

  // open raised expected and closed the socket, and the proxy's script ran.
  void ExpectFailure(int expected, const std::function<void()>& open) {
    EXPECT_EQ(SocketErrorOf(open), expected);
    EXPECT_EQ(socket.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_EQ(proxy.Finish(), "");
  }
};

}  // namespace

TEST(Socks4Tunnel, SendsNineBytesAndLeavesTheGreetingUnread) {
  for (const char* target : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(target);
    Tunnel t{PeerScript().Expect(socks4Request).Send(socks4Granted + greeting)};
    t.socket.ConnectThroughSocks4(target, 25, "127.0.0.1", t.proxy.Port(), timeout);
    t.ExpectEstablished();
  }
}

TEST(Socks4Tunnel, ReplyArrivingOneByteAtATimeIsGathered) {
  Tunnel t{PeerScript().Expect(socks4Request).SendSplit(socks4Granted, 1).Send(greeting)};
  t.socket.ConnectThroughSocks4("127.0.0.1", 25, "127.0.0.1", t.proxy.Port(), timeout);
  t.ExpectEstablished();
}

TEST(Socks4Tunnel, FailuresCloseTheSocket) {
  struct Case {
    const char* what;
    const char* target;
    PeerScript script;
    std::uint32_t timeout;
    int expected;
  };
  const Case cases[] = {
      {"request rejected (91)", "127.0.0.1",
       PeerScript().Expect(socks4Request).Send(Bytes({0, 91, 0, 0, 0, 0, 0, 0})).ExpectClosed(),
       timeout, ERROR_BAD_NET_RESP},
      {"reply version not 0", "127.0.0.1",
       PeerScript().Expect(socks4Request).Send(Bytes({4, 90, 0, 0, 0, 0, 0, 0})).ExpectClosed(),
       timeout, ERROR_BAD_NET_RESP},
      {"proxy closes mid-reply", "127.0.0.1",
       PeerScript().Expect(socks4Request).Send(Bytes({0, 90, 0})).Close(), timeout,
       WSAECONNRESET},
      {"proxy is silent", "127.0.0.1", PeerScript().Expect(socks4Request).ExpectClosed(),
       shortTimeout, WSAETIMEDOUT},
      {"target cannot be resolved", "no..such..host", PeerScript().ExpectClosed(), timeout,
       11001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tunnel t{c.script};
    t.ExpectFailure(c.expected, [&] {
      t.socket.ConnectThroughSocks4(c.target, 25, "127.0.0.1", t.proxy.Port(), c.timeout);
    });
  }
}

TEST(Socks4Tunnel, UnreachableProxyLeavesTheSocketOpen) {
  CWSocket s;
  SOCKET handle = s.Create();
  EXPECT_EQ(SocketErrorOf([&] {
              s.ConnectThroughSocks4("127.0.0.1", 25, "no..such..host", 1080, timeout);
            }),
            11001);
  EXPECT_EQ(s.GetSocketHandle(), handle);
}

TEST(Socks5Tunnel, SuccessfulExchangesSendExactlyTheseBytes) {
  const std::string user255(255, 'u');
  struct Case {
    const char* what;
    const char* target;
    const char* user;
    const char* password;
    PeerScript script;
  };
  const Case cases[] = {
      {"no user name, target by address", "127.0.0.1", nullptr, nullptr,
       PeerScript().Expect(greetingNoAuth).Send(Bytes({5, 0})).Expect(connectByAddress)},
      {"user name and password, target by name", "mail.example.com", "user", "secret",
       PeerScript()
           .Expect(greetingWithAuth)
           .Send(Bytes({5, 2}))
           .Expect(UserPasswordRequest("user", "secret"))
           .Send(Bytes({1, 0}))
           .Expect(ConnectByName("mail.example.com"))},
      {"method 0 to the 4-byte greeting skips authentication", "127.0.0.1", "user", "secret",
       PeerScript().Expect(greetingWithAuth).Send(Bytes({5, 0})).Expect(connectByAddress)},
      {"255-byte user name and a null password", "127.0.0.1", user255.c_str(), nullptr,
       PeerScript()
           .Expect(greetingWithAuth)
           .Send(Bytes({5, 2}))
           .Expect(UserPasswordRequest(user255, ""))
           .Send(Bytes({1, 0}))
           .Expect(connectByAddress)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tunnel t{PeerScript(c.script).Send(replyIPv4 + greeting)};
    t.socket.ConnectThroughSocks5(c.target, 25, "127.0.0.1", t.proxy.Port(), c.user, c.password,
                                  timeout);
    t.ExpectEstablished();
  }
}

TEST(Socks5Tunnel, NameOfNineBytesArrivingOneByteAtATimeCompletesAfterSixteen) {
  const std::string reply = Bytes({5, 0, 0, 3, 9}) + "proxy.lan" + Bytes({0x04, 0x38});
  ASSERT_EQ(reply.size(), 16u);
  Tunnel t{PeerScript()
               .Expect(greetingNoAuth)
               .Send(Bytes({5, 0}))
               .Expect(ConnectByName("localhost", 587))
               .SendSplit(reply + greeting.substr(0, 1), 1)
               .Send(greeting.substr(1))};
  t.socket.ConnectThroughSocks5("localhost", 587, "127.0.0.1", t.proxy.Port(), nullptr, nullptr,
                                timeout);
  t.ExpectEstablished();
}

TEST(Socks5Tunnel, FailuresCloseTheSocket) {
  const std::string user256(256, 'u');
  const std::string name256(256, 'n');
  const std::string name255(255, 'n');
  struct Case {
    const char* what;
    const char* target;
    const char* user;
    const char* password;
    PeerScript script;
    std::uint32_t timeout;
    int expected;
  };
  const auto authOffered = [] { return PeerScript().Expect(greetingWithAuth).Send(Bytes({5, 2})); };
  const auto noAuth = [] { return PeerScript().Expect(greetingNoAuth).Send(Bytes({5, 0})); };
  const Case cases[] = {
      {"256-byte user name, nothing more sent", "127.0.0.1", user256.c_str(), "p",
       authOffered().ExpectClosed(), timeout, ERROR_INVALID_PARAMETER},
      {"256-byte password, nothing more sent", "127.0.0.1", "user", user256.c_str(),
       authOffered().ExpectClosed(), timeout, ERROR_INVALID_PARAMETER},
      {"256-byte target name, nothing more sent", name256.c_str(), nullptr, nullptr,
       noAuth().ExpectClosed(), timeout, ERROR_INVALID_PARAMETER},
      {"password rejected", "127.0.0.1", "user", "wrong",
       authOffered().Expect(UserPasswordRequest("user", "wrong")).Send(Bytes({1, 1})).ExpectClosed(),
       timeout, ERROR_ACCESS_DENIED},
      {"no acceptable method (255)", "127.0.0.1", "user", "secret",
       PeerScript().Expect(greetingWithAuth).Send(Bytes({5, 255})).ExpectClosed(), timeout,
       WSAECONNREFUSED},
      {"method 2 chosen though not offered", "127.0.0.1", nullptr, nullptr,
       PeerScript().Expect(greetingNoAuth).Send(Bytes({5, 2})).ExpectClosed(), timeout,
       WSAECONNREFUSED},
      {"reply address type 5", "127.0.0.1", nullptr, nullptr,
       noAuth().Expect(connectByAddress).Send(Bytes({5, 0, 0, 5})).ExpectClosed(), timeout,
       ERROR_INVALID_PARAMETER},
      {"reply status 5 (refused)", name255.c_str(), nullptr, nullptr,
       noAuth().Expect(ConnectByName(name255)).Send(Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})).ExpectClosed(),
       timeout, ERROR_BAD_NET_RESP},
      {"proxy closes mid-reply", "127.0.0.1", nullptr, nullptr,
       noAuth().Expect(connectByAddress).Send(Bytes({5, 0, 0, 3, 9, 'p'})).Close(), timeout,
       WSAECONNRESET},
      {"proxy silent after the greeting", "127.0.0.1", nullptr, nullptr,
       PeerScript().Expect(greetingNoAuth).ExpectClosed(), shortTimeout, WSAETIMEDOUT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tunnel t{c.script};
    t.ExpectFailure(c.expected, [&] {
      t.socket.ConnectThroughSocks5(c.target, 25, "127.0.0.1", t.proxy.Port(), c.user, c.password,
                                    c.timeout);
    });
  }
}

// An IPv6 literal goes out as address type 4 with its 16 bytes, bracketed or not, and
// a reply naming an IPv6 address (22 bytes) leaves the greeting unread; SOCKS4 has no
// IPv6 and refuses before sending anything.
TEST(Socks5Tunnel, IPv6TargetIsAddressType4) {
  const std::string connectIPv6 =
      Bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 25});
  const std::string replyIPv6 =
      Bytes({5, 0, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0x04, 0x38});
  for (const char* target : {"::1", "[::1]"}) {
    Tunnel t{PeerScript().Expect(greetingNoAuth).Send(Bytes({5, 0})).Expect(connectIPv6).Send(
        replyIPv6 + greeting)};
    t.socket.ConnectThroughSocks5(target, 25, "127.0.0.1", t.proxy.Port(), nullptr, nullptr,
                                  timeout);
    ExpectGreeting(t.socket);
    EXPECT_EQ(t.proxy.Finish(), "") << target;
  }
  Tunnel socks4{PeerScript().ExpectClosed()};
  EXPECT_EQ(SocketErrorOf([&] {
              socks4.socket.ConnectThroughSocks4("::1", 25, "127.0.0.1", socks4.proxy.Port(),
                                                 timeout);
            }),
            WSAEAFNOSUPPORT);
  EXPECT_EQ(socks4.proxy.Finish(), "");
}

#include "net/socket.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/error_numbers.h"
#include "tests/support/catch_error.h"
#include "tests/support/peer_socket.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A name the resolver rejects on its own (an empty label), so no query leaves the host.
constexpr const char* unresolvableName = "no..such..host";

std::string ReceiveExactly(CWSocket& s, std::size_t count) {
  std::string got(count, '\0');
  for (std::size_t have = 0; have < count;) {
    int n = s.Receive(got.data() + have, static_cast<int>(count - have), 0);
    if (n == 0) return got.substr(0, have);
    have += static_cast<std::size_t>(n);
  }
  return got;
}

peer_socket::Handle HandleOf(CWSocket& s) {
  return static_cast<peer_socket::Handle>(s.GetSocketHandle());
}

// A listener whose one-place backlog is taken: the kernel drops every further SYN, so
// a connect to it waits for an answer that never comes.
class FullListener {
 public:
  FullListener() {
    listener.Create();
    listener.Bind(0, "127.0.0.1");
    port = peer_socket::LocalPort(HandleOf(listener));
    peer_socket::StartListening(HandleOf(listener), 0);
    waiting.Create();
    waiting.Connect("127.0.0.1", port);
  }

  std::uint16_t port = 0;

 private:
  CWSocket listener;
  CWSocket waiting;
};

}  // namespace

TEST(CWSocket, CloseGivesMinusOneWhenNothingIsOpen) {
  CWSocket s;
  EXPECT_EQ(s.Close(), -1);
  s.Create();
  EXPECT_NE(s.GetSocketHandle(), INVALID_SOCKET);
  EXPECT_EQ(s.Close(), 0);
  EXPECT_EQ(s.GetSocketHandle(), INVALID_SOCKET);
  EXPECT_EQ(s.Close(), -1);
}

TEST(CWSocket, CreateSetsNoDelayAndClosesAnEarlierSocket) {
  CWSocket s;
  s.Create();
  EXPECT_TRUE(peer_socket::NoDelayIsSet(HandleOf(s)));

  std::size_t before = peer_socket::OpenDescriptorCount();
  s.Create();
  EXPECT_EQ(peer_socket::OpenDescriptorCount(), before);
}

TEST(CWSocket, BindWithoutAddressTakesAnyAddressAndASystemPort) {
  CWSocket s;
  s.Create();
  s.Bind(0, nullptr);
  EXPECT_EQ(peer_socket::LocalIPv4Address(HandleOf(s)), "0.0.0.0");
  EXPECT_NE(peer_socket::LocalPort(HandleOf(s)), 0);
}

TEST(CWSocket, BindByNameResolvesIt) {
  CWSocket s;
  s.Create();
  s.Bind(0, "localhost");
  EXPECT_EQ(peer_socket::LocalIPv4Address(HandleOf(s)), "127.0.0.1");
}

TEST(CWSocket, FailuresCarryWinsockNumbersAndLeaveTheSocketOpen) {
  ScriptedPeer listening{PeerScript()};
  const std::uint16_t busyPort = listening.Port();
  const std::uint16_t closedPort = FreePort();
  struct Case {
    const char* what;
    std::function<void(CWSocket&)> call;
    int expected;
  };
  const Case cases[] = {
      {"bind to an unresolvable name", [](CWSocket& s) { s.Bind(0, unresolvableName); },
       WSAEINVAL},
      {"bind to a port in use", [&](CWSocket& s) { s.Bind(busyPort, "127.0.0.1"); }, 10048},
      {"bind to an address that is not ours", [](CWSocket& s) { s.Bind(0, "192.0.2.55"); },
       10049},
      {"connect to an unresolvable name",
       [](CWSocket& s) { s.Connect(unresolvableName, 25); }, 11001},
      {"connect to a closed port", [&](CWSocket& s) { s.Connect("127.0.0.1", closedPort); },
       WSAECONNREFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CWSocket s;
    SOCKET handle = s.Create();
    EXPECT_EQ(SocketErrorOf([&] { c.call(s); }), c.expected);
    EXPECT_EQ(s.GetSocketHandle(), handle);
  }
}

TEST(CWSocket, CallsWithoutASocketRaise) {
  CWSocket s;
  char byte;
  EXPECT_EQ(SocketErrorOf([&] { s.IsReadable(0); }), WSAENOTSOCK);
  EXPECT_EQ(SocketErrorOf([&] { s.Receive(&byte, 1, 0); }), 10009);
  EXPECT_EQ(SocketErrorOf([&] { s.Send("x", 1, 0); }), 10009);
}

TEST(CWSocket, ConnectsByNameAndCarriesBytesBothWays) {
  ScriptedPeer peer{PeerScript().Send("220 ready\r\n").Expect("HELO x\r\n").Send("250 ok\r\n")};
  CWSocket s;
  s.Create();
  s.Connect("localhost", peer.Port());
  EXPECT_EQ(ReceiveExactly(s, 11), "220 ready\r\n");
  EXPECT_EQ(s.SendAll("HELO x\r\n", 8), 8);
  EXPECT_EQ(ReceiveExactly(s, 8), "250 ok\r\n");
  s.Close();
  EXPECT_EQ(peer.Finish(), "");
}

TEST(CWSocket, IsReadableWaitsNoLongerThanAsked) {
  ScriptedPeer peer{PeerScript()};
  CWSocket s;
  s.Create();
  s.Connect("127.0.0.1", peer.Port());

  Clock::time_point start = Clock::now();
  EXPECT_FALSE(s.IsReadable(0));
  EXPECT_LT(Clock::now() - start, 1s);

  start = Clock::now();
  EXPECT_FALSE(s.IsReadable(150));
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, 150ms);
  EXPECT_LT(waited, 3s);
  s.Close();
  EXPECT_EQ(peer.Finish(), "");
}

TEST(CWSocket, DataAndAClosedPeerAreReadable) {
  ScriptedPeer peer{PeerScript().Send("x").Close()};
  CWSocket s;
  s.Create();
  s.Connect("127.0.0.1", peer.Port());
  ASSERT_TRUE(s.IsReadable(5000));
  char byte;
  EXPECT_EQ(s.Receive(&byte, 1, 0), 1);
  ASSERT_TRUE(s.IsReadable(5000));
  EXPECT_EQ(s.Receive(&byte, 1, 0), 0);
  EXPECT_EQ(peer.Finish(), "");
}

// Nothing will ever arrive on a socket that never connected: the wait takes its whole
// time and answers false, as on a connection whose peer is silent. A connection that
// the peer reset stays readable, so that the receive after it reports the reset. The
// peer resets only after a byte has come, so that the reset cannot reach the connect
// before it has seen the connection made (it would then fail with the reset).
TEST(CWSocket, NeverConnectedSocketIsNotReadableButAResetOneIs) {
  CWSocket never;
  never.Create();
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(never.IsReadable(100));
  EXPECT_GE(Clock::now() - start, 100ms);
  EXPECT_FALSE(never.IsReadable(0));

  ScriptedPeer peer{PeerScript().Expect("x").Reset()};
  CWSocket reset;
  reset.Create();
  reset.Connect("127.0.0.1", peer.Port());
  reset.Send("x", 1, 0);
  ASSERT_EQ(peer.Finish(), "");
  ASSERT_TRUE(reset.IsReadable(5000));
  char byte;
  EXPECT_EQ(SocketErrorOf([&] { reset.Receive(&byte, 1, 0); }), WSAECONNRESET);
}

// This program does not ignore SIGPIPE (where the system has it): a send without
// MSG_NOSIGNAL would kill it.
TEST(CWSocket, SendingToAClosedPeerRaisesInsteadOfSignalling) {
#ifdef SIGPIPE
  ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL);
#endif
  ScriptedPeer peer{PeerScript().Close()};
  CWSocket s;
  s.Create();
  s.Connect("127.0.0.1", peer.Port());
  ASSERT_EQ(peer.Finish(), "");
  int error = SocketErrorOf([&] {
    for (int i = 0; i < 1000; ++i) s.Send("data", 4, 0);
  });
  EXPECT_TRUE(error == WSAECONNRESET || error == 10053) << error;
}

TEST(CWSocket, ConnectToAServerThatNeverAnswersRaises10060InItsTime) {
  FullListener full;
  CWSocket s;
  s.SetTimeout(300);
  s.Create();
  EXPECT_EQ(SocketErrorOf([&] { s.Connect("127.0.0.1", full.port); }), WSAETIMEDOUT);
  // The bound is kept for the next socket, and the proxy tunnels connect the same way.
  s.Create();
  EXPECT_EQ(SocketErrorOf([&] { s.ConnectThroughSocks5("127.0.0.1", 25, "127.0.0.1", full.port,
                                                       nullptr, nullptr, 300); }),
            WSAETIMEDOUT);
}

TEST(CWSocket, SendToAPeerThatTakesNothingRaises10060) {
  ScriptedPeer peer{PeerScript().Pause(10s)};
  CWSocket s;
  s.Create();
  s.SetTimeout(300);
  s.Connect("127.0.0.1", peer.Port());
  const std::string text(64 << 20, 'x');  // more than both sides' buffers hold
  EXPECT_EQ(SocketErrorOf([&] { s.SendAll(text.data(), static_cast<int>(text.size())); }),
            WSAETIMEDOUT);
}

namespace {

CSocketAddress Loopback(bool v6, std::uint16_t port) {
  std::vector<CSocketAddress> found = ResolveAll(v6 ? "::1" : "127.0.0.1", port);
  return found.front();
}

}  // namespace

TEST(CWSocket, ConnectsToIPv6LiteralsWithAndWithoutBrackets) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address";
  for (const char* host : {"::1", "[::1]"}) {
    ScriptedPeer peer{PeerScript().Send("220 hi\r\n").Expect("EHLO x\r\n"), 5s,
                      ScriptedPeer::Loopback::IPv6};
    CWSocket s;
    s.Create();
    s.Connect(host, peer.Port());
    EXPECT_EQ(ReceiveExactly(s, 8), "220 hi\r\n");
    s.SendAll("EHLO x\r\n", 8);
    EXPECT_EQ(peer.Finish(), "") << host;
  }
}

// Each address gets its own connect and, after a failure, a socket of its own family;
// when every one fails, a refusal tells more than a timeout.
TEST(CWSocket, ConnectToAnyTriesEveryAddressInTurn) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address";
  ScriptedPeer peer{PeerScript().Send("220 hi\r\n"), 5s, ScriptedPeer::Loopback::IPv6};
  CWSocket refused;  // a bound port of 127.0.0.1 that does not listen
  refused.Create();
  refused.Bind(0, "127.0.0.1");
  const std::uint16_t refusedPort = peer_socket::LocalPort(HandleOf(refused));

  CWSocket s;
  s.SetTimeout(300);
  s.Create();
  s.ConnectToAny({Loopback(false, refusedPort), Loopback(true, peer.Port())});
  EXPECT_EQ(ReceiveExactly(s, 8), "220 hi\r\n");
  EXPECT_EQ(peer.Finish(), "");

  FullListener full;
  s.Create();
  EXPECT_EQ(SocketErrorOf([&] {
              s.ConnectToAny({Loopback(false, full.port), Loopback(false, refusedPort),
                              Loopback(false, full.port)});
            }),
            WSAECONNREFUSED);
}

// A socket bound to an IPv6 address is of that family and reaches only its family.
TEST(CWSocket, BindingToAnIPv6AddressKeepsConnectsToItsFamily) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address";
  ScriptedPeer peer{PeerScript().Send("220 hi\r\n"), 5s, ScriptedPeer::Loopback::IPv6};
  CWSocket s;
  s.Create();
  s.Bind(0, "[::1]");
  EXPECT_EQ(SocketErrorOf([&] { s.Connect("127.0.0.1", peer.Port()); }), WSAEAFNOSUPPORT);
  s.Create();
  s.Bind(0, "::1");
  s.Connect("::1", peer.Port());
  EXPECT_EQ(ReceiveExactly(s, 8), "220 hi\r\n");
  EXPECT_EQ(peer.Finish(), "");
}

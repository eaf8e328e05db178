// The session against a scripted peer: greeting, HELO or EHLO, QUIT and the close, and
// how each failure reaches the caller.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include "tests/support/catch_error.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_client.h"

namespace {

using namespace std::chrono_literals;

// The greeting and HELO of a session with mechanism 0.
PeerScript Helo() {
  return PeerScript().Send("220 hi\r\n").Expect("HELO client\r\n").Send("250 ok\r\n");
}

const char* const ehloWithAuth = "250-server\r\n250-AUTH LOGIN PLAIN\r\n250 HELP\r\n";

// Makes the uname system call, and so gethostname, fail in this thread.
void FailUname() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_uname, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}

// Greets with the host name of a system that cannot tell its own; 0 when HELO carried
// "auto".
int GreetWithoutHostName() {
  ScriptedPeer peer{PeerScript()
                        .Send("220 hi\r\n")
                        .Expect("HELO auto\r\n")
                        .Send("250 ok\r\n")
                        .Expect("QUIT\r\n")
                        .Send("221 bye\r\n")};
  FailUname();
  CTAVSMTPConnection c;
  c.Connect("127.0.0.1", AuthNone, "", "", peer.Port(), false);
  c.Disconnect(true);
  std::string report = peer.Finish();
  std::fputs(report.c_str(), stderr);
  return report.empty() ? 0 : 1;
}

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

TEST(Session, SilentServerRaises512WithNoText) {
  ScriptedPeer peer{PeerScript().Expect("QUIT\r\n").ExpectClosed()};
  TestClient c;
  auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(512));
  EXPECT_EQ(error->m_sLastResponseText, "");
  EXPECT_EQ(peer.Finish(), "");
}

// HELO for mechanism 0; EHLO for any other, and nothing else for codes outside 0-5
// even when the server offers AUTH.
TEST(Session, GreetsWithHeloOnlyWithoutAuthentication) {
  struct Case {
    std::int32_t mechanism;
    const char* greeting;
  };
  for (Case m : {Case{AuthNone, "HELO client\r\n"}, Case{6, "EHLO client\r\n"},
                 Case{7, "EHLO client\r\n"}, Case{-1, "EHLO client\r\n"}}) {
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

// A line break in the name would let it add a command of its own.
TEST(Session, HeloNameWithALineBreakIsRefusedBeforeConnecting) {
  ScriptedPeer peer{PeerScript(), 300ms};
  for (const char* name : {"client\r\nRSET", "client\nx", "client\r"}) {
    TestClient c;
    c.SetHeloHostname(name);
    auto error = SmtpErrorOf([&] { c.ConnectTo(peer.Port()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Win32(87));
  }
  EXPECT_EQ(peer.Finish(), "no connection arrived");
}

TEST(Session, GreetsWithAutoWhenTheHostNameCannotBeHad) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(GreetWithoutHostName()), testing::ExitedWithCode(0), "");
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

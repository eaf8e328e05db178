// The connection's data model and its transport operations, plain against a scripted
// peer and over TLS against a real TLS server on 127.0.0.1.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/error_numbers.h"
#include "smtp/connection.h"
#include "tests/support/catch_error.h"
#include "tests/support/peer_socket.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/tls_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t timeout = 5000;

// Reads through the transport until text ends with terminator (or the server closes).
std::string ReceiveUntil(CTAVSMTPConnection& c, const std::string& terminator) {
  std::string got;
  while (!got.ends_with(terminator) && c.TransportIsReadable(timeout)) {
    char buffer[256];
    int n = c.TransportReceive(buffer, static_cast<int>(sizeof buffer));
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// Every line of an OpenSSL details text ends in CR LF, the last one included.
void ExpectCrLfLines(const std::string& text) {
  ASSERT_TRUE(text.ends_with("\r\n")) << text;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    std::string line = text.substr(at, end - at);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_FALSE(line.empty());
    at = end + 2;
  }
}

class TlsTransport : public ::testing::Test {
 protected:
  TlsTransport() {
    IgnoreSigpipe();
    connection.m_bSSL = true;
  }

  void ConnectToServer(const char* host) {
    connection.CreateTransport();
    connection.TransportConnect(host, server.Port());
  }

  // Connects by name and takes the greeting; then sends text, a command of the server
  // (CLOSE, DROP, HOLD) or text to echo, when there is one.
  void ConnectPastGreeting(const std::string& text = "") {
    ConnectToServer("localhost");
    ReceiveUntil(connection, "\r\n");
    if (!text.empty()) connection.TransportSend(text.data(), static_cast<int>(text.size()));
  }

  TlsEchoServer server;
  CTAVSMTPConnection connection;
};

}  // namespace

TEST(ConnectionDataModel, DefaultsBeforeConnect) {
  CTAVSMTPConnection c;
  const std::string hostName = peer_socket::HostName();
  ASSERT_NE(hostName, "");
  EXPECT_EQ(c.m_sHeloHostname, hostName);
  EXPECT_FALSE(c.m_bSSL);
  EXPECT_FALSE(c.m_bConnected);
  EXPECT_EQ(c.m_dwTimeout, 60000u);
  EXPECT_EQ(c.m_nLastReplyCode, 0);
  EXPECT_EQ(c.m_nProxyType, ProxyNone);
  EXPECT_EQ(c.m_nProxyPort, 1080);
  EXPECT_EQ(c.m_socket.GetSocketHandle(), INVALID_SOCKET);
  EXPECT_EQ(c.m_sslContext.Get(), nullptr);
  EXPECT_EQ(c.m_sslSocket.GetSSL(), nullptr);
  for (const std::string* s : {&c.m_sLastReply, &c.m_sProxyServer, &c.m_sBoundAddress,
                               &c.m_sProxyUserName, &c.m_sProxyPassword, &c.m_sUserAgent}) {
    EXPECT_EQ(*s, "");
  }
}

TEST(ConnectionDataModel, HeloHostnameAutoIsExactAndCaseSensitive) {
  CTAVSMTPConnection c;
  std::string local = c.m_sHeloHostname;
  c.SetHeloHostname("mail.example.com");
  EXPECT_EQ(c.m_sHeloHostname, "mail.example.com");
  c.SetHeloHostname("Auto");
  EXPECT_EQ(c.m_sHeloHostname, "Auto");
  c.SetHeloHostname("auto");
  EXPECT_EQ(c.m_sHeloHostname, local);
}

TEST(PlainTransport, CarriesBytesAndCreatesNoOpenSSLObject) {
  ScriptedPeer peer{PeerScript().Send("220 ready\r\n").Expect("EHLO x\r\n").Send("250 ok\r\n")};
  CTAVSMTPConnection c;
  c.CreateTransport();
  c.TransportConnect("127.0.0.1", peer.Port());
  EXPECT_EQ(c.m_sslContext.Get(), nullptr);
  EXPECT_EQ(c.m_sslSocket.GetSSL(), nullptr);
  EXPECT_EQ(ReceiveUntil(c, "\r\n"), "220 ready\r\n");
  EXPECT_EQ(c.TransportSend("EHLO x\r\n", 8), 8);
  EXPECT_EQ(ReceiveUntil(c, "\r\n"), "250 ok\r\n");
  c.TransportClose();
  EXPECT_EQ(c.m_socket.GetSocketHandle(), INVALID_SOCKET);
  EXPECT_EQ(peer.Finish(), "");
}

// The pieces of a message as the transfer sends them: small ones held back, one larger
// than what is held back at most, and the end that sends them.
struct Piece {
  std::string text;
  bool more;
};

std::vector<Piece> MessagePieces() {
  std::string large(40 << 10, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 26);
  return {{"Subject: pieces\r\n", true}, {"\r\n", true}, {"", true}, {large, true},
          {"--b--", true}, {"\r\n.\r\n", false}};
}

std::string Joined(const std::vector<Piece>& pieces) {
  std::string text;
  for (const Piece& piece : pieces) text += piece.text;
  return text;
}

void SendPieces(CTAVSMTPConnection& c, const std::vector<Piece>& pieces) {
  for (const Piece& piece : pieces) {
    EXPECT_EQ(c.TransportSend(piece.text.data(), static_cast<int>(piece.text.size()), piece.more),
              static_cast<int>(piece.text.size()));
  }
}

TEST(PlainTransport, PiecesOfOneTextArriveWholeAndInOrder) {
  const std::vector<Piece> pieces = MessagePieces();
  ScriptedPeer peer{PeerScript().Expect(Joined(pieces)).Expect("QUIT\r\n")};
  CTAVSMTPConnection c;
  c.CreateTransport();
  c.TransportConnect("127.0.0.1", peer.Port());
  SendPieces(c, pieces);
  c.TransportSend("QUIT\r\n", 6);
  EXPECT_EQ(peer.Finish(), "");
  c.TransportClose();
}

// Pieces whose end never came are dropped with the transport they were meant for.
TEST(PlainTransport, HeldBackPiecesDoNotOutliveTheirTransport) {
  ScriptedPeer first{PeerScript().ExpectClosed()};
  ScriptedPeer second{PeerScript().Expect("EHLO x\r\n")};
  CTAVSMTPConnection c;
  c.CreateTransport();
  c.TransportConnect("127.0.0.1", first.Port());
  c.TransportSend("Subject: lost\r\n", 16, true);
  c.TransportClose();
  c.CreateTransport();
  c.TransportConnect("127.0.0.1", second.Port());
  c.TransportSend("EHLO x\r\n", 8);
  EXPECT_EQ(first.Finish(), "");
  EXPECT_EQ(second.Finish(), "");
  c.TransportClose();
}

TEST_F(TlsTransport, PiecesOfOneTextArriveWholeAndInOrder) {
  ConnectPastGreeting();
  std::vector<Piece> pieces = MessagePieces();
  SendPieces(connection, pieces);
  EXPECT_EQ(ReceiveUntil(connection, "\r\n.\r\n"), Joined(pieces));
}

TEST_F(TlsTransport, SendsReceivesAndNamesTheServer) {
  ConnectToServer("localhost");
  ASSERT_NE(connection.m_sslContext.Get(), nullptr);
  EXPECT_EQ(ReceiveUntil(connection, "\r\n"), "220 sni=localhost\r\n");
  EXPECT_EQ(connection.TransportSend("ping\r\n", 6), 6);
  EXPECT_EQ(ReceiveUntil(connection, "\r\n"), "ping\r\n");
  connection.TransportClose();
  EXPECT_EQ(connection.m_sslSocket.GetSSL(), nullptr);
  EXPECT_EQ(connection.m_socket.GetSocketHandle(), INVALID_SOCKET);
}

TEST_F(TlsTransport, DottedAddressSendsNoServerName) {
  ConnectToServer("127.0.0.1");
  EXPECT_EQ(ReceiveUntil(connection, "\r\n"), "220 sni=-\r\n");
}

// RFC 6066 allows no address in the server name: an IPv6 literal, bracketed or not,
// goes out in no extension of the client's hello.
TEST(TlsTransportIPv6, LiteralSendsNoServerName) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address";
  for (const char* host : {"::1", "[::1]"}) {
    ScriptedPeer peer{PeerScript().ReadAny().Close(), 5s, ScriptedPeer::Loopback::IPv6};
    CTAVSMTPConnection c;
    c.m_bSSL = true;
    c.CreateTransport();
    EXPECT_THROW(c.TransportConnect(host, peer.Port()), CTAVSMTPException);
    EXPECT_EQ(peer.Finish(), "");
    const std::string& hello = peer.Received();
    ASSERT_EQ(hello.substr(0, 1), "\x16") << host;
    EXPECT_EQ(hello.find("::1"), std::string::npos) << host;
  }
}

TEST_F(TlsTransport, DecryptedBytesWaitingInTheLibraryAreReadable) {
  ConnectPastGreeting("hello world\r\n");
  ASSERT_TRUE(connection.TransportIsReadable(timeout));
  char buffer[4];
  ASSERT_EQ(connection.TransportReceive(buffer, sizeof buffer), 4);
  EXPECT_FALSE(connection.m_socket.IsReadable(0));  // the whole record was taken
  EXPECT_TRUE(connection.TransportIsReadable(0));
  EXPECT_EQ(std::string(buffer, 4) + ReceiveUntil(connection, "\r\n"), "hello world\r\n");
}

TEST_F(TlsTransport, ServerClosingTlsMakesReceiveRaise547) {
  ConnectPastGreeting("CLOSE\r\n");
  ASSERT_TRUE(connection.TransportIsReadable(timeout));
  char buffer[16];
  auto error = SmtpErrorOf([&] { connection.TransportReceive(buffer, sizeof buffer); });
  ASSERT_TRUE(error);
  EXPECT_EQ(static_cast<std::uint32_t>(error->m_hrError), 0x80040223u);
}

TEST_F(TlsTransport, SendingAfterTheServerHasGoneRaises546) {
  ConnectPastGreeting("DROP\r\n");
  ASSERT_TRUE(connection.m_socket.IsReadable(timeout));  // the server's FIN is here
  // The first write after the close is taken by the kernel and answered with a reset;
  // a later one fails.
  auto error = SmtpErrorOf([&] {
    for (int i = 0; i < 10000; ++i) connection.TransportSend("NOOP\r\n", 6);
  });
  ASSERT_TRUE(error);
  EXPECT_EQ(static_cast<std::uint32_t>(error->m_hrError), 0x80040222u);
}

TEST_F(TlsTransport, CloseDoesNotWaitForASilentServer) {
  ConnectPastGreeting("HOLD\r\n");
  Clock::time_point start = Clock::now();
  connection.TransportClose();
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_EQ(connection.m_sslSocket.GetSSL(), nullptr);
  EXPECT_EQ(connection.m_socket.GetSocketHandle(), INVALID_SOCKET);
}

// OpenSSL writes on the socket itself: its sends are bounded like plain ones, and the
// failure is the timeout, not a TLS failure.
TEST_F(TlsTransport, SendToAServerThatTakesNothingRaises10060) {
  connection.m_dwTimeout = 300;
  ConnectToServer("localhost");
  ReceiveUntil(connection, "\r\n");
  connection.TransportSend("HOLD\r\n", 6);
  const std::string text(64 << 20, 'x');  // more than both sides' buffers hold
  EXPECT_EQ(SocketErrorOf([&] {
              connection.TransportSend(text.data(), static_cast<int>(text.size()));
            }),
            WSAETIMEDOUT);
}

TEST_F(TlsTransport, UnresolvableServerIsASocketErrorNotATlsFailure) {
  connection.CreateTransport();
  EXPECT_EQ(SocketErrorOf([&] { connection.TransportConnect("no..such..host", 465); }), 11001);
}

TEST_F(TlsTransport, HandshakeWithAPlainServerRaises545WithTheLibraryText) {
  ScriptedPeer plain{PeerScript().Send("220 plain ESMTP\r\n")};
  connection.CreateTransport();
  auto error = SmtpErrorOf([&] { connection.TransportConnect("127.0.0.1", plain.Port()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(static_cast<std::uint32_t>(error->m_hrError), 0x80040221u);
  ExpectCrLfLines(error->m_sLastResponseText);
  EXPECT_NE(error->m_sLastResponseText.find("wrong version number"), std::string::npos);
  EXPECT_EQ(std::string(error->what()),
            "Failed to connect via SSL: Details:" + error->m_sLastResponseText);
  EXPECT_EQ(ERR_peek_error(), 0u);  // the queue was emptied into the text
  connection.TransportClose();
  plain.Finish();
  EXPECT_EQ(plain.Received().substr(0, 1), "\x16");  // a TLS handshake record came first
}

TEST_F(TlsTransport, HandshakeCutByTheServerRaises545) {
  struct Case {
    const char* what;
    PeerScript script;
    std::string details;
  };
  const Case cases[] = {
      {"reset: no library error", PeerScript().ReadAny().Reset(), ""},
      {"orderly close", PeerScript().ReadAny().Close(),
       "error:0A000126:SSL routines::unexpected eof while reading\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer{c.script};
    connection.CreateTransport();
    auto error = SmtpErrorOf([&] { connection.TransportConnect("127.0.0.1", peer.Port()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(static_cast<std::uint32_t>(error->m_hrError), 0x80040221u);
    EXPECT_EQ(std::string(error->what()), "Failed to connect via SSL: Details:" + c.details);
    connection.TransportClose();
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(peer.Received().substr(0, 1), "\x16");  // the client's hello was taken
  }
}

// OpenSSL tells of every context made and freed through the callbacks of an ex-data
// index; the events land in events while it points somewhere.
std::vector<std::string>* contextEvents = nullptr;

void WatchContexts() {
  static const int index = SSL_CTX_get_ex_new_index(
      0, nullptr,
      [](void*, void*, CRYPTO_EX_DATA*, int, long, void*) {
        if (contextEvents != nullptr) contextEvents->push_back("new");
      },
      nullptr,
      [](void*, void*, CRYPTO_EX_DATA*, int, long, void*) {
        if (contextEvents != nullptr) contextEvents->push_back("free");
      });
  ASSERT_GE(index, 0);
}

// The earlier context is freed before the next is made, so two never live at once.
TEST(TlsTransportCreation, SecondCreateTransportFreesTheFirstContextBeforeMakingOne) {
  WatchContexts();
  std::vector<std::string> events;
  contextEvents = &events;
  {
    CTAVSMTPConnection c;
    c.m_bSSL = true;
    c.CreateTransport();
    ASSERT_NE(c.m_sslContext.Get(), nullptr);
    ASSERT_NE(c.m_sslSocket.GetSSL(), nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"new"}));
    c.CreateTransport();
    EXPECT_EQ(events, (std::vector<std::string>{"new", "free", "new"}));
    EXPECT_NE(c.m_sslSocket.GetSSL(), nullptr);
    EXPECT_NE(c.m_socket.GetSocketHandle(), INVALID_SOCKET);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"new", "free", "new", "free"}));
  contextEvents = nullptr;
}

TEST(GetOpenSSLErrorText, OneCrLfLinePerQueuedErrorOldestFirst) {
  SSL_load_error_strings();  // as the program's start-up does
  ERR_clear_error();
  EXPECT_EQ(GetOpenSSLErrorText(), "");
  ERR_raise(ERR_LIB_SSL, SSL_R_WRONG_VERSION_NUMBER);
  ERR_raise(ERR_LIB_SSL, SSL_R_UNEXPECTED_EOF_WHILE_READING);
  std::string text = GetOpenSSLErrorText();
  ExpectCrLfLines(text);
  std::size_t first = text.find("wrong version number");
  std::size_t second = text.find("unexpected eof while reading");
  ASSERT_NE(first, std::string::npos) << text;
  ASSERT_NE(second, std::string::npos) << text;
  EXPECT_LT(first, second);
  EXPECT_EQ(text.find("\r\n"), text.find("\r\n", first));  // one entry per line
  EXPECT_EQ(GetOpenSSLErrorText(), "");
}

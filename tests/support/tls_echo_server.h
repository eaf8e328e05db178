// A TLS echo server (tls_echo_server.py) on a free port of 127.0.0.1, with a
// self-signed certificate for "localhost".
//
// After the handshake the server sends "220 sni=NAME\r\n" (NAME the server name the
// client sent, "-" for none) and then echoes every chunk until the client closes. The
// chunk "CLOSE\r\n" makes it close TLS and the connection; "DROP\r\n" makes it close the
// connection without closing TLS; "HOLD\r\n" makes it hold the connection open and
// answer nothing more, not even a close notification.
//
// On Linux each object starts a server of its own (tls_server.cpp). A Windows test
// program, which under Wine cannot start a Linux program, has its server started by the
// native launcher that runs it (tests/windows/with_tls_echo_server.py), which names its
// port in EMAILER_TLS_ECHO_PORT; the server serves each connection on its own, so every
// object shares it (tls_echo_server_windows.cpp).
#pragma once

#include <cstdint>
#include <memory>

class TlsEchoServer {
 public:
  // Throws std::runtime_error when there is no server.
  TlsEchoServer();
  TlsEchoServer(const TlsEchoServer&) = delete;
  TlsEchoServer& operator=(const TlsEchoServer&) = delete;
  ~TlsEchoServer();
  std::uint16_t Port() const;

 private:
  struct Running;
  std::unique_ptr<Running> running;
};

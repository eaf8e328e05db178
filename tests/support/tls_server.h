// TLS helpers for tests: a self-signed certificate made with openssl at test time, and
// a TLS echo server (tls_echo_server.py) on a free port of 127.0.0.1.
#pragma once

#include <filesystem>

#include "tests/support/server_process.h"

struct TestCertificate {
  std::filesystem::path certificate;
  std::filesystem::path key;
};

// A fresh P-256 key and a self-signed certificate for "localhost" in dir. Throws
// std::runtime_error with openssl's output when it fails.
TestCertificate MakeTestCertificate(const TempDir& dir);

// After the handshake the server sends "220 sni=NAME\r\n" (NAME the server name the
// client sent, "-" for none) and then echoes every chunk until the client closes. The
// chunk "CLOSE\r\n" makes it close TLS and the connection; "DROP\r\n" makes it close the
// connection without closing TLS; "HOLD\r\n" makes it hold the connection open and
// answer nothing more, not even a close notification.
class TlsEchoServer {
 public:
  TlsEchoServer();
  std::uint16_t Port() const { return server.Port(); }

 private:
  TempDir dir;
  TestCertificate certificate;
  ServerProcess server;
};

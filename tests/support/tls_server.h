// TLS helpers for tests: a self-signed certificate made with openssl at test time, a
// TLS echo server (tls_echo_server.py) and a TLS stub server that trickles or cuts its
// records (tls_stub_server.py), each on a free port of 127.0.0.1.
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

// A TLS server that decides how the bytes of its records leave (tls_stub_server.py).
// Trickle sends every byte alone, of the handshake and of a short SMTP dialogue ("220 hi",
// "250 ok" to every command, "354 go ahead" to DATA, "250 queued" to the message's end,
// "221 bye" to QUIT); PartialRecord completes the handshake, then sends the first half of
// the greeting's record and goes silent.
class TlsStubServer {
 public:
  enum Mode { Trickle, PartialRecord };
  explicit TlsStubServer(Mode mode);
  std::uint16_t Port() const { return server.Port(); }

 private:
  TempDir dir;
  TestCertificate certificate;
  ServerProcess server;
};

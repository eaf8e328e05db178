// The TLS echo server of a Windows test program: the one its native launcher started,
// whose port is in EMAILER_TLS_ECHO_PORT.
#include "tests/support/tls_echo_server.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

struct TlsEchoServer::Running {
  std::uint16_t port;
};

TlsEchoServer::TlsEchoServer() {
  const char* port = std::getenv("EMAILER_TLS_ECHO_PORT");
  if (port == nullptr || std::atoi(port) <= 0) {
    throw std::runtime_error(
        "no TLS echo server: run the test through tests/windows/with_tls_echo_server.py");
  }
  running = std::make_unique<Running>(Running{static_cast<std::uint16_t>(std::atoi(port))});
}

TlsEchoServer::~TlsEchoServer() = default;

std::uint16_t TlsEchoServer::Port() const { return running->port; }

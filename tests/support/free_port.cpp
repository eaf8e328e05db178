// A free port of 127.0.0.1: the one the system picks for a listener that closes at once.
#include "tests/support/peer_socket.h"
#include "tests/support/server_process.h"

std::uint16_t FreePort() {
  std::uint16_t port = 0;
  peer_socket::Close(peer_socket::Listen(false, port));
  return port;
}

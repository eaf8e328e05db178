// The scripted peer's calls that read the same on Linux and on Windows: the loopback
// address, what getsockname and getsockopt tell of a socket, listening, the host name.
#include "tests/support/peer_socket_system.h"

namespace peer_socket {

AddressLength LoopbackAddress(bool v6, sockaddr_storage& address) {
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    return sizeof(sockaddr_in6);
  }
  auto* in = reinterpret_cast<sockaddr_in*>(&address);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sizeof(sockaddr_in);
}

std::uint16_t LocalPort(Handle socket) {
  sockaddr_storage address{};
  AddressLength length = sizeof address;
  if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

std::string LocalIPv4Address(Handle socket) {
  sockaddr_in address{};
  AddressLength length = sizeof address;
  char text[INET_ADDRSTRLEN] = "";
  if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

bool NoDelayIsSet(Handle socket) {
  int on = 0;
  AddressLength size = sizeof on;
  return getsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on),
                    &size) == 0 && on != 0;
}

bool StartListening(Handle socket, int backlog) { return listen(Native(socket), backlog) == 0; }

std::string HostName() {
  StartSockets();
  char name[256] = "";
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

}  // namespace peer_socket

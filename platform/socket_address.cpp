// Socket addresses over the calls that Linux and Windows Sockets share: inet_addr,
// inet_pton and getaddrinfo, and the sockaddr_in and sockaddr_in6 layouts.
#include "platform/socket_api.h"

#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>

#include "platform/posix/error_mapping.h"
#endif

namespace {

static_assert(sizeof(CSocketAddress::storage) == sizeof(sockaddr_storage) &&
              alignof(CSocketAddress) >= alignof(sockaddr_storage));

// The resolver's failure as a Winsock number: Windows gives one already.
int ResolverError(int result) {
#ifdef _WIN32
  return result;
#else
  return WinsockErrorFromResolver(result, errno);
#endif
}

template <typename Address>
Address* As(CSocketAddress& a) {
  return reinterpret_cast<Address*>(a.storage);
}

}  // namespace

int CSocketAddress::Family() const { return reinterpret_cast<const sockaddr*>(storage)->sa_family; }

CSocketAddress IPv4SocketAddress(std::uint32_t address, std::uint16_t port) {
  CSocketAddress a;
  auto* in = As<sockaddr_in>(a);
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  in->sin_addr.s_addr = address;
  a.length = sizeof(sockaddr_in);
  return a;
}

CSocketAddress IPv6SocketAddress(const IPv6Bytes& address, std::uint16_t port) {
  CSocketAddress a;
  auto* in6 = As<sockaddr_in6>(a);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(port);
  std::memcpy(&in6->sin6_addr, address.data(), address.size());
  a.length = sizeof(sockaddr_in6);
  return a;
}

std::uint32_t IPv4AddressOf(const CSocketAddress& address) {
  return reinterpret_cast<const sockaddr_in*>(address.storage)->sin_addr.s_addr;
}

CSocketAddress AnyAddress(int family, std::uint16_t port) {
  return family == AF_INET6 ? IPv6SocketAddress(IPv6Bytes{}, port)
                            : IPv4SocketAddress(htonl(INADDR_ANY), port);
}

bool ParseDottedAddress(const char* text, std::uint32_t* address) {
  std::uint32_t parsed = inet_addr(text);
  if (parsed == INADDR_NONE) return false;
  *address = parsed;
  return true;
}

bool ParseIPv6(const char* text, IPv6Bytes* address) {
  in6_addr parsed;
  if (inet_pton(AF_INET6, text, &parsed) != 1) return false;
  std::memcpy(address->data(), &parsed, address->size());
  return true;
}

int ResolveName(const char* name, std::uint16_t port, std::vector<CSocketAddress>& found) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int result = getaddrinfo(name, nullptr, &hints, &list);
  if (result != 0) return ResolverError(result);
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      found.push_back(IPv4SocketAddress(
          reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr, port));
    } else if (a->ai_family == AF_INET6) {
      IPv6Bytes bytes;
      std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr,
                  bytes.size());
      found.push_back(IPv6SocketAddress(bytes, port));
    }
  }
  freeaddrinfo(list);
  return 0;
}

std::string AddressText(const CSocketAddress& address) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* bytes = nullptr;
  if (address.Family() == AF_INET) {
    bytes = &reinterpret_cast<const sockaddr_in*>(address.storage)->sin_addr;
  } else if (address.Family() == AF_INET6) {
    bytes = &reinterpret_cast<const sockaddr_in6*>(address.storage)->sin6_addr;
  }
  if (bytes == nullptr || inet_ntop(address.Family(), bytes, text, sizeof text) == nullptr) {
    return {};
  }
  return text;
}

CSocketAddress PeerAddress(SOCKET s) {
  CSocketAddress address;
  socklen_t length = sizeof address.storage;
  if (getpeername(s, reinterpret_cast<sockaddr*>(address.storage), &length) == 0) {
    address.length = length;
  }
  return address;
}

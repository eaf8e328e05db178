// The host-name rule over inet_addr, inet_pton and getaddrinfo.
#include "net/host_address.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <arpa/inet.h>
#include <netdb.h>

#include "platform/error_mapping.h"
#include "platform/error_numbers.h"
#include "platform/last_error.h"

namespace {

CSocketAddress IPv4Address(std::uint32_t address, std::uint16_t port) {
  CSocketAddress a;
  auto* in = reinterpret_cast<sockaddr_in*>(&a.storage);
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  in->sin_addr.s_addr = address;
  a.length = sizeof(sockaddr_in);
  return a;
}

CSocketAddress IPv6Address(const in6_addr& address, std::uint16_t port) {
  CSocketAddress a;
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(port);
  in6->sin6_addr = address;
  a.length = sizeof(sockaddr_in6);
  return a;
}

}  // namespace

bool ParseDottedAddress(const char* text, std::uint32_t* address) {
  in_addr_t parsed = inet_addr(text);
  if (parsed == INADDR_NONE) return false;
  *address = parsed;
  return true;
}

bool ParseIPv6Literal(const char* text, in6_addr* address) {
  return inet_pton(AF_INET6, UnbracketedHost(text).c_str(), address) == 1;
}

std::string UnbracketedHost(const char* host) {
  std::string_view text(host);
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  return std::string(text);
}

bool IsAddressLiteral(const char* host) {
  std::uint32_t v4;
  in6_addr v6;
  return ParseDottedAddress(host, &v4) || ParseIPv6Literal(host, &v6);
}

std::vector<CSocketAddress> ResolveAll(const char* host, std::uint16_t port) {
  std::uint32_t v4;
  if (ParseDottedAddress(host, &v4)) return {IPv4Address(v4, port)};
  in6_addr v6;
  if (ParseIPv6Literal(host, &v6)) return {IPv6Address(v6, port)};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int result = getaddrinfo(host, nullptr, &hints, &found);
  if (result != 0) {
    WSASetLastError(WinsockErrorFromResolver(result, errno));
    return {};
  }
  std::vector<CSocketAddress> addresses;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      addresses.push_back(
          IPv4Address(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr, port));
    } else if (a->ai_family == AF_INET6) {
      addresses.push_back(
          IPv6Address(reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr, port));
    }
  }
  freeaddrinfo(found);
  if (addresses.empty()) WSASetLastError(WSAHOST_NOT_FOUND);
  std::stable_partition(addresses.begin(), addresses.end(),
                        [](const CSocketAddress& a) { return a.Family() == AF_INET; });
  return addresses;
}

CSocketAddress AnyAddress(int family, std::uint16_t port) {
  return family == AF_INET6 ? IPv6Address(in6addr_any, port) : IPv4Address(htonl(INADDR_ANY), port);
}

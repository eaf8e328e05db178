// The host-name rule over the platform's inet_addr, inet_pton and getaddrinfo.
#include "net/host_address.h"

#include <algorithm>
#include <string_view>

#include "platform/error_numbers.h"
#include "platform/last_error.h"

bool ParseIPv6Literal(const char* text, IPv6Bytes* address) {
  return ParseIPv6(UnbracketedHost(text).c_str(), address);
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
  IPv6Bytes v6;
  return ParseDottedAddress(host, &v4) || ParseIPv6Literal(host, &v6);
}

std::vector<CSocketAddress> ResolveAll(const char* host, std::uint16_t port) {
  std::uint32_t v4;
  if (ParseDottedAddress(host, &v4)) return {IPv4SocketAddress(v4, port)};
  IPv6Bytes v6;
  if (ParseIPv6Literal(host, &v6)) return {IPv6SocketAddress(v6, port)};
  std::vector<CSocketAddress> addresses;
  if (int error = ResolveName(host, port, addresses); error != 0) {
    WSASetLastError(error);
    return {};
  }
  if (addresses.empty()) WSASetLastError(WSAHOST_NOT_FOUND);
  std::stable_partition(addresses.begin(), addresses.end(),
                        [](const CSocketAddress& a) { return a.Family() == AF_INET; });
  return addresses;
}

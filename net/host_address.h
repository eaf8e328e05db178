// The host-name rule of the sockets: a host is a dotted IPv4 address (read by
// inet_addr), an IPv6 literal ("::1" or "[::1]"), or a name whose every address the
// resolver gives, IPv4 addresses first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

// One address to connect or bind to, port included.
struct CSocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int Family() const { return storage.ss_family; }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// The inet_addr step of the host-name rule: true and the address in network byte
// order when text is a dotted IPv4 address. "255.255.255.255" reads as INADDR_NONE
// and so counts as a name.
bool ParseDottedAddress(const char* text, std::uint32_t* address);
// True and the address when text is an IPv6 literal, bracketed or not.
bool ParseIPv6Literal(const char* text, in6_addr* address);
// host without the brackets of an IPv6 literal written "[::1]"; otherwise unchanged.
std::string UnbracketedHost(const char* host);
// True when host is an address, not a name: a dotted IPv4 address or an IPv6 literal.
bool IsAddressLiteral(const char* host);

// Every address of host with port: the literal's one, or the resolver's for a name,
// IPv4 addresses first (each family in the resolver's order). Empty, with the thread's
// last Winsock error set from the resolver, when the name cannot be resolved.
std::vector<CSocketAddress> ResolveAll(const char* host, std::uint16_t port);
// The address of family AF_INET or AF_INET6 that listens everywhere, with port.
CSocketAddress AnyAddress(int family, std::uint16_t port);

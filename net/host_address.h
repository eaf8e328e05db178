// The host-name rule of the sockets: a host is a dotted IPv4 address (read by
// inet_addr), an IPv6 literal ("::1" or "[::1]"), or a name whose every address the
// resolver gives, IPv4 addresses first. The addresses themselves are the platform's
// (platform/socket_api.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket_api.h"

// True and the address when text is an IPv6 literal, bracketed or not.
bool ParseIPv6Literal(const char* text, IPv6Bytes* address);
// host without the brackets of an IPv6 literal written "[::1]"; otherwise unchanged.
std::string UnbracketedHost(const char* host);
// True when host is an address, not a name: a dotted IPv4 address or an IPv6 literal.
bool IsAddressLiteral(const char* host);

// Every address of host with port: the literal's one, or the resolver's for a name,
// IPv4 addresses first (each family in the resolver's order). Empty, with the thread's
// last Winsock error set from the resolver, when the name cannot be resolved.
std::vector<CSocketAddress> ResolveAll(const char* host, std::uint16_t port);

// The system's TCP sockets and socket addresses behind one set of calls: BSD sockets
// with poll on Linux (socket_api.cpp), Windows Sockets 2 with select on Windows
// (windows/socket_api.cpp). None of them raises: a call that fails leaves the system's
// last socket error behind, which LastSocketError gives as a Winsock number.
//
// On Windows this header names the few socket types it uses itself, as the system
// declares them, and never includes <winsock2.h>: that header brings <windows.h>, whose
// names (HRESULT, the error numbers, WSAGetLastError) the program declares for itself
// in platform/win_types.h, platform/error_numbers.h and platform/last_error.h. A file
// that includes both this header and the system's includes this one first.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
struct sockaddr;
using SOCKET = unsigned long long;  // the system's UINT_PTR
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
using socklen_t = int;
inline constexpr int AF_INET = 2;
inline constexpr int AF_INET6 = 23;
#else
#include <sys/socket.h>
using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
#endif

// One address to connect or bind to, port included: a sockaddr_in or sockaddr_in6 in
// storage (which is as large and aligned as the system's sockaddr_storage).
struct CSocketAddress {
  alignas(8) unsigned char storage[128]{};
  socklen_t length = 0;

  int Family() const;
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(storage); }
};

// The 16 bytes of an IPv6 address, in network byte order.
using IPv6Bytes = std::array<unsigned char, 16>;

// The address in network byte order with port (AF_INET).
CSocketAddress IPv4SocketAddress(std::uint32_t address, std::uint16_t port);
// The IPv6 address with port (AF_INET6).
CSocketAddress IPv6SocketAddress(const IPv6Bytes& address, std::uint16_t port);
// The IPv4 address of an AF_INET address, in network byte order.
std::uint32_t IPv4AddressOf(const CSocketAddress& address);
// The address of family AF_INET or AF_INET6 that listens everywhere, with port.
CSocketAddress AnyAddress(int family, std::uint16_t port);

// The inet_addr step of the host-name rule: true and the address in network byte
// order when text is a dotted IPv4 address. "255.255.255.255" reads as INADDR_NONE
// and so counts as a name.
bool ParseDottedAddress(const char* text, std::uint32_t* address);
// inet_pton: true and the address when text is an IPv6 address, without brackets.
bool ParseIPv6(const char* text, IPv6Bytes* address);
// getaddrinfo for stream sockets: the IPv4 and IPv6 addresses of name with port, in the
// resolver's order. Returns 0, or the resolver's failure as a Winsock number.
int ResolveName(const char* name, std::uint16_t port, std::vector<CSocketAddress>& found);

// The address without its port, as text ("192.0.2.1", "2001:db8::1"); "" for one
// that is neither IPv4 nor IPv6.
std::string AddressText(const CSocketAddress& address);
// The address that the connected socket s talks to (getpeername); length 0 when none.
CSocketAddress PeerAddress(SOCKET s);

// Opens a stream socket of family that no child process inherits, with TCP_NODELAY
// set. INVALID_SOCKET when it cannot.
SOCKET OpenStreamSocket(int family);
// Closes the socket; 0, or -1 when the system reports a failure.
int CloseSocket(SOCKET s);
bool BindSocket(SOCKET s, const sockaddr* address, socklen_t length);
// Connects the blocking socket s, waiting at most timeout milliseconds (0: without a
// bound) for the peer's answer; the socket is blocking again afterwards. False when the
// connect failed (the error WSAETIMEDOUT when the time ran out).
bool ConnectSocket(SOCKET s, const sockaddr* address, socklen_t length, std::uint32_t timeout);
// Makes every later call on s wait (blocking) or return at once (non-blocking). For the
// sockets OpenStreamSocket makes: on Linux the socket's other status flags, which these
// never set, are cleared.
bool SetSocketBlocking(SOCKET s, bool blocking);
// Bounds each blocking send (receive: each blocking receive) on s to timeout
// milliseconds; 0 removes the bound.
bool SetSocketTimeout(SOCKET s, bool receive, std::uint32_t timeout);

// Waits at most timeout milliseconds until s has data to read, has been closed by the
// peer or has an error pending: 1 when it has, 0 when the time ran out, -1 on failure
// (WSAENOTSOCK when s is no open socket). INVALID_SOCKET waits out the time.
int WaitSocketReadable(SOCKET s, std::uint32_t timeout);
// One send call that never raises SIGPIPE: the count sent or -1. With more, the bytes
// are a piece of a longer text whose rest follows at once (a hint the system may use
// to fill segments). A send that ran out of the socket's send timeout fails with
// WSAETIMEDOUT.
int SendOnce(SOCKET s, const void* data, int length, int flags, bool more);
// One receive call: the count received (0: the peer has closed) or -1.
int ReceiveOnce(SOCKET s, void* buffer, int capacity, int flags);
// True when bytes wait to be read on s now; nothing is taken.
bool HasBytesWaiting(SOCKET s);

// The Winsock number of the last failed socket call of this thread.
int LastSocketError();
// True when the last failed socket call of this thread failed because the socket's own
// send or receive timeout ran out with the system reporting it as an error of its own
// (Windows: WSAETIMEDOUT). On Linux such a call reports that it would block instead,
// which callers (and OpenSSL) see as a call to retry, so this is never true there.
bool LastSocketCallTimedOut();

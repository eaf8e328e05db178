// The scripted peer's system calls on Windows: Windows Sockets 2 with WSAPoll, and as
// the wake-up a UDP socket on 127.0.0.1 connected to itself, which turns readable for
// good when it sends itself a datagram (Windows has no event a WSAPoll can watch).
#include "tests/support/peer_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>
#include <vector>

namespace peer_socket {

namespace {

// Starts Windows Sockets once for the test program, before its first socket.
void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("scripted peer: WSAStartup failed");
}

// 127.0.0.1 or ::1 with port 0 in address; its length.
int LoopbackAddress(bool v6, sockaddr_storage& address) {
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

SOCKET Socket(Handle handle) { return static_cast<SOCKET>(handle); }
Handle HandleOf(SOCKET socket) { return static_cast<Handle>(socket); }

// A socket of type bound to 127.0.0.1 (or ::1) at a port the system picks, which it
// gives in address; INVALID_SOCKET when that fails.
SOCKET BoundSocket(bool v6, int type, sockaddr_storage& address, int& length) {
  StartSockets();
  SOCKET s = socket(v6 ? AF_INET6 : AF_INET, type, 0);
  length = LoopbackAddress(v6, address);
  if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    return s;
  }
  if (s != INVALID_SOCKET) closesocket(s);
  return INVALID_SOCKET;
}

}  // namespace

Handle Listen(bool v6, std::uint16_t& port) {
  sockaddr_storage address{};
  int length = 0;
  SOCKET listener = BoundSocket(v6, SOCK_STREAM, address, length);
  if (listener == INVALID_SOCKET || listen(listener, 4) != 0) {
    std::string text = LastErrorText();
    if (listener != INVALID_SOCKET) closesocket(listener);
    throw std::runtime_error("scripted peer cannot listen: " + text);
  }
  port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                  : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return HandleOf(listener);
}

bool CanBindIPv6Loopback() {
  sockaddr_storage address{};
  int length = 0;
  SOCKET s = BoundSocket(true, SOCK_STREAM, address, length);
  if (s == INVALID_SOCKET) return false;
  closesocket(s);
  return true;
}

Handle Accept(Handle listener) {
  SOCKET connection = accept(Socket(listener), nullptr, nullptr);
  BOOL on = TRUE;
  if (connection != INVALID_SOCKET) {
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  }
  return HandleOf(connection);
}

long Receive(Handle socket, char* buffer, std::size_t size, bool peek) {
  return recv(Socket(socket), buffer, static_cast<int>(size), peek ? MSG_PEEK : 0);
}

long Send(Handle socket, const char* bytes, std::size_t size) {
  return send(Socket(socket), bytes, static_cast<int>(size), 0);
}

std::string LastErrorText() {
  int error = WSAGetLastError();
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  return "Windows Sockets error " + std::to_string(error) + " " + text;
}

void Close(Handle socket) { closesocket(Socket(socket)); }

void Reset(Handle socket) {
  linger abort{1, 0};  // a zero linger time makes closesocket() send a reset
  setsockopt(Socket(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
             sizeof abort);
  closesocket(Socket(socket));
}

unsigned WaitReadable(std::initializer_list<Handle> handles, std::chrono::milliseconds bound) {
  std::vector<WSAPOLLFD> fds;
  for (Handle h : handles) fds.push_back({Socket(h), POLLRDNORM, 0});
  int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()),
                      bound.count() < 0 ? -1 : static_cast<INT>(bound.count()));
  unsigned mask = 0;
  for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
    if (fds[i].revents != 0) mask |= 1u << i;
  }
  return mask;
}

Wakeup::Wakeup() {
  sockaddr_storage address{};
  int length = 0;
  SOCKET s = BoundSocket(false, SOCK_DGRAM, address, length);
  if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    std::string text = LastErrorText();
    if (s != INVALID_SOCKET) closesocket(s);
    throw std::runtime_error("scripted peer cannot make its wake-up: " + text);
  }
  handle = HandleOf(s);
}

Wakeup::~Wakeup() { closesocket(Socket(handle)); }

void Wakeup::Raise() { send(Socket(handle), "!", 1, 0); }

std::uint16_t LocalPort(Handle socket) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(Socket(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

std::string LocalIPv4Address(Handle socket) {
  sockaddr_in address{};
  int length = sizeof address;
  char text[INET_ADDRSTRLEN] = "";
  if (getsockname(Socket(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

bool NoDelayIsSet(Handle socket) {
  BOOL on = FALSE;
  int size = sizeof on;
  return getsockopt(Socket(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on),
                    &size) == 0 && on != FALSE;
}

bool StartListening(Handle socket, int backlog) { return listen(Socket(socket), backlog) == 0; }

std::string HostName() {
  StartSockets();
  char name[256] = "";
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

std::size_t OpenDescriptorCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// Windows has no signals that one thread could keep from another.
void KeepSignalsAway() {}

}  // namespace peer_socket

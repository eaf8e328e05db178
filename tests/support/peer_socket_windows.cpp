// The scripted peer's system calls on Windows: Windows Sockets 2 with WSAPoll, and as
// the wake-up a UDP socket on 127.0.0.1 connected to itself, which turns readable for
// good when it sends itself a datagram (Windows has no event a WSAPoll can watch).
#include "tests/support/peer_socket_system.h"

#include <stdexcept>
#include <vector>

namespace peer_socket {

namespace {

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
  SOCKET connection = accept(Native(listener), nullptr, nullptr);
  BOOL on = TRUE;
  if (connection != INVALID_SOCKET) {
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  }
  return HandleOf(connection);
}

long Receive(Handle socket, char* buffer, std::size_t size, bool peek) {
  return recv(Native(socket), buffer, static_cast<int>(size), peek ? MSG_PEEK : 0);
}

long Send(Handle socket, const char* bytes, std::size_t size) {
  return send(Native(socket), bytes, static_cast<int>(size), 0);
}

std::string LastErrorText() {
  int error = WSAGetLastError();
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  return "Windows Sockets error " + std::to_string(error) + " " + text;
}

void Close(Handle socket) { closesocket(Native(socket)); }

void Reset(Handle socket) {
  linger abort{1, 0};  // a zero linger time makes closesocket() send a reset
  setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
             sizeof abort);
  closesocket(Native(socket));
}

unsigned WaitReadable(std::initializer_list<Handle> handles, std::chrono::milliseconds bound) {
  std::vector<WSAPOLLFD> fds;
  for (Handle h : handles) fds.push_back({Native(h), POLLRDNORM, 0});
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

Wakeup::~Wakeup() { closesocket(Native(handle)); }

void Wakeup::Raise() { send(Native(handle), "!", 1, 0); }

void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("scripted peer: WSAStartup failed");
}

std::size_t OpenDescriptorCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// Windows has no signals that one thread could keep from another.
void KeepSignalsAway() {}

}  // namespace peer_socket

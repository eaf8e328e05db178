// The socket calls on Windows: Windows Sockets 2, with ioctlsocket's FIONBIO for
// non-blocking calls and select for the bounded waits. Failures leave the system's own
// Winsock error (WSAGetLastError) behind.
#include "platform/socket_api.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

timeval ToTimeval(std::uint32_t milliseconds) {
  return {static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000 * 1000)};
}

// Waits until the connecting socket is writable (connected) or in the exception set
// (refused or failed), at most timeout milliseconds (0: without a bound), and reads the
// outcome; false with the last error set (WSAETIMEDOUT when the time ran out).
bool WaitConnected(SOCKET s, std::uint32_t timeout) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval limit = ToTimeval(timeout);
  int ready = select(0, nullptr, &writable, &failed, timeout != 0 ? &limit : nullptr);
  if (ready < 0) return false;
  if (ready == 0) {
    WSASetLastError(WSAETIMEDOUT);
    return false;
  }
  int error = 0;
  int size = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return false;
  }
  // A failed connect may report no error of its own; it failed all the same.
  if (error == 0 && FD_ISSET(s, &failed)) error = WSAECONNREFUSED;
  WSASetLastError(error);
  return error == 0;
}

}  // namespace

SOCKET OpenStreamSocket(int family) {
  SOCKET s = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return s;
  // A message goes out in several writes; without this, Nagle's algorithm meeting the
  // server's delayed ACK stalls each one.
  BOOL on = TRUE;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    int error = WSAGetLastError();
    closesocket(s);
    WSASetLastError(error);
    return INVALID_SOCKET;
  }
  return s;
}

int CloseSocket(SOCKET s) { return closesocket(s) == 0 ? 0 : -1; }

bool BindSocket(SOCKET s, const sockaddr* address, socklen_t length) {
  return bind(s, address, length) == 0;
}

bool ConnectSocket(SOCKET s, const sockaddr* address, socklen_t length, std::uint32_t timeout) {
  // Non-blocking, so that the wait for the server's answer is ours to bound.
  if (!SetSocketBlocking(s, false)) return false;
  bool connected = connect(s, address, length) == 0;
  if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) connected = WaitConnected(s, timeout);
  int error = WSAGetLastError();
  if (!SetSocketBlocking(s, true)) return false;
  WSASetLastError(error);
  return connected;
}

bool SetSocketBlocking(SOCKET s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

bool SetSocketTimeout(SOCKET s, bool receive, std::uint32_t timeout) {
  DWORD limit = timeout;
  return setsockopt(s, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO,
                    reinterpret_cast<const char*>(&limit), sizeof limit) == 0;
}

int WaitSocketReadable(SOCKET s, std::uint32_t timeout) {
  // select takes no empty set: nothing can arrive, so the time is waited out.
  if (s == INVALID_SOCKET) {
    Sleep(timeout);
    return 0;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval limit = ToTimeval(timeout);
  int ready = select(0, &readable, nullptr, nullptr, &limit);
  return ready < 0 ? -1 : ready;
}

int SendOnce(SOCKET s, const void* data, int length, int flags, bool) {
  // Windows raises no signal on a closed connection, and has no hint for more to come.
  return send(s, static_cast<const char*>(data), length, flags);
}

int ReceiveOnce(SOCKET s, void* buffer, int capacity, int flags) {
  return recv(s, static_cast<char*>(buffer), capacity, flags);
}

bool HasBytesWaiting(SOCKET s) {
  u_long waiting = 0;
  return ioctlsocket(s, FIONREAD, &waiting) == 0 && waiting > 0;
}

int LastSocketError() { return WSAGetLastError(); }

bool LastSocketCallTimedOut() { return WSAGetLastError() == WSAETIMEDOUT; }

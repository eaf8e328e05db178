// The socket calls on Linux: BSD sockets, fcntl's O_NONBLOCK and poll. Failures leave
// errno behind, which LastSocketError maps to its Winsock number.
#include "platform/socket_api.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "platform/posix/error_mapping.h"

namespace {

timeval ToTimeval(std::uint32_t milliseconds) {
  return {static_cast<time_t>(milliseconds / 1000),
          static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
}

// Polls p until one of its events comes or, when bounded, timeout milliseconds have
// passed, retrying after signals with the time that is left. False with errno set:
// ETIMEDOUT when the time ran out, else poll's error.
bool WaitFor(pollfd& p, std::uint32_t timeout, bool bounded) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    int wait = -1;
    if (bounded) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
    }
    int ready = poll(&p, 1, wait);
    if (ready > 0) return true;
    if (ready == 0 && wait != INT_MAX) {
      errno = ETIMEDOUT;
      return false;
    }
    if (ready < 0 && errno != EINTR) return false;
  }
}

// Waits until the connecting socket is writable, at most timeout milliseconds (0:
// without a bound), and reads the outcome of the connect; false with errno set
// (ETIMEDOUT when the time ran out).
bool WaitConnected(SOCKET s, std::uint32_t timeout) {
  pollfd p{s, POLLOUT, 0};
  if (!WaitFor(p, timeout, timeout != 0)) return false;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
  errno = error;
  return error == 0;
}

}  // namespace

SOCKET OpenStreamSocket(int family) {
  SOCKET s = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s == INVALID_SOCKET) return s;
  // A message goes out in several writes; without this, Nagle's algorithm meeting the
  // server's delayed ACK stalls each one.
  int on = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    int error = errno;
    close(s);
    errno = error;
    return INVALID_SOCKET;
  }
  return s;
}

int CloseSocket(SOCKET s) { return close(s); }

bool BindSocket(SOCKET s, const sockaddr* address, socklen_t length) {
  return bind(s, address, length) == 0;
}

bool ConnectSocket(SOCKET s, const sockaddr* address, socklen_t length, std::uint32_t timeout) {
  // Non-blocking, so that the wait for the server's answer is ours to bound.
  if (!SetSocketBlocking(s, false)) return false;
  bool connected = connect(s, address, length) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) connected = WaitConnected(s, timeout);
  int error = errno;
  if (!SetSocketBlocking(s, true)) return false;
  errno = error;
  return connected;
}

bool SetSocketBlocking(SOCKET s, bool blocking) {
  // One call, not a read of the flags and a write: a TLS connection switches for each
  // read of the server's records, and a system call costs microseconds.
  return fcntl(s, F_SETFL, blocking ? 0 : O_NONBLOCK) == 0;
}

bool SetSocketTimeout(SOCKET s, bool receive, std::uint32_t timeout) {
  timeval limit = ToTimeval(timeout);
  return setsockopt(s, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

int WaitSocketReadable(SOCKET s, std::uint32_t timeout) {
  // poll passes over a negative descriptor, so INVALID_SOCKET waits out the time.
  pollfd p{s, POLLIN, 0};
  if (!WaitFor(p, timeout, true)) return errno == ETIMEDOUT ? 0 : -1;
  if (p.revents & POLLNVAL) {
    errno = ENOTSOCK;
    return -1;
  }
  return 1;
}

int SendOnce(SOCKET s, const void* data, int length, int flags, bool more) {
  ssize_t sent;
  do {
    sent = send(s, data, static_cast<std::size_t>(length),
                flags | MSG_NOSIGNAL | (more ? MSG_MORE : 0));
  } while (sent < 0 && errno == EINTR);
  // The send timeout ran out before the peer took a single byte.
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) errno = ETIMEDOUT;
  return static_cast<int>(sent);
}

int ReceiveOnce(SOCKET s, void* buffer, int capacity, int flags) {
  ssize_t received;
  do {
    received = recv(s, buffer, static_cast<std::size_t>(capacity), flags);
  } while (received < 0 && errno == EINTR);
  return static_cast<int>(received);
}

bool HasBytesWaiting(SOCKET s) {
  char byte;
  ssize_t peeked;
  do {
    peeked = recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (peeked < 0 && errno == EINTR);
  return peeked > 0;
}

int LastSocketError() { return WinsockErrorFromErrno(errno); }

bool LastSocketCallTimedOut() { return false; }

// CWSocket over POSIX sockets: creation, binding, connecting by the host-name rule,
// sending, receiving, the readable-wait and closing.
#include "net/socket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "platform/error_numbers.h"
#include "errors/exceptions.h"
#include "errors/raise.h"
#include "platform/error_mapping.h"
#include "platform/last_error.h"

namespace {

[[noreturn]] void RaiseFromErrno() {
  SetLastWinsockErrorFromErrno();
  RaiseSocketError(0);
}

// The rank of a connect failure when several addresses were tried: a refusal tells
// that the host is there, a timeout that something may be; any other error least.
int Telling(int error) {
  if (error == WSAECONNREFUSED) return 2;
  return error == WSAETIMEDOUT ? 1 : 0;
}

timeval ToTimeval(std::uint32_t milliseconds) {
  return {static_cast<time_t>(milliseconds / 1000),
          static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
}

// Polls p until one of its events comes or, when bounded, timeout milliseconds have
// passed, retrying after signals with the time that is left. False with errno set:
// ETIMEDOUT when the time ran out, else poll's error.
bool WaitFor(pollfd& p, std::uint32_t timeout, bool bounded = true) {
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

}  // namespace

CWSocket::~CWSocket() { Close(); }

bool CWSocket::ResolveHost(const char* host, std::uint32_t* address) {
  in6_addr v6;
  if (ParseIPv6Literal(host, &v6)) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return false;
  }
  std::vector<CSocketAddress> found = ResolveAll(host, 0);
  if (found.empty()) return false;
  // IPv4 addresses come first: a name with none has no address SOCKS4 can carry.
  if (found.front().Family() != AF_INET) {
    WSASetLastError(WSAHOST_NOT_FOUND);
    return false;
  }
  *address = reinterpret_cast<const sockaddr_in*>(found.front().Get())->sin_addr.s_addr;
  return true;
}

SOCKET CWSocket::Create() {
  m_bBound = false;
  return Open(AF_INET);
}

SOCKET CWSocket::Open(int family) {
  Close();
  SOCKET s = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s == INVALID_SOCKET) RaiseFromErrno();
  m_hSocket = s;
  m_nFamily = family;
  // A message goes out in several writes; without this, Nagle's algorithm meeting the
  // server's delayed ACK stalls each one.
  int on = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    SetLastWinsockErrorFromErrno();
    Close();
    RaiseSocketError(0);
  }
  if (m_dwTimeout != 0) ApplyTimeout(SO_SNDTIMEO, m_dwTimeout);
  if (m_dwReceiveTimeout != 0) ApplyTimeout(SO_RCVTIMEO, m_dwReceiveTimeout);
  return s;
}

void CWSocket::Bind(std::uint16_t port, const char* address) {
  CSocketAddress local = AnyAddress(m_nFamily, port);
  if (address != nullptr) {
    std::vector<CSocketAddress> found = ResolveAll(address, port);
    if (found.empty()) RaiseSocketError(WSAEINVAL);
    local = found.front();
  }
  // An address of the other family needs a socket of its family.
  if (local.Family() != m_nFamily) Open(local.Family());
  Bind(local.Get(), local.length);
  m_boundAddress = local;
  m_bBound = true;
}

int CWSocket::Bind(const sockaddr* address, socklen_t length) {
  if (bind(m_hSocket, address, length) != 0) RaiseFromErrno();
  return 0;
}

void CWSocket::Connect(const char* host, std::uint16_t port) {
  std::vector<CSocketAddress> addresses = ResolveAll(host, port);
  if (addresses.empty()) RaiseSocketError(0);
  ConnectToAny(addresses);
}

void CWSocket::ConnectToAny(const std::vector<CSocketAddress>& addresses) {
  // A socket bound to a local address reaches only addresses of its family.
  int failure = WSAEAFNOSUPPORT;
  bool fresh = true;  // the socket has not tried an address yet
  for (const CSocketAddress& address : addresses) {
    if (m_bBound && address.Family() != m_boundAddress.Family()) continue;
    try {
      // A socket whose connect failed cannot try again: each address gets a new one.
      if (!fresh || address.Family() != m_nFamily) Reopen(address.Family());
      fresh = false;
      Connect(address.Get(), address.length);
      return;
    } catch (const CWSocketException& e) {
      if (failure == WSAEAFNOSUPPORT || Telling(e.m_nErrorCode) > Telling(failure)) {
        failure = e.m_nErrorCode;
      }
    }
  }
  RaiseSocketError(failure);
}

void CWSocket::Reopen(int family) {
  Open(family);
  if (m_bBound) Bind(m_boundAddress.Get(), m_boundAddress.length);
}

int CWSocket::Connect(const sockaddr* address, socklen_t length) {
  // Non-blocking, so that the wait for the server's answer is ours to bound.
  int flags = fcntl(m_hSocket, F_GETFL);
  if (flags < 0 || fcntl(m_hSocket, F_SETFL, flags | O_NONBLOCK) != 0) RaiseFromErrno();
  int result = connect(m_hSocket, address, length);
  if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) result = WaitConnected();
  int error = errno;
  if (fcntl(m_hSocket, F_SETFL, flags) != 0) RaiseFromErrno();
  errno = error;
  if (result != 0) RaiseFromErrno();
  m_bConnectionMade = true;
  return 0;
}

// Waits until the socket is writable, at most m_dwTimeout (0: without a bound), and
// reads the outcome of the connect; returns 0 or -1 with errno set (ETIMEDOUT when
// the time ran out).
int CWSocket::WaitConnected() {
  pollfd p{m_hSocket, POLLOUT, 0};
  if (!WaitFor(p, m_dwTimeout, m_dwTimeout != 0)) return -1;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return -1;
  errno = error;
  return error == 0 ? 0 : -1;
}

int CWSocket::Send(const void* data, int length, int flags) {
  ssize_t sent;
  do {
    sent = send(m_hSocket, data, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  // The send timeout ran out before the peer took a single byte.
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) RaiseSocketError(WSAETIMEDOUT);
  if (sent < 0) RaiseFromErrno();
  return static_cast<int>(sent);
}

int CWSocket::SendAll(const void* data, int length, bool more) {
  const char* bytes = static_cast<const char*>(data);
  const int flags = more ? MSG_MORE : 0;
  for (int sent = 0; sent < length;) sent += Send(bytes + sent, length - sent, flags);
  return length;
}

int CWSocket::Receive(void* buffer, int capacity, int flags) {
  ssize_t received;
  do {
    received = recv(m_hSocket, buffer, static_cast<std::size_t>(capacity), flags);
  } while (received < 0 && errno == EINTR);
  if (received < 0) RaiseFromErrno();
  return static_cast<int>(received);
}

bool CWSocket::IsReadable(std::uint32_t timeout) {
  if (m_hSocket == INVALID_SOCKET) RaiseSocketError(WSAENOTSOCK);
  // The system reports a socket that never connected as hung up, so ready at once;
  // nothing can ever arrive on it, so it waits out its time instead (poll passes over
  // a negative descriptor).
  pollfd p{m_bConnectionMade ? m_hSocket : INVALID_SOCKET, POLLIN, 0};
  if (!WaitFor(p, timeout)) {
    if (errno == ETIMEDOUT) return false;
    RaiseFromErrno();
  }
  if (p.revents & POLLNVAL) RaiseSocketError(WSAENOTSOCK);
  // A closed peer or a pending error counts as readable: the next Receive tells which.
  return true;
}

bool CWSocket::HasUnreadData() {
  char byte;
  ssize_t peeked;
  do {
    peeked = recv(m_hSocket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (peeked < 0 && errno == EINTR);
  return peeked > 0;
}

void CWSocket::SetTimeout(std::uint32_t timeout) {
  m_dwTimeout = timeout;
  if (m_hSocket != INVALID_SOCKET) ApplyTimeout(SO_SNDTIMEO, timeout);
}

void CWSocket::ApplyTimeout(int option, std::uint32_t timeout) {
  timeval limit = ToTimeval(timeout);
  if (setsockopt(m_hSocket, SOL_SOCKET, option, &limit, sizeof limit) != 0) RaiseFromErrno();
}

void CWSocket::SetReceiveTimeout(std::uint32_t timeout) {
  // A zero time means no bound to the system.
  m_dwReceiveTimeout = std::max<std::uint32_t>(timeout, 1);
  ApplyTimeout(SO_RCVTIMEO, m_dwReceiveTimeout);
}

void CWSocket::WaitReadable(std::uint32_t timeout) {
  if (!IsReadable(timeout)) RaiseSocketError(WSAETIMEDOUT);
}

void CWSocket::ReceiveUntil(unsigned char* buffer, int& received, int count,
                            std::uint32_t timeout) {
  while (received < count) {
    WaitReadable(timeout);
    int n = Receive(buffer + received, count - received, 0);
    if (n == 0) RaiseSocketError(WSAECONNRESET);
    received += n;
  }
}

int CWSocket::Close() {
  if (m_hSocket == INVALID_SOCKET) return -1;
  int result = close(m_hSocket);
  m_hSocket = INVALID_SOCKET;
  m_bConnectionMade = false;
  return result;
}

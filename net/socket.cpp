// CWSocket over POSIX sockets: creation, binding, connecting by the host-name rule,
// sending, receiving, the readable-wait and closing.
#include "net/socket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "platform/error_numbers.h"
#include "errors/raise.h"
#include "platform/error_mapping.h"
#include "platform/last_error.h"

namespace {

[[noreturn]] void RaiseFromErrno() {
  SetLastWinsockErrorFromErrno();
  RaiseSocketError(0);
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = address;
  return a;
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

bool ParseDottedAddress(const char* text, std::uint32_t* address) {
  in_addr_t parsed = inet_addr(text);
  if (parsed == INADDR_NONE) return false;
  *address = parsed;
  return true;
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
  return ParseDottedAddress(host, &v4) ||
         inet_pton(AF_INET6, UnbracketedHost(host).c_str(), &v6) == 1;
}

CWSocket::~CWSocket() { Close(); }

bool CWSocket::ResolveHost(const char* host, std::uint32_t* address) {
  if (ParseDottedAddress(host, address)) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int result = getaddrinfo(host, nullptr, &hints, &found);
  if (result != 0) {
    WSASetLastError(WinsockErrorFromResolver(result, errno));
    return false;
  }
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

SOCKET CWSocket::Create() {
  Close();
  SOCKET s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s == INVALID_SOCKET) RaiseFromErrno();
  // A message goes out in several writes; without this, Nagle's algorithm meeting the
  // server's delayed ACK stalls each one.
  int on = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    SetLastWinsockErrorFromErrno();
    close(s);
    RaiseSocketError(0);
  }
  m_hSocket = s;
  if (m_dwTimeout != 0) ApplySendTimeout();
  return s;
}

void CWSocket::Bind(std::uint16_t port, const char* address) {
  std::uint32_t local = htonl(INADDR_ANY);
  if (address != nullptr && !ResolveHost(address, &local)) RaiseSocketError(WSAEINVAL);
  sockaddr_in a = MakeAddress(local, port);
  Bind(reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

int CWSocket::Bind(const sockaddr* address, socklen_t length) {
  if (bind(m_hSocket, address, length) != 0) RaiseFromErrno();
  return 0;
}

void CWSocket::Connect(const char* host, std::uint16_t port) {
  std::uint32_t remote;
  if (!ResolveHost(host, &remote)) RaiseSocketError(0);
  sockaddr_in a = MakeAddress(remote, port);
  Connect(reinterpret_cast<const sockaddr*>(&a), sizeof a);
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
  pollfd p{m_hSocket, POLLIN, 0};
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
  if (m_hSocket != INVALID_SOCKET) ApplySendTimeout();
}

void CWSocket::ApplySendTimeout() {
  timeval limit = ToTimeval(m_dwTimeout);
  if (setsockopt(m_hSocket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    RaiseFromErrno();
  }
}

void CWSocket::SetReceiveTimeout(std::uint32_t timeout) {
  // A zero time means no bound to the system.
  timeval limit = ToTimeval(std::max<std::uint32_t>(timeout, 1));
  if (setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) RaiseFromErrno();
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
  return result;
}

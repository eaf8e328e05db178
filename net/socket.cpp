// CWSocket over POSIX sockets: creation, binding, connecting by the host-name rule,
// sending, receiving, the readable-wait and closing.
#include "net/socket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include <arpa/inet.h>
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

}  // namespace

bool ParseDottedAddress(const char* text, std::uint32_t* address) {
  in_addr_t parsed = inet_addr(text);
  if (parsed == INADDR_NONE) return false;
  *address = parsed;
  return true;
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
  if (connect(m_hSocket, address, length) != 0 &&
      (errno != EINTR || CompleteInterruptedConnect() != 0)) {
    RaiseFromErrno();
  }
  m_bConnectionMade = true;
  return 0;
}

// A connect that a signal interrupts goes on in the background; calling connect again
// would fail with EALREADY, so wait until the socket is writable and read the outcome.
int CWSocket::CompleteInterruptedConnect() {
  pollfd p{m_hSocket, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&p, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
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
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
  // The system reports a socket that never connected as hung up, so ready at once;
  // nothing can ever arrive on it, so it waits out its time instead (poll passes over
  // a negative descriptor).
  pollfd p{m_bConnectionMade ? m_hSocket : INVALID_SOCKET, POLLIN, 0};
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    int wait = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
    int ready = poll(&p, 1, wait);
    if (ready > 0) break;
    if (ready == 0 && left <= INT_MAX) return false;
    if (ready < 0 && errno != EINTR) RaiseFromErrno();
  }
  if (p.revents & POLLNVAL) RaiseSocketError(WSAENOTSOCK);
  // A closed peer or a pending error counts as readable: the next Receive tells which.
  return true;
}

void CWSocket::SetReceiveTimeout(std::uint32_t timeout) {
  // A zero time means no bound to the system.
  std::uint32_t bound = std::max<std::uint32_t>(timeout, 1);
  timeval limit{static_cast<time_t>(bound / 1000), static_cast<suseconds_t>(bound % 1000 * 1000)};
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
  m_bConnectionMade = false;
  return result;
}

// CWSocket over the platform's sockets: creation, binding, connecting by the host-name
// rule, sending, receiving, the readable-wait and closing.
#include "net/socket.h"

#include <algorithm>

#include "platform/error_numbers.h"
#include "errors/exceptions.h"
#include "errors/raise.h"
#include "platform/last_error.h"

namespace {

[[noreturn]] void RaiseLastSocketError() {
  WSASetLastError(LastSocketError());
  RaiseSocketError(0);
}

// The rank of a connect failure when several addresses were tried: a refusal tells
// that the host is there, a timeout that something may be; any other error least.
int Telling(int error) {
  if (error == WSAECONNREFUSED) return 2;
  return error == WSAETIMEDOUT ? 1 : 0;
}

}  // namespace

CWSocket::~CWSocket() { Close(); }

bool CWSocket::ResolveHost(const char* host, std::uint32_t* address) {
  IPv6Bytes v6;
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
  *address = IPv4AddressOf(found.front());
  return true;
}

SOCKET CWSocket::Create() {
  m_bBound = false;
  return Open(AF_INET);
}

SOCKET CWSocket::Open(int family) {
  Close();
  SOCKET s = OpenStreamSocket(family);
  if (s == INVALID_SOCKET) RaiseLastSocketError();
  m_hSocket = s;
  m_nFamily = family;
  if (m_dwTimeout != 0) ApplyTimeout(false, m_dwTimeout);
  if (m_dwReceiveTimeout != 0) ApplyTimeout(true, m_dwReceiveTimeout);
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
  if (!BindSocket(m_hSocket, address, length)) RaiseLastSocketError();
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
  if (!ConnectSocket(m_hSocket, address, length, m_dwTimeout)) RaiseLastSocketError();
  m_bConnectionMade = true;
  return 0;
}

int CWSocket::Send(const void* data, int length, int flags) {
  return SendPiece(data, length, flags, false);
}

int CWSocket::SendPiece(const void* data, int length, int flags, bool more) {
  int sent = SendOnce(m_hSocket, data, length, flags, more);
  if (sent < 0) RaiseLastSocketError();
  return sent;
}

int CWSocket::SendAll(const void* data, int length, bool more) {
  const char* bytes = static_cast<const char*>(data);
  for (int sent = 0; sent < length;) sent += SendPiece(bytes + sent, length - sent, 0, more);
  return length;
}

int CWSocket::Receive(void* buffer, int capacity, int flags) {
  int received = ReceiveOnce(m_hSocket, buffer, capacity, flags);
  if (received < 0) RaiseLastSocketError();
  return received;
}

bool CWSocket::IsReadable(std::uint32_t timeout) {
  if (m_hSocket == INVALID_SOCKET) RaiseSocketError(WSAENOTSOCK);
  // The system reports a socket that never connected as hung up, so ready at once;
  // nothing can ever arrive on it, so it waits out its time instead. A closed peer or
  // a pending error counts as readable: the next Receive tells which.
  int ready = WaitSocketReadable(m_bConnectionMade ? m_hSocket : INVALID_SOCKET, timeout);
  if (ready < 0) RaiseLastSocketError();
  return ready > 0;
}

bool CWSocket::HasUnreadData() { return HasBytesWaiting(m_hSocket); }

void CWSocket::SetTimeout(std::uint32_t timeout) {
  m_dwTimeout = timeout;
  if (m_hSocket != INVALID_SOCKET) ApplyTimeout(false, timeout);
}

void CWSocket::ApplyTimeout(bool receive, std::uint32_t timeout) {
  if (!SetSocketTimeout(m_hSocket, receive, timeout)) RaiseLastSocketError();
}

void CWSocket::SetReceiveTimeout(std::uint32_t timeout) {
  // A zero time means no bound to the system.
  m_dwReceiveTimeout = std::max<std::uint32_t>(timeout, 1);
  ApplyTimeout(true, m_dwReceiveTimeout);
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
  int result = CloseSocket(m_hSocket);
  m_hSocket = INVALID_SOCKET;
  m_bConnectionMade = false;
  return result;
}

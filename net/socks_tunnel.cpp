// The SOCKS tunnels of CWSocket: SOCKS4 CONNECT (IPv4 only) with an empty user id, and
// SOCKS5 (RFC 1928) CONNECT to an IPv4, IPv6 or named target with optional user name
// and password authentication (RFC 1929).
#include <cstring>
#include <string>

#include "platform/error_numbers.h"
#include "errors/raise.h"
#include "net/socket.h"

namespace {

constexpr char socks4Version = 4;
constexpr char socks5Version = 5;
constexpr char commandConnect = 1;
constexpr char socks4Granted = 90;
constexpr char methodNone = 0;
constexpr char methodUserPassword = 2;
constexpr char userPasswordVersion = 1;  // RFC 1929 sub-negotiation version
constexpr char addressIPv4 = 1;
constexpr char addressDomainName = 3;
constexpr char addressIPv6 = 4;
constexpr std::size_t maxFieldLength = 255;  // every SOCKS5 length is one byte
constexpr int maxSocks5Reply = 262;          // 7 + a 255-byte bound name

void AppendPort(std::string& out, std::uint16_t port) {
  out += static_cast<char>(port >> 8);
  out += static_cast<char>(port & 0xFF);
}

// The address is already in network byte order.
void AppendAddress(std::string& out, std::uint32_t address) {
  out.append(reinterpret_cast<const char*>(&address), sizeof address);
}

// A length byte and the field's bytes; fields longer than 255 bytes raise 87.
void AppendField(std::string& out, const char* field) {
  std::size_t length = std::strlen(field);
  if (length > maxFieldLength) RaiseSocketError(ERROR_INVALID_PARAMETER);
  out += static_cast<char>(length);
  out.append(field, length);
}

std::string Socks5ConnectRequest(const char* host, std::uint16_t port) {
  std::string request{socks5Version, commandConnect, 0 /* reserved */};
  std::uint32_t address;
  IPv6Bytes address6;
  if (ParseDottedAddress(host, &address)) {
    request += addressIPv4;
    AppendAddress(request, address);
  } else if (ParseIPv6Literal(host, &address6)) {
    request += addressIPv6;  // 16 bytes in network byte order follow
    request.append(reinterpret_cast<const char*>(address6.data()), address6.size());
  } else {
    request += addressDomainName;  // the proxy resolves the name
    AppendField(request, host);
  }
  AppendPort(request, port);
  return request;
}

}  // namespace

void CWSocket::ConnectThroughSocks4(const char* host, std::uint16_t port, const char* proxyHost,
                                    std::uint16_t proxyPort, std::uint32_t timeout) {
  ConnectThroughProxy(proxyHost, proxyPort, [&] {
    std::uint32_t address;
    if (!ResolveHost(host, &address)) RaiseSocketError(0);
    std::string request{socks4Version, commandConnect};
    AppendPort(request, port);
    AppendAddress(request, address);
    request += '\0';  // end of the empty user id
    SendAll(request.data(), static_cast<int>(request.size()));

    unsigned char reply[8];
    int received = 0;
    ReceiveUntil(reply, received, sizeof reply, timeout);
    if (reply[0] != 0 || reply[1] != socks4Granted) RaiseSocketError(ERROR_BAD_NET_RESP);
  });
}

void CWSocket::ConnectThroughSocks5(const char* host, std::uint16_t port, const char* proxyHost,
                                    std::uint16_t proxyPort, const char* userName,
                                    const char* password, std::uint32_t timeout) {
  ConnectThroughProxy(proxyHost, proxyPort, [&] {
    bool offerPassword = userName != nullptr;
    std::string greeting{socks5Version, 1, methodNone};
    if (offerPassword) greeting = {socks5Version, 2, methodNone, methodUserPassword};
    SendAll(greeting.data(), static_cast<int>(greeting.size()));

    unsigned char method[2];
    int received = 0;
    ReceiveUntil(method, received, sizeof method, timeout);
    if (offerPassword && method[1] == methodUserPassword) {
      AuthenticateSocks5(userName, password != nullptr ? password : "", timeout);
    } else if (method[1] != methodNone) {
      RaiseSocketError(WSAECONNREFUSED);
    }

    std::string request = Socks5ConnectRequest(host, port);
    SendAll(request.data(), static_cast<int>(request.size()));
    ReadSocks5Reply(timeout);
  });
}

void CWSocket::AuthenticateSocks5(const char* userName, const char* password,
                                  std::uint32_t timeout) {
  std::string request{userPasswordVersion};
  AppendField(request, userName);
  AppendField(request, password);
  SendAll(request.data(), static_cast<int>(request.size()));

  unsigned char reply[2];
  int received = 0;
  ReceiveUntil(reply, received, sizeof reply, timeout);
  if (reply[1] != 0) RaiseSocketError(ERROR_ACCESS_DENIED);
}

// Reads the reply in the pieces its layout dictates (header, name length, rest), so no
// byte of the target's first data is taken.
void CWSocket::ReadSocks5Reply(std::uint32_t timeout) {
  unsigned char reply[maxSocks5Reply];
  int received = 0;
  ReceiveUntil(reply, received, 4, timeout);
  int complete;
  switch (reply[3]) {
    case addressIPv4:
      complete = 10;
      break;
    case addressDomainName:
      ReceiveUntil(reply, received, 5, timeout);
      complete = 7 + reply[4];
      break;
    case addressIPv6:
      complete = 22;
      break;
    default:
      RaiseSocketError(ERROR_INVALID_PARAMETER);
  }
  ReceiveUntil(reply, received, complete, timeout);
  if (reply[1] != 0) RaiseSocketError(ERROR_BAD_NET_RESP);
}

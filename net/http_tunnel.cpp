// The HTTP CONNECT tunnel of CWSocket (RFC 9110 section 9.3.6), with Basic proxy
// authorisation (RFC 7617).
#include <cstdlib>
#include <memory>
#include <string>

#include "codec/base64.h"
#include "platform/error_numbers.h"
#include "errors/raise.h"
#include "net/socket.h"

namespace {

constexpr std::size_t maxReplyHeader = 64 * 1024;  // a proxy cannot make us hold more
constexpr char endOfHeader[] = "\r\n\r\n";
constexpr int statusOk = 200;

// Base64 of "user:password" on one unbroken line, padded with "=".
std::string BasicCredentials(const char* userName, const char* password) {
  std::string pair = std::string(userName) + ":" + password;
  int length = static_cast<int>(pair.size());
  int capacity = CBase64Buffer::RequiredEncodedLength(length, CBase64Buffer::Base64NoLineBreaks);
  if (capacity < 0) RaiseSocketError(ERROR_INVALID_PARAMETER);  // over 1.5 GiB
  auto encoded = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
  int written = 0;
  CBase64Buffer::EncodeRaw(reinterpret_cast<const unsigned char*>(pair.data()), length,
                           encoded.get(), &written, CBase64Buffer::Base64NoLineBreaks);
  return std::string(encoded.get(), static_cast<std::size_t>(written));
}

std::string ConnectRequest(const char* host, std::uint16_t port, const char* userName,
                           const char* password, const char* userAgent) {
  // An IPv6 literal is bracketed, so its colons do not run into the port's.
  IPv6Bytes address6;
  std::string authority = ParseIPv6Literal(host, &address6) && host[0] != '['
                              ? "[" + std::string(host) + "]"
                              : std::string(host);
  std::string request = "CONNECT " + authority + ":" + std::to_string(port) + " HTTP/1.0\r\n";
  if (userName != nullptr) {
    request += "Proxy-authorization: Basic " +
               BasicCredentials(userName, password != nullptr ? password : "") + "\r\n";
  }
  if (userAgent != nullptr) request += "User-Agent: " + std::string(userAgent) + "\r\n";
  request += "\r\n";
  return request;
}

// The status is the number after the first space, read as atoi would; a reply without
// a space has no status and counts as success. The version is not examined.
bool IsTunnelGranted(const std::string& reply) {
  std::size_t space = reply.find(' ');
  if (space == std::string::npos) return true;
  return std::strtol(reply.c_str() + space + 1, nullptr, 10) == statusOk;
}

}  // namespace

void CWSocket::ConnectThroughHttpProxy(const char* host, std::uint16_t port,
                                       const char* proxyHost, std::uint16_t proxyPort,
                                       std::string& reply, const char* userName,
                                       const char* password, std::uint32_t timeout,
                                       const char* userAgent) {
  ConnectThroughProxy(proxyHost, proxyPort, [&] {
    std::string request = ConnectRequest(host, port, userName, password, userAgent);
    SendAll(request.data(), static_cast<int>(request.size()));
    ReadProxyReplyHeader(timeout, reply);
    if (!IsTunnelGranted(reply)) RaiseSocketError(ERROR_CONNECTION_REFUSED);
  });
}

// One byte per receive: whatever follows the blank line is the target's and must stay
// unread.
void CWSocket::ReadProxyReplyHeader(std::uint32_t timeout, std::string& reply) {
  reply.clear();
  while (!reply.ends_with(endOfHeader)) {
    if (reply.size() >= maxReplyHeader) RaiseSocketError(WSAECONNRESET);
    WaitReadable(timeout);
    char byte;
    if (Receive(&byte, 1, 0) == 0) RaiseSocketError(WSAECONNRESET);
    reply += byte;
  }
}

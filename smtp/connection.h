// CTAVSMTPConnection: the SMTP client engine (RFC 5321); one object holds one
// conversation with one server, plain or over implicit TLS, directly or through a
// SOCKS4, SOCKS5 or HTTP CONNECT proxy.
#pragma once

#include <cstdint>
#include <string>

#include "net/socket.h"
#include "net/ssl_socket.h"

// How the TCP connection is made (m_nProxyType).
enum ProxyType : std::int32_t { ProxyNone = 0, ProxySocks4 = 1, ProxySocks5 = 2, ProxyHttp = 3 };

class CTAVSMTPConnection {
 public:
  CTAVSMTPConnection();
  CTAVSMTPConnection(const CTAVSMTPConnection&) = delete;
  CTAVSMTPConnection& operator=(const CTAVSMTPConnection&) = delete;
  virtual ~CTAVSMTPConnection();

  // Session (connection.cpp)

  // "auto" (exactly) takes the local host name, or keeps "auto" when there is none;
  // any other name is stored as it is.
  void SetHeloHostname(const char* name);

  // Transport (transport.cpp): one byte channel whether plain or TLS.
  // In plain mode every operation goes to m_socket and its failures raise
  // CWSocketException. In TLS mode socket and tunnel failures still arrive as
  // CWSocketException; TLS failures raise CTAVSMTPException in facility 4 with the
  // OpenSSL error text (GetOpenSSLErrorText) as "%1", with the id noted below.

  // Creates the socket and, with m_bSSL, a new context (freeing the previous one) and
  // SSL object: 541. A transport still open from an earlier attempt is closed first.
  void CreateTransport();
  // Connects directly (545 when the handshake fails) or through a proxy: SOCKS4 542,
  // SOCKS5 543, HTTP 544. Null user names, passwords and user agents mean none.
  void TransportConnect(const char* host, std::uint16_t port);
  void TransportConnectSocks4(const char* host, std::uint16_t port, const char* proxyHost,
                              std::uint16_t proxyPort, std::uint32_t timeout);
  void TransportConnectSocks5(const char* host, std::uint16_t port, const char* proxyHost,
                              std::uint16_t proxyPort, const char* userName,
                              const char* password, std::uint32_t timeout);
  void TransportConnectHttpProxy(const char* host, std::uint16_t port, const char* proxyHost,
                                 std::uint16_t proxyPort, std::string& reply,
                                 const char* userName, const char* password,
                                 std::uint32_t timeout, const char* userAgent);
  // Sends all length bytes and returns length; 546 when TLS cannot write.
  int TransportSend(const char* data, int length);
  // One receive; 0 (plain) when the server has closed. In TLS mode a result below 1
  // is returned only when the library wants more data, else 547.
  int TransportReceive(char* buffer, int capacity);
  bool TransportIsReadable(std::uint32_t timeout);
  // Shuts TLS down, frees the SSL object and closes the socket. Never raises.
  void TransportClose();

  // Virtual operations

  // The OpenSSL error text of the failure that just happened (it empties the
  // thread's error queue).
  virtual std::string GetOpenSSLErrorText();

  // Data model, in this order; the proxy, binding, timeout and host-name fields are
  // set by the user of the class before Connect.

  CSSLContextRef m_sslContext;      // the OpenSSL context when TLS is on
  CSSLSocket m_sslSocket;           // the TLS socket over m_socket
  bool m_bSSL = false;              // TLS on; set by Connect
  CWSocket m_socket;                // the TCP socket
  bool m_bConnected = false;        // from the transport connection until Disconnect
  std::string m_sLastReply;         // text of the last reply
  std::string m_sHeloHostname;      // the domain sent with EHLO and HELO
  std::uint32_t m_dwTimeout = 60000;  // ms; bounds every single wait for data
  std::int32_t m_nLastReplyCode = 0;  // code of the last complete reply
  std::int32_t m_nProxyType = ProxyNone;
  std::string m_sProxyServer;       // proxy host name or dotted address
  std::int32_t m_nProxyPort = 1080;
  std::string m_sBoundAddress;      // local address to bind to; empty: none
  std::string m_sProxyUserName;     // empty: no proxy authentication
  std::string m_sProxyPassword;
  std::string m_sUserAgent;         // User-Agent for the HTTP proxy; empty: none
};

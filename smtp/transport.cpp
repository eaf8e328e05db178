// The transport operations of CTAVSMTPConnection: each connect, send, receive,
// readable-wait and close goes to the plain socket or to the TLS socket over it.
#include <openssl/ssl.h>

#include <utility>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "smtp/connection.h"

namespace {

// The most that TransportSend holds back for the rest of a text.
constexpr std::size_t maxHeldBack = 16 * 1024;

}  // namespace

std::string CTAVSMTPConnection::GetOpenSSLErrorText() { return ::GetOpenSSLErrorText(); }

void CTAVSMTPConnection::CreateTransport() {
  // The SSL object of an earlier attempt must not outlive the socket it writes to, and
  // nothing held back for it may go out on the new one.
  m_sslSocket.Close();
  m_sHeldBack.clear();
  m_socket.Create();
  if (!m_bSSL) return;  // plain mode calls no OpenSSL function
  // OpenSSL receives on the socket itself, blocking, in the handshake and until a record
  // is complete, whatever made the socket readable: each such wait must be bounded like
  // every other wait for the server.
  m_socket.SetReceiveTimeout(m_dwTimeout);
  // The context of an earlier attempt goes first, so that two are never held at once.
  // The new one keeps the library's defaults: no verification, no client certificate.
  m_sslContext.Release();
  m_sslContext.Attach(SSL_CTX_new(SSLv23_client_method()));
  if (!m_sslSocket.Create(m_sslContext, m_socket)) {
    RaiseSmtpError(msgCreateSSLSocket, FACILITY_ITF, GetOpenSSLErrorText());
  }
}

void CTAVSMTPConnection::TransportConnect(const char* host, std::uint16_t port) {
  if (!m_bSSL) return m_socket.Connect(host, port);
  if (!m_sslSocket.Connect(host, port)) {
    RaiseSmtpError(msgConnectViaSSL, FACILITY_ITF, GetOpenSSLErrorText());
  }
}

void CTAVSMTPConnection::TransportConnectSocks4(const char* host, std::uint16_t port,
                                                const char* proxyHost, std::uint16_t proxyPort,
                                                std::uint32_t timeout) {
  if (!m_bSSL) return m_socket.ConnectThroughSocks4(host, port, proxyHost, proxyPort, timeout);
  if (!m_sslSocket.ConnectThroughSocks4(host, port, proxyHost, proxyPort, timeout)) {
    RaiseSmtpError(msgSocks4ViaSSL, FACILITY_ITF, GetOpenSSLErrorText());
  }
}

void CTAVSMTPConnection::TransportConnectSocks5(const char* host, std::uint16_t port,
                                                const char* proxyHost, std::uint16_t proxyPort,
                                                const char* userName, const char* password,
                                                std::uint32_t timeout) {
  if (!m_bSSL) {
    return m_socket.ConnectThroughSocks5(host, port, proxyHost, proxyPort, userName, password,
                                         timeout);
  }
  if (!m_sslSocket.ConnectThroughSocks5(host, port, proxyHost, proxyPort, userName, password,
                                        timeout)) {
    RaiseSmtpError(msgSocks5ViaSSL, FACILITY_ITF, GetOpenSSLErrorText());
  }
}

void CTAVSMTPConnection::TransportConnectHttpProxy(const char* host, std::uint16_t port,
                                                   const char* proxyHost,
                                                   std::uint16_t proxyPort, std::string& reply,
                                                   const char* userName, const char* password,
                                                   std::uint32_t timeout,
                                                   const char* userAgent) {
  if (!m_bSSL) {
    return m_socket.ConnectThroughHttpProxy(host, port, proxyHost, proxyPort, reply, userName,
                                            password, timeout, userAgent);
  }
  if (!m_sslSocket.ConnectThroughHttpProxy(host, port, proxyHost, proxyPort, reply, userName,
                                           password, timeout, userAgent)) {
    RaiseSmtpError(msgHttpProxyViaSSL, FACILITY_ITF, GetOpenSSLErrorText());
  }
}

int CTAVSMTPConnection::TransportSend(const char* data, int length, bool more) {
  // A message goes out in pieces (header block, empty line, body, end of data): one send
  // for each would cost a system call, and over TLS a record, per piece.
  const auto size = static_cast<std::size_t>(length);
  if (m_sHeldBack.size() + size <= maxHeldBack && (more || !m_sHeldBack.empty())) {
    m_sHeldBack.append(data, size);
    if (!more) SendHeldBack(false);
    return length;
  }
  SendHeldBack(true);
  SendThrough(data, size, more);
  return length;
}

void CTAVSMTPConnection::SendHeldBack(bool more) {
  if (m_sHeldBack.empty()) return;
  // Emptied first: after a failed send nothing of it may go out with a later text.
  const std::string text = std::exchange(m_sHeldBack, {});
  SendThrough(text.data(), text.size(), more);
}

void CTAVSMTPConnection::SendThrough(const char* data, std::size_t length, bool more) {
  // An empty body is an empty send; TLS may not be asked to write nothing.
  if (length == 0) return;
  // A plain send may take only part of the text; the rest must follow, not be lost.
  if (!m_bSSL) {
    m_socket.SendAll(data, static_cast<int>(length), more);
    return;
  }
  if (m_sslSocket.Send(data, static_cast<int>(length)) < 1) {
    RaiseSmtpError(msgSendViaSSL, FACILITY_ITF, GetOpenSSLErrorText());
  }
}

int CTAVSMTPConnection::TransportReceive(char* buffer, int capacity) {
  if (!m_bSSL) return m_socket.Receive(buffer, capacity, 0);
  int received = m_sslSocket.Receive(buffer, capacity);
  if (received < 1 && SSL_get_error(m_sslSocket.GetSSL(), received) != SSL_ERROR_WANT_READ) {
    RaiseSmtpError(msgReceiveViaSSL, FACILITY_ITF, GetOpenSSLErrorText());
  }
  return received;
}

bool CTAVSMTPConnection::TransportIsReadable(std::uint32_t timeout) {
  if (!m_bSSL) return m_socket.IsReadable(timeout);
  return m_sslSocket.IsReadable(timeout);
}

void CTAVSMTPConnection::TransportClose() {
  m_sHeldBack.clear();
  if (m_bSSL) m_sslSocket.Close();
  // Also closes the socket of a TLS transport whose SSL object could not be made.
  m_socket.Close();
}

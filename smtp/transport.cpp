// The transport operations of CTAVSMTPConnection: each connect, send, receive,
// readable-wait and close goes to the plain socket or to the TLS socket over it.
#include <openssl/ssl.h>

#include <utility>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/error_numbers.h"
#include "platform/last_error.h"
#include "platform/socket_api.h"
#include "smtp/connection.h"

namespace {

// The most that TransportSend holds back for the rest of a text.
constexpr std::size_t maxHeldBack = 16 * 1024;

// What a receive raises when its receive timeout ran out on Linux (WSAEWOULDBLOCK,
// EAGAIN mapped; Windows raises WSAETIMEDOUT), and on a socket that
// never connected (WSAENOTCONN).
constexpr int receiveWouldBlock = 10035;
constexpr int notConnected = 10057;

}  // namespace

std::string CTAVSMTPConnection::GetOpenSSLErrorText() { return ::GetOpenSSLErrorText(); }

void CTAVSMTPConnection::CreateTransport() {
  // The SSL object of an earlier attempt must not outlive the socket it writes to, and
  // nothing held back for it may go out on the new one.
  m_sslSocket.Close();
  m_sHeldBack.clear();
  m_socket.SetTimeout(m_dwTimeout);
  m_socket.Create();
  if (!m_bSSL && !m_bStartTLS) return;  // plain mode calls no OpenSSL function
  // OpenSSL receives on the socket itself, blocking, in the handshake: each such wait
  // must be bounded like every other wait for the server.
  m_socket.SetReceiveTimeout(m_dwTimeout);
  m_dwReceiveTimeout = m_dwTimeout;
  // The context of an earlier attempt goes first, so that two are never held at once.
  // The new one has no client certificate; the server's is checked as TLSVerification
  // says.
  m_sslContext.Release();
  m_sslContext.Attach(SSL_CTX_new(SSLv23_client_method()));
  const CTLSVerification verification = TLSVerification();
  if (m_sslContext.Get() != nullptr) {
    // A trust that cannot be set up fails here, before a byte is sent.
    std::string failure = PrepareVerification(m_sslContext.Get(), verification);
    if (!failure.empty()) {
      RaiseSmtpError(msgCreateSSLSocket, FACILITY_ITF, failure + GetOpenSSLErrorText());
    }
  }
  m_sslSocket.SetVerification(verification);
  // With STARTTLS the SSL object is made when the server has agreed to the switch.
  if (m_bSSL) CreateSSLObject();
}

void CTAVSMTPConnection::CreateSSLObject() {
  if (!m_sslSocket.Create(m_sslContext, m_socket)) {
    RaiseSmtpError(msgCreateSSLSocket, FACILITY_ITF, GetOpenSSLErrorText());
  }
}

bool CTAVSMTPConnection::AsksForCertificateCheck() const {
  return (m_nTLSVerify != TLSVerifyDefault && m_nTLSVerify != TLSVerifyOff) ||
         !m_sTLSCAFile.empty() || !m_sTLSFingerprint.empty();
}

CTLSVerification CTAVSMTPConnection::TLSVerification() const {
  // Unless told, the check is on for STARTTLS, which is new (also beside implicit TLS,
  // which then takes its place), and off for implicit TLS alone, whose users have never
  // had their servers checked. A CA file named is a check asked for, as a pin is.
  bool verify = m_nTLSVerify == TLSVerifyDefault ? m_bStartTLS : m_nTLSVerify != TLSVerifyOff;
  return {verify || !m_sTLSCAFile.empty(), m_sTLSCAFile, m_sTLSFingerprint};
}

std::string CTAVSMTPConnection::TLSFailureText() {
  return m_sslSocket.GetVerificationFailure() + GetOpenSSLErrorText();
}

void CTAVSMTPConnection::TransportConnect(const char* host, std::uint16_t port) {
  if (!m_bSSL) return m_socket.Connect(host, port);
  if (!m_sslSocket.Connect(host, port)) {
    RaiseSmtpError(msgConnectViaSSL, FACILITY_ITF, TLSFailureText());
  }
}

void CTAVSMTPConnection::TransportConnectSocks4(const char* host, std::uint16_t port,
                                                const char* proxyHost, std::uint16_t proxyPort,
                                                std::uint32_t timeout) {
  if (!m_bSSL) return m_socket.ConnectThroughSocks4(host, port, proxyHost, proxyPort, timeout);
  if (!m_sslSocket.ConnectThroughSocks4(host, port, proxyHost, proxyPort, timeout)) {
    RaiseSmtpError(msgSocks4ViaSSL, FACILITY_ITF, TLSFailureText());
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
    RaiseSmtpError(msgSocks5ViaSSL, FACILITY_ITF, TLSFailureText());
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
    RaiseSmtpError(msgHttpProxyViaSSL, FACILITY_ITF, TLSFailureText());
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
  std::string text = std::exchange(m_sHeldBack, {});
  SendThrough(text.data(), text.size(), more);
  // Its room is kept for the next message's pieces.
  text.clear();
  m_sHeldBack.swap(text);
}

void CTAVSMTPConnection::SendThrough(const char* data, std::size_t length, bool more) {
  // An empty body is an empty send; TLS may not be asked to write nothing.
  if (length == 0) return;
  // A plain send may take only part of the text; the rest must follow, not be lost.
  if (!m_bSSL) {
    m_socket.SendAll(data, static_cast<int>(length), more);
    return;
  }
  int sent = m_sslSocket.Send(data, static_cast<int>(length));
  if (sent > 0) return;
  // The socket's send timeout ran out while the server took nothing.
  if (m_sslSocket.TimedOut(sent, SSL_ERROR_WANT_WRITE)) {
    GetOpenSSLErrorText();
    RaiseSocketError(WSAETIMEDOUT);
  }
  RaiseSmtpError(msgSendViaSSL, FACILITY_ITF, GetOpenSSLErrorText());
}

int CTAVSMTPConnection::TransportReceive(char* buffer, int capacity) {
  if (!m_bSSL) return m_socket.Receive(buffer, capacity, 0);
  int received = m_sslSocket.Receive(buffer, capacity);
  if (received > 0) return received;
  if (SSL_get_error(m_sslSocket.GetSSL(), received) == SSL_ERROR_WANT_READ) return -1;
  RaiseSmtpError(msgReceiveViaSSL, FACILITY_ITF, GetOpenSSLErrorText());
}

bool CTAVSMTPConnection::TransportReceiveWaiting(char* buffer, int capacity, int& count) {
  if (m_dwReceiveTimeout != m_dwTimeout) {
    m_socket.SetReceiveTimeout(m_dwTimeout);
    m_dwReceiveTimeout = m_dwTimeout;
  }
  const int lastError = WSAGetLastError();
  try {
    count = m_socket.Receive(buffer, capacity, 0);
    return true;
  } catch (const CWSocketException& e) {
    // Read from the exception, not the thread's last error, which what ran since the
    // failed receive may have replaced.
    const bool timedOut = e.m_nErrorCode == receiveWouldBlock || e.m_nErrorCode == WSAETIMEDOUT;
    if (!timedOut && e.m_nErrorCode != notConnected) throw;
    // Like a readable-wait that ran out, it leaves no error behind.
    WSASetLastError(lastError);
    // Nothing can ever arrive on a socket that never connected (a proxy type that
    // connects nowhere), which is never readable: the wait takes its whole time.
    if (e.m_nErrorCode == notConnected) m_socket.IsReadable(m_dwTimeout);
    return false;
  }
}

bool CTAVSMTPConnection::TransportIsReadable(std::uint32_t timeout) {
  if (!m_bSSL) return m_socket.IsReadable(timeout);
  return m_sslSocket.IsReadable(timeout);
}

void CTAVSMTPConnection::TransportClose() {
  m_sHeldBack.clear();
  m_sReadAhead.clear();
  // Also the SSL object of a STARTTLS handshake that failed; without one, no OpenSSL
  // function is called.
  m_sslSocket.Close();
  // Also closes the socket of a TLS transport whose SSL object could not be made.
  m_socket.Close();
}

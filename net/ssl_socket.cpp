// CSSLContextRef, CSSLSessionRef and CSSLSocket over OpenSSL 3, and the error queue
// as text.
#include "net/ssl_socket.h"

#include <thread>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/error_numbers.h"
#include "errors/raise.h"
#include "platform/socket_api.h"

namespace {

constexpr int maxShutdownCalls = 3;
constexpr std::size_t errorLineSize = 256;  // ERR_error_string's buffer, NUL included

// The socket as OpenSSL keeps it, an int (a Windows socket handle is a small number).
int SslDescriptor(SOCKET s) { return static_cast<int>(s); }

// Makes the socket of ssl (a blocking one) non-blocking for as long as it lives.
class NonBlocking {
 public:
  explicit NonBlocking(SSL* ssl) : fd(SSL_get_fd(ssl)) {
    switched = fd >= 0 && SetSocketBlocking(static_cast<SOCKET>(fd), false);
  }
  NonBlocking(const NonBlocking&) = delete;
  NonBlocking& operator=(const NonBlocking&) = delete;
  ~NonBlocking() {
    if (switched) SetSocketBlocking(static_cast<SOCKET>(fd), true);
  }

 private:
  int fd;
  bool switched;
};

// Sends our close notification and gives the peer's a short chance to arrive. The
// socket is closed right after, so it is made non-blocking first: a blocking
// SSL_shutdown would wait for the peer's notification as long as the peer likes, and
// for room to write ours. Errors of the shutdown are nobody's business: they are
// dropped from the error queue so a later failure's details do not carry them.
void ShutDown(SSL* ssl) {
  NonBlocking nonBlocking(ssl);
  ERR_set_mark();
  for (int calls = 1; SSL_shutdown(ssl) == 0 && calls < maxShutdownCalls; ++calls) {
    std::this_thread::yield();
  }
  ERR_pop_to_mark();
}

}  // namespace

void CSSLContextRef::Attach(SSL_CTX* context) {
  Release();
  m_pContext = context;
}

void CSSLContextRef::Release() {
  if (m_pContext != nullptr) SSL_CTX_free(m_pContext);
  m_pContext = nullptr;
}

void CSSLSessionRef::Attach(SSL* ssl) {
  Release();
  m_pSSL = ssl;
}

void CSSLSessionRef::Release() {
  if (m_pSSL != nullptr) {
    ShutDown(m_pSSL);
    SSL_free(m_pSSL);
  }
  m_pSSL = nullptr;
}

bool CSSLSocket::Create(const CSSLContextRef& context, CWSocket& socket) {
  SSL* ssl = SSL_new(context.Get());
  if (ssl == nullptr) return false;
  m_ssl.Attach(ssl);
  if (SSL_set_fd(ssl, SslDescriptor(socket.GetSocketHandle())) == 1) {
    m_pSocket = &socket;
    return true;
  }
  Close();
  return false;
}

bool CSSLSocket::Handshake(const char* host) {
  m_sVerificationFailure.clear();
  // Connecting may have replaced the socket with one of another address's family.
  if (SSL_set_fd(m_ssl.Get(), SslDescriptor(m_pSocket->GetSocketHandle())) != 1) return false;
  // Addresses of either family have no SNI (RFC 6066 section 3).
  if (!IsAddressLiteral(host) && SSL_set_tlsext_host_name(m_ssl.Get(), host) != 1) return false;
  if (!RequestVerification(m_ssl.Get(), m_verification, host)) return false;
  int result = SSL_connect(m_ssl.Get());
  // The server has gone quiet in the middle of the handshake.
  if (result != 1 && TimedOut(result, SSL_ERROR_WANT_READ)) RaiseSocketError(WSAETIMEDOUT);
  m_sVerificationFailure = result == 1 ? CheckPinnedFingerprint(m_ssl.Get(), m_verification)
                                       : DescribeVerificationFailure(m_ssl.Get());
  return result == 1 && m_sVerificationFailure.empty();
}

bool CSSLSocket::StartTls(const char* host) {
  if (m_pSocket == nullptr) return false;
  return Handshake(host);
}

bool CSSLSocket::Connect(const char* host, std::uint16_t port) {
  if (m_pSocket == nullptr) return false;
  m_pSocket->Connect(host, port);
  return Handshake(host);
}

bool CSSLSocket::ConnectThroughSocks4(const char* host, std::uint16_t port,
                                      const char* proxyHost, std::uint16_t proxyPort,
                                      std::uint32_t timeout) {
  if (m_pSocket == nullptr) return false;
  m_pSocket->ConnectThroughSocks4(host, port, proxyHost, proxyPort, timeout);
  return Handshake(host);
}

bool CSSLSocket::ConnectThroughSocks5(const char* host, std::uint16_t port,
                                      const char* proxyHost, std::uint16_t proxyPort,
                                      const char* userName, const char* password,
                                      std::uint32_t timeout) {
  if (m_pSocket == nullptr) return false;
  m_pSocket->ConnectThroughSocks5(host, port, proxyHost, proxyPort, userName, password,
                                  timeout);
  return Handshake(host);
}

bool CSSLSocket::ConnectThroughHttpProxy(const char* host, std::uint16_t port,
                                         const char* proxyHost, std::uint16_t proxyPort,
                                         std::string& reply, const char* userName,
                                         const char* password, std::uint32_t timeout,
                                         const char* userAgent) {
  if (m_pSocket == nullptr) return false;
  m_pSocket->ConnectThroughHttpProxy(host, port, proxyHost, proxyPort, reply, userName,
                                     password, timeout, userAgent);
  return Handshake(host);
}

bool CSSLSocket::TimedOut(int result, int wanted) const {
  int error = SSL_get_error(m_ssl.Get(), result);
  return error == wanted || (error == SSL_ERROR_SYSCALL && LastSocketCallTimedOut());
}

int CSSLSocket::Send(const void* data, int length) { return SSL_write(m_ssl.Get(), data, length); }

int CSSLSocket::Receive(void* buffer, int capacity) {
  // The caller waits for the socket with a bound of its own; a blocking read could
  // wait on for the rest of a record that a server trickles.
  NonBlocking nonBlocking(m_ssl.Get());
  return SSL_read(m_ssl.Get(), buffer, capacity);
}

bool CSSLSocket::IsReadable(std::uint32_t timeout) {
  if (m_ssl.Get() != nullptr && SSL_pending(m_ssl.Get()) > 0) return true;
  if (m_pSocket == nullptr) RaiseSocketError(WSAENOTSOCK);
  return m_pSocket->IsReadable(timeout);
}

int CSSLSocket::Close() {
  m_ssl.Release();
  if (m_pSocket == nullptr) return -1;
  int result = m_pSocket->Close();
  m_pSocket = nullptr;
  return result;
}

std::string GetOpenSSLErrorText() {
  std::string text;
  for (unsigned long error; (error = ERR_get_error()) != 0;) {
    char line[errorLineSize];
    ERR_error_string_n(error, line, sizeof line);
    text += line;
    text += "\r\n";
  }
  return text;
}

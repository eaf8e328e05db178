// The TLS channel over OpenSSL: owners of an SSL_CTX and an SSL object, and
// CSSLSocket, which runs TLS (implicit, RFC 8314) over a connected CWSocket, directly
// or through one of its proxy tunnels.
//
// Contexts keep the library's defaults: no client certificate and, unless a
// CTLSVerification asks for it, no certificate verification. The server name (SNI,
// RFC 6066) is sent when the host is a name. CSSLSocket reports TLS failures through
// its results and leaves the details in the thread's OpenSSL error queue
// (GetOpenSSLErrorText), a failed certificate check also in GetVerificationFailure;
// socket and tunnel failures arrive as CWSocketException from the CWSocket.
#pragma once

#include <cstdint>
#include <string>

#include <openssl/types.h>

#include "net/socket.h"
#include "net/tls_verification.h"

class CSSLContextRef {
 public:
  CSSLContextRef() = default;
  CSSLContextRef(const CSSLContextRef&) = delete;
  CSSLContextRef& operator=(const CSSLContextRef&) = delete;
  ~CSSLContextRef() { Release(); }

  // Releases the held context, then holds context (which may be null).
  void Attach(SSL_CTX* context);
  void Release();
  SSL_CTX* Get() const { return m_pContext; }

 private:
  SSL_CTX* m_pContext = nullptr;
};

class CSSLSessionRef {
 public:
  CSSLSessionRef() = default;
  CSSLSessionRef(const CSSLSessionRef&) = delete;
  CSSLSessionRef& operator=(const CSSLSessionRef&) = delete;
  ~CSSLSessionRef() { Release(); }

  // Releases the held object, then holds ssl (which may be null).
  void Attach(SSL* ssl);
  // Shuts TLS down (at most three SSL_shutdown calls) and frees the object.
  void Release();
  SSL* Get() const { return m_pSSL; }

 private:
  SSL* m_pSSL = nullptr;
};

class CSSLSocket {
 public:
  CSSLSocket() = default;
  CSSLSocket(const CSSLSocket&) = delete;
  CSSLSocket& operator=(const CSSLSocket&) = delete;
  virtual ~CSSLSocket() { Close(); }

  // A new SSL object of context over socket's handle. False when OpenSSL cannot make
  // one; the socket is remembered only on success.
  bool Create(const CSSLContextRef& context, CWSocket& socket);

  // The check that each later handshake makes of the server's certificate; none by
  // default.
  void SetVerification(const CTLSVerification& verification) { m_verification = verification; }

  // Each connects the socket (directly or through the tunnel of the same name, whose
  // failures raise CWSocketException) and then shakes hands; true only when the
  // handshake succeeded and the certificate passed the check. A server that stops
  // answering in the handshake for longer than the socket's receive timeout
  // (CWSocket::SetReceiveTimeout) raises 10060.
  bool Connect(const char* host, std::uint16_t port);
  bool ConnectThroughSocks4(const char* host, std::uint16_t port, const char* proxyHost,
                            std::uint16_t proxyPort, std::uint32_t timeout);
  bool ConnectThroughSocks5(const char* host, std::uint16_t port, const char* proxyHost,
                            std::uint16_t proxyPort, const char* userName, const char* password,
                            std::uint32_t timeout);
  bool ConnectThroughHttpProxy(const char* host, std::uint16_t port, const char* proxyHost,
                               std::uint16_t proxyPort, std::string& reply, const char* userName,
                               const char* password, std::uint32_t timeout,
                               const char* userAgent);

  // Shakes hands over the socket that is connected already (STARTTLS, RFC 3207), as
  // the Connect operations do after connecting.
  bool StartTls(const char* host);

  // The reason and remedy (one line ending in CR LF) when the last handshake failed
  // the certificate check; "" otherwise.
  const std::string& GetVerificationFailure() const { return m_sVerificationFailure; }

  // One SSL_write and one SSL_read; their results unchanged. SSL_write may wait for
  // room as long as the socket's send timeout allows (TimedOut tells when it ran
  // out). SSL_read never waits: without a complete record it wants
  // more (SSL_ERROR_WANT_READ) at once.
  int Send(const void* data, int length);
  int Receive(void* buffer, int capacity);
  // True when result, of a handshake or a Send on the blocking socket, failed because
  // the socket's receive or send timeout ran out: on Linux the library then wants to
  // read or write again (wanted: SSL_ERROR_WANT_READ or SSL_ERROR_WANT_WRITE), on
  // Windows the system call failed with the timeout's own error.
  bool TimedOut(int result, int wanted) const;
  // True at once while decrypted bytes wait in the library, else the socket's wait.
  bool IsReadable(std::uint32_t timeout);
  // Shuts TLS down, frees the SSL object and closes the socket; the socket's close
  // result, or -1 when no socket was remembered.
  int Close();

  SSL* GetSSL() const { return m_ssl.Get(); }

 private:
  // The handshake with the server named host (the SNI is sent when it is a name).
  bool Handshake(const char* host);

  CSSLSessionRef m_ssl;
  CWSocket* m_pSocket = nullptr;  // owned by the connection; closed by Close
  CTLSVerification m_verification;
  std::string m_sVerificationFailure;
};

// The thread's OpenSSL error queue as text, oldest entry first, one line per entry,
// each ending in CR LF; the queue is empty afterwards.
std::string GetOpenSSLErrorText();

// The TLS session of a connection as the check reports it: protocol and cipher, the
// server's certificate (subject, names, issuer, validity, SHA-256 fingerprint) and
// whether it names the server and holds at this moment.
#pragma once

#include <string>
#include <vector>

#include <openssl/types.h>

struct TlsFacts {
  std::string protocol;  // "TLSv1.3"
  std::string cipher;
  std::string subject;   // one line, RFC 2253
  std::string issuer;
  std::vector<std::string> names;  // the DNS names and IP addresses it is for
  std::string notBefore;  // "2026-12-09 06:00:00 UTC"
  std::string notAfter;
  std::string fingerprint;  // as TLSFingerprint takes it
  bool certificate = false;   // the server sent one
  bool namesServer = false;   // it is for the host the settings name
  bool expired = false;
  bool notYetValid = false;
  std::string verification;  // the check's outcome in words
};

// The facts of ssl's session, after a completed handshake with host (a name or an
// address literal). verified: the handshake checked the certificate (TLSVerify, or
// pinned: TLSFingerprint).
TlsFacts DescribeTlsSession(SSL* ssl, const std::string& host, bool verified, bool pinned);

// The facts as detail lines of the report.
std::vector<std::string> TlsDetails(const TlsFacts& facts);

// The time now as the certificate's times are written.
std::string ClockText();

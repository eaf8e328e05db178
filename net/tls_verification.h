// How a TLS client checks the server's certificate: against trusted CAs with the
// host's name or address (OpenSSL's own chain and host checks), or against a pinned
// SHA-256 fingerprint; and the words that tell a user why a check failed and what to
// set instead.
#pragma once

#include <string>

#include <openssl/types.h>

// The check that a handshake makes. With a fingerprint, the pin alone decides.
struct CTLSVerification {
  bool verifyPeer = false;  // the chain must lead to a trusted CA and name the host
  std::string caFile;       // PEM file of trusted CAs; empty: the system's store
  std::string fingerprint;  // SHA-256 of the certificate, hex with or without colons
};

// Loads the trust of verification into context: the CA file whenever one is named
// (also beside a pin, which still alone decides), else for verifyPeer without a pin the
// system's store. Returns "" on success, else a line (ending in CR LF) saying what is
// wrong: a CA file that cannot be read or holds no certificate, or a fingerprint that
// is not 64 hexadecimal digits.
std::string PrepareVerification(SSL_CTX* context, const CTLSVerification& verification);

// Asks ssl's handshake to make the check for host (a name, or an IPv4 or IPv6
// literal, bracketed or not). False when OpenSSL cannot take host.
bool RequestVerification(SSL* ssl, const CTLSVerification& verification, const char* host);

// After a failed handshake: the reason in words and the remedy, in one line ending in
// CR LF, when the certificate check failed it; "" otherwise.
std::string DescribeVerificationFailure(SSL* ssl);

// After a completed handshake: "" when no pin is set or the server's certificate
// matches it; else a line (ending in CR LF) saying the fingerprint does not match and
// giving the server's.
std::string CheckPinnedFingerprint(SSL* ssl, const CTLSVerification& verification);

// The SHA-256 of certificate in upper-case hexadecimal pairs joined by colons, as
// "openssl x509 -fingerprint -sha256" shows it and TLSFingerprint takes it; "" when it
// cannot be computed.
std::string CertificateFingerprint(X509* certificate);

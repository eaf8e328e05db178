// TLS helpers for tests: a self-signed certificate made with openssl at test time, a
// test CA that issues server certificates (valid, expired, for any names), a TLS echo
// server (tls_echo_server.h) and a TLS stub server that trickles or cuts its
// records (tls_stub_server.py), each on a free port of 127.0.0.1.
#pragma once

#include <filesystem>

#include "tests/support/server_process.h"
#include "tests/support/tls_echo_server.h"

struct TestCertificate {
  std::filesystem::path certificate;
  std::filesystem::path key;
};

// A fresh P-256 key and a self-signed certificate for "localhost" in dir. Throws
// std::runtime_error with openssl's output when it fails.
TestCertificate MakeTestCertificate(const TempDir& dir);

// A certificate authority made with openssl in a directory of its own. Its operations
// throw std::runtime_error with openssl's output when openssl fails.
class TestCertificateAuthority {
 public:
  TestCertificateAuthority();
  // The CA's certificate (PEM), for a client's list of trusted CAs.
  std::filesystem::path Certificate() const { return dir.Path() / "ca.pem"; }
  // A fresh key and a server certificate for common name cn with the subject
  // alternative names altNames ("DNS:localhost,IP:127.0.0.1"), signed by the CA and
  // valid from yesterday for two days, or, when expired, only in January 2020. Each
  // call makes files of its own.
  TestCertificate Issue(const std::string& cn, const std::string& altNames,
                        bool expired = false) const;

 private:
  TempDir dir;
  mutable int issued = 0;
};

// The SHA-256 fingerprint of the PEM certificate at path as openssl shows it
// ("AB:CD:..."). Throws std::runtime_error when openssl fails.
std::string Sha256Fingerprint(const std::filesystem::path& certificate);

// A TLS server that decides how the bytes of its records leave (tls_stub_server.py).
// Trickle sends every byte alone, of the handshake and of a short SMTP dialogue ("220 hi",
// "250 ok" to every command, "354 go ahead" to DATA, "250 queued" to the message's end,
// "221 bye" to QUIT); PartialRecord completes the handshake, then sends the first half of
// the greeting's record and goes silent.
class TlsStubServer {
 public:
  enum Mode { Trickle, PartialRecord };
  explicit TlsStubServer(Mode mode);
  std::uint16_t Port() const { return server.Port(); }

 private:
  TempDir dir;
  TestCertificate certificate;
  ServerProcess server;
};

#include "tests/support/tls_server.h"

#include <stdexcept>
#include <string>

TestCertificate MakeTestCertificate(const TempDir& dir) {
  TestCertificate made{dir.Path() / "cert.pem", dir.Path() / "key.pem"};
  std::string output;
  int status = RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                           "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                           "/CN=localhost", "-keyout", made.key.string(), "-out",
                           made.certificate.string()},
                          &output);
  if (status != 0) throw std::runtime_error("openssl req failed:\n" + output);
  return made;
}

TlsEchoServer::TlsEchoServer()
    : certificate(MakeTestCertificate(dir)),
      server([this](std::uint16_t port) {
        return std::vector<std::string>{"/usr/bin/python3",
                                        EMAILER_TEST_SUPPORT_DIR "/tls_echo_server.py",
                                        std::to_string(port), certificate.certificate.string(),
                                        certificate.key.string()};
      }) {}

TlsStubServer::TlsStubServer(Mode mode)
    : certificate(MakeTestCertificate(dir)),
      server([this, mode](std::uint16_t port) {
        return std::vector<std::string>{"/usr/bin/python3",
                                        EMAILER_TEST_SUPPORT_DIR "/tls_stub_server.py",
                                        std::to_string(port), certificate.certificate.string(),
                                        certificate.key.string(),
                                        mode == Trickle ? "trickle" : "partial"};
      }) {}

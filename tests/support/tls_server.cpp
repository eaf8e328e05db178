#include "tests/support/tls_server.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace {

void RunOpenssl(const std::vector<std::string>& argv, std::string* output = nullptr) {
  std::string log;
  if (RunCommand(argv, &log) != 0) throw std::runtime_error(argv[1] + " failed:\n" + log);
  if (output != nullptr) *output = log;
}

// What "openssl ca" needs: a database, a serial and a policy that takes any subject.
constexpr char caConfig[] = R"([ca]
default_ca = test_ca
[test_ca]
dir = .
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
default_md = sha256
policy = any_subject
unique_subject = no
[any_subject]
commonName = supplied
[ca_extensions]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
)";

}  // namespace

TestCertificate MakeTestCertificate(const TempDir& dir) {
  TestCertificate made{dir.Path() / "cert.pem", dir.Path() / "key.pem"};
  RunOpenssl({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=localhost",
              "-keyout", made.key.string(), "-out", made.certificate.string()});
  return made;
}

TestCertificateAuthority::TestCertificateAuthority() {
  dir.Write("ca.cnf", caConfig);
  dir.Write("index.txt", "");
  dir.Write("serial", "1000\n");
  const std::string at = dir.Path().string() + "/";
  RunOpenssl({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
              "/CN=e-mailer test CA", "-config", at + "ca.cnf", "-extensions", "ca_extensions",
              "-keyout", at + "ca.key", "-out", at + "ca.pem"});
}

TestCertificate TestCertificateAuthority::Issue(const std::string& cn,
                                                const std::string& altNames,
                                                bool expired) const {
  const std::string at = dir.Path().string() + "/";
  const std::string name = "leaf" + std::to_string(++issued);
  TestCertificate made{at + name + ".pem", at + name + ".key"};
  dir.Write(name + ".ext", "[leaf]\nbasicConstraints = CA:false\nsubjectAltName = " +
                               altNames + "\nextendedKeyUsage = serverAuth\n");
  RunOpenssl({"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=" + cn, "-keyout",
              made.key.string(), "-out", at + name + ".csr"});
  // "openssl ca" finds its files relative to the working directory: -config names
  // them with the directory in front instead.
  std::string config = ReadFile(dir.Path() / "ca.cnf");
  dir.Write(name + ".cnf", config.replace(config.find("dir = ."), 7, "dir = " + at));
  std::vector<std::string> argv{"openssl", "ca", "-batch", "-notext", "-config", at + name + ".cnf",
                                "-cert", at + "ca.pem", "-keyfile", at + "ca.key", "-in",
                                at + name + ".csr", "-out", made.certificate.string(),
                                "-extfile", at + name + ".ext", "-extensions", "leaf"};
  if (expired) {
    argv.insert(argv.end(), {"-startdate", "20200101000000Z", "-enddate", "20200102000000Z"});
  } else {
    argv.insert(argv.end(), {"-days", "2"});
  }
  RunOpenssl(argv);
  return made;
}

std::string Sha256Fingerprint(const std::filesystem::path& certificate) {
  std::string output;
  RunOpenssl({"openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
              certificate.string()},
             &output);
  std::size_t equals = output.find('=');
  if (equals == std::string::npos) throw std::runtime_error("no fingerprint in " + output);
  std::string fingerprint = output.substr(equals + 1);
  while (!fingerprint.empty() && (fingerprint.back() == '\n' || fingerprint.back() == '\r')) {
    fingerprint.pop_back();
  }
  return fingerprint;
}

struct TlsEchoServer::Running {
  TempDir dir;
  TestCertificate certificate = MakeTestCertificate(dir);
  ServerProcess server{[this](std::uint16_t port) {
    return std::vector<std::string>{"/usr/bin/python3",
                                    EMAILER_TEST_SUPPORT_DIR "/tls_echo_server.py",
                                    std::to_string(port), certificate.certificate.string(),
                                    certificate.key.string()};
  }};
};

TlsEchoServer::TlsEchoServer() : running(std::make_unique<Running>()) {}

TlsEchoServer::~TlsEchoServer() = default;

std::uint16_t TlsEchoServer::Port() const { return running->server.Port(); }

TlsStubServer::TlsStubServer(Mode mode)
    : certificate(MakeTestCertificate(dir)),
      server([this, mode](std::uint16_t port) {
        return std::vector<std::string>{"/usr/bin/python3",
                                        EMAILER_TEST_SUPPORT_DIR "/tls_stub_server.py",
                                        std::to_string(port), certificate.certificate.string(),
                                        certificate.key.string(),
                                        mode == Trickle ? "trickle" : "partial"};
      }) {}

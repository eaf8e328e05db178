// Certificate checks of the TLS client over OpenSSL 3: SSL_VERIFY_PEER with the CA
// file or the system's store, SSL_set1_host or the IP address check for the host, and
// the SHA-256 pin.
#include "net/tls_verification.h"

#include <cctype>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "net/socket.h"
#include "platform/trusted_certificates.h"

namespace {

constexpr std::size_t sha256Size = 32;
constexpr char remedy[] =
    ". Name its CA in TLSCAFile, pin its certificate with TLSFingerprint, or turn the "
    "check off with TLSVerify 0\r\n";

// The pin as 64 lower-case hexadecimal digits, colons dropped; "" when it is not that.
std::string NormalisedFingerprint(const std::string& fingerprint) {
  std::string digits;
  for (char c : fingerprint) {
    if (c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return digits.size() == 2 * sha256Size ? digits : std::string();
}

}  // namespace

std::string CertificateFingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string shown;
  for (unsigned i = 0; i < length; ++i) {
    if (i != 0) shown += ':';
    shown += hex[digest[i] >> 4];
    shown += hex[digest[i] & 0x0F];
  }
  return shown;
}

std::string PrepareVerification(SSL_CTX* context, const CTLSVerification& verification) {
  if (!verification.fingerprint.empty() &&
      NormalisedFingerprint(verification.fingerprint).empty()) {
    return "TLSFingerprint \"" + verification.fingerprint +
           "\" is not a SHA-256 fingerprint (64 hexadecimal digits, colons allowed)\r\n";
  }
  // A CA file that was named is loaded even beside a pin, which then alone decides: a
  // file that cannot be used is a mistake to tell, never a setting to pass over.
  if (!verification.caFile.empty()) {
    if (SSL_CTX_load_verify_locations(context, verification.caFile.c_str(), nullptr) == 1) {
      return {};
    }
    return "TLSCAFile \"" + verification.caFile +
           "\" cannot be read or holds no PEM certificate\r\n";
  }
  if (!verification.verifyPeer || !verification.fingerprint.empty()) return {};
  if (LoadSystemTrustedCertificates(SSL_CTX_get_cert_store(context))) return {};
  return "the system's trusted certificates cannot be loaded\r\n";
}

bool RequestVerification(SSL* ssl, const CTLSVerification& verification, const char* host) {
  // A pin is compared once the handshake is done; nothing else may refuse the server.
  if (!verification.verifyPeer || !verification.fingerprint.empty()) {
    SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
    return true;
  }
  SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
  std::string bare = UnbracketedHost(host);
  if (IsAddressLiteral(host)) {
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), bare.c_str()) == 1;
  }
  return SSL_set1_host(ssl, bare.c_str()) == 1;
}

std::string DescribeVerificationFailure(SSL* ssl) {
  // Without the check, a result that is not X509_V_OK refused nothing.
  long result = SSL_get_verify_result(ssl);
  if ((SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) == 0 || result == X509_V_OK) return {};
  return std::string("the server's certificate is not trusted: ") +
         X509_verify_cert_error_string(result) + remedy;
}

std::string CheckPinnedFingerprint(SSL* ssl, const CTLSVerification& verification) {
  if (verification.fingerprint.empty()) return {};
  X509* certificate = SSL_get0_peer_certificate(ssl);
  std::string shown = certificate != nullptr ? CertificateFingerprint(certificate) : std::string();
  if (!shown.empty() &&
      NormalisedFingerprint(shown) == NormalisedFingerprint(verification.fingerprint)) {
    return {};
  }
  return "the server's certificate is not trusted: fingerprint does not match TLSFingerprint "
         "(the server's SHA-256 fingerprint is " + (shown.empty() ? "unknown" : shown) + ")\r\n";
}

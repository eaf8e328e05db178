// The TLS session and the server's certificate in words, from OpenSSL's view of them.
#include "app/mailer/check_tls.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "app/mailer/check_report.h"
#include "net/host_address.h"
#include "net/tls_verification.h"
#include "platform/socket_api.h"

namespace {

std::string Asn1TimeText(const ASN1_TIME* time) {
  std::tm parts{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return "unknown";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string NameText(const X509_NAME* name) {
  std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
  if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253) < 0) return {};
  char* data = nullptr;
  long length = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

// An iPAddress name: 4 bytes of IPv4 or 16 of IPv6.
std::string IpAddressText(const ASN1_OCTET_STRING* bytes) {
  if (bytes->length == 4) {
    std::uint32_t address = 0;
    std::memcpy(&address, bytes->data, 4);
    return AddressText(IPv4SocketAddress(address, 0));
  }
  IPv6Bytes address{};
  if (bytes->length != static_cast<int>(address.size())) return "?";
  std::memcpy(address.data(), bytes->data, address.size());
  return AddressText(IPv6SocketAddress(address, 0));
}

std::vector<std::string> SubjectNames(X509* certificate) {
  std::vector<std::string> names;
  auto* list = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; i < sk_GENERAL_NAME_num(list); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(list, i);
    if (name->type == GEN_DNS) {
      const ASN1_IA5STRING* dns = name->d.dNSName;
      names.emplace_back(reinterpret_cast<const char*>(dns->data), dns->length);
    } else if (name->type == GEN_IPADD) {
      names.push_back(IpAddressText(name->d.iPAddress));
    }
  }
  GENERAL_NAMES_free(list);
  return names;
}

bool CertificateNames(X509* certificate, const std::string& host) {
  std::string bare = UnbracketedHost(host.c_str());
  if (IsAddressLiteral(host.c_str())) return X509_check_ip_asc(certificate, bare.c_str(), 0) == 1;
  return X509_check_host(certificate, bare.c_str(), bare.size(), 0, nullptr) == 1;
}

std::string VerificationText(SSL* ssl, bool verified, bool pinned) {
  if (pinned) return "matches TLSFingerprint (the pin alone decides)";
  if (!verified) return "not checked (TLSVerify 1 or StartTLS turns the check on)";
  long result = SSL_get_verify_result(ssl);
  if (result == X509_V_OK) return "verified: a trusted CA issued it for the server's name";
  return std::string("refused: ") + X509_verify_cert_error_string(result);
}

}  // namespace

std::string ClockText() { return UtcTimeText(std::time(nullptr)); }

TlsFacts DescribeTlsSession(SSL* ssl, const std::string& host, bool verified, bool pinned) {
  TlsFacts facts;
  facts.protocol = SSL_get_version(ssl);
  const char* cipher = SSL_get_cipher_name(ssl);
  facts.cipher = cipher != nullptr ? cipher : "";
  facts.verification = VerificationText(ssl, verified, pinned);
  X509* certificate = SSL_get0_peer_certificate(ssl);
  if (certificate == nullptr) return facts;
  facts.certificate = true;
  facts.subject = NameText(X509_get_subject_name(certificate));
  facts.issuer = NameText(X509_get_issuer_name(certificate));
  facts.names = SubjectNames(certificate);
  facts.notBefore = Asn1TimeText(X509_get0_notBefore(certificate));
  facts.notAfter = Asn1TimeText(X509_get0_notAfter(certificate));
  facts.fingerprint = CertificateFingerprint(certificate);
  facts.namesServer = CertificateNames(certificate, host);
  facts.expired = X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0;
  facts.notYetValid = X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0;
  return facts;
}

std::vector<std::string> TlsDetails(const TlsFacts& facts) {
  if (!facts.certificate) return {"the server sent no certificate"};
  std::string names;
  for (const std::string& name : facts.names) names += (names.empty() ? "" : ", ") + name;
  return {"subject: " + facts.subject,
          "names: " + (names.empty() ? std::string("none") : names),
          "issuer: " + facts.issuer,
          "valid from " + facts.notBefore + " to " + facts.notAfter,
          "verification: " + facts.verification,
          "fingerprint (TLSFingerprint): " + facts.fingerprint};
}

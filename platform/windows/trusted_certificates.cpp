// The system's trusted certificates on Windows: the certificates of the ROOT system store
// (the user's and the machine's trusted root CAs), read with CryptoAPI, less those the
// system distrusts: one in the Disallowed store, or one whose usages (its own extended
// key usage, or the store's restriction of it) leave out server authentication.
#include "platform/trusted_certificates.h"

#include <windows.h>
#include <wincrypt.h>
// wincrypt.h gives some of its own types OpenSSL's names; OpenSSL's are meant here.
#undef X509_NAME
#undef X509_EXTENSIONS
#undef PKCS7_ISSUER_AND_SERIAL
#undef PKCS7_SIGNER_INFO
#undef OCSP_REQUEST
#undef OCSP_RESPONSE

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstring>
#include <vector>

namespace {

// True when the Disallowed store holds a certificate with the same encoding as c.
bool IsDisallowed(HCERTSTORE disallowed, PCCERT_CONTEXT c) {
  if (disallowed == nullptr) return false;
  PCCERT_CONTEXT found = CertFindCertificateInStore(disallowed, c->dwCertEncodingType, 0,
                                                    CERT_FIND_EXISTING, c, nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

// True when c may vouch for servers: no usage restriction at all, or one that names
// server authentication. CertGetEnhancedKeyUsage joins the certificate's extension and
// the usages the store sets for it.
bool ServesServerAuthentication(PCCERT_CONTEXT c) {
  DWORD size = 0;
  if (!CertGetEnhancedKeyUsage(c, 0, nullptr, &size)) {
    // No usage is set anywhere: every usage is allowed.
    return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  }
  std::vector<unsigned char> buffer(size);
  auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
  SetLastError(0);
  if (!CertGetEnhancedKeyUsage(c, 0, usage, &size)) return false;
  // No identifiers with no error: the certificate is good for no usage at all; with
  // the error CRYPT_E_NOT_FOUND, for all of them.
  if (usage->cUsageIdentifier == 0) {
    return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  }
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_SERVER_AUTH) == 0) return true;
  }
  return false;
}

}  // namespace

bool LoadSystemTrustedCertificates(X509_STORE* store) {
  HCERTSTORE roots = CertOpenSystemStoreA(0, "ROOT");
  if (roots == nullptr) return false;
  HCERTSTORE disallowed = CertOpenSystemStoreA(0, "Disallowed");
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(roots, c)) != nullptr;) {
    if (IsDisallowed(disallowed, c) || !ServesServerAuthentication(c)) continue;
    const unsigned char* der = c->pbCertEncoded;
    // A certificate that OpenSSL cannot read is passed over, as the folder's are on Linux.
    if (X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(c->cbCertEncoded))) {
      X509_STORE_add_cert(store, certificate);
      X509_free(certificate);
    }
  }
  if (disallowed != nullptr) CertCloseStore(disallowed, 0);
  CertCloseStore(roots, 0);
  return true;
}

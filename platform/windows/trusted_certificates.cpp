// The system's trusted certificates on Windows: every certificate of the ROOT system
// store (the user's and the machine's trusted root CAs), read with CryptoAPI.
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

bool LoadSystemTrustedCertificates(X509_STORE* store) {
  HCERTSTORE roots = CertOpenSystemStoreA(0, "ROOT");
  if (roots == nullptr) return false;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(roots, c)) != nullptr;) {
    const unsigned char* der = c->pbCertEncoded;
    // A certificate that OpenSSL cannot read is passed over, as the folder's are on Linux.
    if (X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(c->cbCertEncoded))) {
      X509_STORE_add_cert(store, certificate);
      X509_free(certificate);
    }
  }
  CertCloseStore(roots, 0);
  return true;
}

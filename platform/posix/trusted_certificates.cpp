// The system's trusted certificates on Linux: OpenSSL's default locations.
#include "platform/trusted_certificates.h"

#include <openssl/x509_vfy.h>

bool LoadSystemTrustedCertificates(X509_STORE* store) {
  return X509_STORE_set_default_paths(store) == 1;
}

// The certificates that the system trusts to sign servers' certificates.
#pragma once

#include <openssl/types.h>

// Adds the system's trusted CA certificates to store: OpenSSL's default locations on
// Linux (the system's certificate folder and bundle), the ROOT certificate store on
// Windows, which OpenSSL does not read by itself. False when the system's store cannot
// be opened.
bool LoadSystemTrustedCertificates(X509_STORE* store);

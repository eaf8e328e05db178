// PKCE (RFC 7636) and the state, over OpenSSL's generator and SHA-256.
#include "oauth/pkce.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <vector>

#include "errors/message_table.h"
#include "errors/raise.h"

namespace {

std::string Base64Url(const unsigned char* bytes, std::size_t count) {
  std::vector<unsigned char> text(4 * ((count + 2) / 3) + 1);
  int length = EVP_EncodeBlock(text.data(), bytes, static_cast<int>(count));
  std::string url(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(length));
  while (!url.empty() && url.back() == '=') url.pop_back();
  for (char& c : url) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return url;
}

}  // namespace

std::string RandomUrlText(std::size_t count) {
  std::vector<unsigned char> bytes(count);
  if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
    RaiseSmtpError(msgOAuthSignIn, FACILITY_ITF, "the random generator failed");
  }
  return Base64Url(bytes.data(), count);
}

std::string S256Challenge(const std::string& verifier) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
  return Base64Url(digest, sizeof digest);
}

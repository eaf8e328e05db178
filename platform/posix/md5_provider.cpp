// MD5 through OpenSSL's digest interface; the provider is OpenSSL's fetched MD5.
#include "platform/md5_provider.h"

#include <openssl/evp.h>

#include "platform/error_numbers.h"

namespace {

EVP_MD* Implementation(Md5ProviderHandle provider) {
  return reinterpret_cast<EVP_MD*>(provider);
}

}  // namespace

Md5ProviderHandle AcquireMd5Provider() {
  return reinterpret_cast<Md5ProviderHandle>(EVP_MD_fetch(nullptr, "MD5", nullptr));
}

void ReleaseMd5Provider(Md5ProviderHandle provider) { EVP_MD_free(Implementation(provider)); }

bool ComputeMd5(Md5ProviderHandle provider, std::initializer_list<Md5Range> parts,
                Md5Value& output, std::uint32_t& error) {
  if (provider == 0) {
    error = ERROR_INVALID_HANDLE;
    return false;
  }
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context != nullptr &&
            EVP_DigestInit_ex(context, Implementation(provider), nullptr) == 1;
  for (const auto& [data, length] : parts) {
    ok = ok && EVP_DigestUpdate(context, data, length) == 1;
  }
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(context, output.data(), &size) == 1 && size == output.size();
  EVP_MD_CTX_free(context);
  if (!ok) error = ERROR_NOT_ENOUGH_MEMORY;
  return ok;
}

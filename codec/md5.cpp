#include "codec/md5.h"

#include <cstring>

#include <openssl/evp.h>

#include "platform/error_numbers.h"
#include "platform/last_error.h"

namespace {

constexpr std::size_t blockSize = 64;

}  // namespace

std::string CMD5Digest::ToHex(bool upper) const {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text(32, '0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 0x0F];
  }
  return text;
}

CMD5Hasher::CMD5Hasher() : provider(EVP_MD_fetch(nullptr, "MD5", nullptr)) {}

CMD5Hasher::~CMD5Hasher() { EVP_MD_free(provider); }

bool CMD5Hasher::Digest(std::initializer_list<std::pair<const unsigned char*, std::size_t>> parts,
                        CMD5Digest& output) {
  if (provider == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context != nullptr && EVP_DigestInit_ex(context, provider, nullptr) == 1;
  for (const auto& [data, length] : parts) {
    ok = ok && EVP_DigestUpdate(context, data, length) == 1;
  }
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(context, output.bytes.data(), &size) == 1 &&
       size == output.bytes.size();
  EVP_MD_CTX_free(context);
  if (!ok) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return ok;
}

bool CMD5Hasher::Hash(const unsigned char* data, std::size_t length, CMD5Digest& output) {
  return Digest({{data, length}}, output);
}

bool CMD5Hasher::Hmac(const unsigned char* text, std::size_t textLength, const unsigned char* key,
                      unsigned keyLength, CMD5Digest& output) {
  // A key longer than a block is replaced by its digest; a 64-byte key is used as is.
  CMD5Digest hashedKey;
  if (keyLength > blockSize) {
    if (!Hash(key, keyLength, hashedKey)) return false;
    key = hashedKey.bytes.data();
    keyLength = static_cast<unsigned>(hashedKey.bytes.size());
  }
  unsigned char innerPad[blockSize] = {};
  unsigned char outerPad[blockSize] = {};
  if (keyLength > 0) {
    std::memcpy(innerPad, key, keyLength);
    std::memcpy(outerPad, key, keyLength);
  }
  for (std::size_t i = 0; i < blockSize; ++i) {
    innerPad[i] ^= 0x36;
    outerPad[i] ^= 0x5c;
  }
  CMD5Digest inner;
  return Digest({{innerPad, blockSize}, {text, textLength}}, inner) &&
         Digest({{outerPad, blockSize}, {inner.bytes.data(), inner.bytes.size()}}, output);
}

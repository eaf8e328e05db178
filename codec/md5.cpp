// MD5 and HMAC-MD5 through the system's MD5 provider, and the hexadecimal text of a digest.
#include "codec/md5.h"

#include <cstring>

#include "platform/last_error.h"
#include "platform/secure_clear.h"

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

CMD5Hasher::CMD5Hasher() : provider(AcquireMd5Provider()) {}

CMD5Hasher::~CMD5Hasher() { ReleaseMd5Provider(provider); }

bool CMD5Hasher::Digest(std::initializer_list<Md5Range> parts, CMD5Digest& output) {
  std::uint32_t error = 0;
  if (ComputeMd5(provider, parts, output.bytes, error)) return true;
  SetLastError(error);
  return false;
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
  bool made = Digest({{innerPad, blockSize}, {text, textLength}}, inner) &&
              Digest({{outerPad, blockSize}, {inner.bytes.data(), inner.bytes.size()}}, output);
  // The pads are the key (a password) in thin disguise.
  SecureClear(innerPad, blockSize);
  SecureClear(outerPad, blockSize);
  SecureClear(hashedKey.bytes.data(), hashedKey.bytes.size());
  return made;
}

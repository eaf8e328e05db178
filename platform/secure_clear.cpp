#include "platform/secure_clear.h"

#include <openssl/crypto.h>

void SecureClear(void* data, std::size_t size) { OPENSSL_cleanse(data, size); }

void SecureClear(std::string& text) {
  // Within the capacity the string keeps its storage: the bytes past the text become
  // part of it and are overwritten with it.
  text.resize(text.capacity());
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

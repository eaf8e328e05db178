// MD5 (RFC 1321) through the system's provider, and HMAC-MD5 (RFC 2104, 64-byte blocks)
// built around it, for the CRAM-MD5 answer.
//
// Hash and Hmac report failure only by returning false; the thread's last error then
// says why: the system's number for the failing MD5 call (on Linux 6, invalid handle,
// when there is no provider, 8, not enough memory, when a digest call failed). The
// output is unspecified after a failure.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "platform/md5_provider.h"

struct CMD5Digest {
  Md5Value bytes{};

  // 32 hexadecimal digits, high nibble first; "a"-"f" or, with upper, "A"-"F".
  std::string ToHex(bool upper) const;
};

class CMD5Hasher {
 public:
  CMD5Hasher();
  virtual ~CMD5Hasher();
  CMD5Hasher(const CMD5Hasher&) = delete;
  CMD5Hasher& operator=(const CMD5Hasher&) = delete;

  bool Hash(const unsigned char* data, std::size_t length, CMD5Digest& output);
  bool Hmac(const unsigned char* text, std::size_t textLength, const unsigned char* key,
            unsigned keyLength, CMD5Digest& output);

 private:
  // Feeds the parts in order into one fresh MD5 computation.
  bool Digest(std::initializer_list<Md5Range> parts, CMD5Digest& output);

  Md5ProviderHandle provider;  // 0 when none could be acquired
};

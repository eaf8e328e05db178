#include "codec/md5.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace {

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string HmacHex(const std::string& key, const std::string& text) {
  CMD5Hasher hasher;
  CMD5Digest digest;
  EXPECT_TRUE(hasher.Hmac(Bytes(text), text.size(), Bytes(key), static_cast<unsigned>(key.size()),
                          digest));
  return digest.ToHex(false);
}

}  // namespace

TEST(Md5, Rfc1321Vectors) {
  CMD5Hasher hasher;
  const std::pair<std::string, std::string> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
  };
  for (const auto& [text, hex] : vectors) {
    CMD5Digest digest;
    ASSERT_TRUE(hasher.Hash(Bytes(text), text.size(), digest));
    EXPECT_EQ(digest.ToHex(false), hex);
  }
}

TEST(HmacMd5, Rfc2202Vectors) {
  const struct {
    std::string key, text, hex;
  } vectors[] = {
      {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
      {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15"
       "\x16\x17\x18\x19",
       std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
      {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "6f630fad67cda0ee1fb1f562db3aa53e"},
  };
  for (const auto& v : vectors) EXPECT_EQ(HmacHex(v.key, v.text), v.hex) << v.text;
}

TEST(HmacMd5, KeyOfOneBlockIsUsedAsIsAndLongerKeysAreHashed) {
  // A 65-byte key must act like its 16-byte digest; a 64-byte key must not.
  CMD5Hasher hasher;
  std::string key65(65, 'k');
  CMD5Digest keyDigest;
  ASSERT_TRUE(hasher.Hash(Bytes(key65), key65.size(), keyDigest));
  std::string hashedKey(reinterpret_cast<const char*>(keyDigest.bytes.data()), 16);
  EXPECT_EQ(HmacHex(key65, "text"), HmacHex(hashedKey, "text"));

  std::string key64(64, 'k');
  ASSERT_TRUE(hasher.Hash(Bytes(key64), key64.size(), keyDigest));
  std::string hashed64(reinterpret_cast<const char*>(keyDigest.bytes.data()), 16);
  EXPECT_NE(HmacHex(key64, "text"), HmacHex(hashed64, "text"));
  // The 64-byte key fills the block exactly; a trailing zero byte changes nothing.
  EXPECT_EQ(HmacHex(std::string(63, 'k'), "text"), HmacHex(std::string(63, 'k') + '\0', "text"));
}

TEST(HmacMd5, EmptyKeyAndTextUseAnAllZeroKeyBlock) {
  EXPECT_EQ(HmacHex("", ""), "74e6f7298a9c2d168935f58c001bad88");
  EXPECT_EQ(HmacHex("", ""), HmacHex(std::string(64, '\0'), ""));
}

TEST(Md5Provider, WithoutAProviderTheComputationFailsWithANumber) {
  // A hasher whose provider could not be acquired must fail, never report success
  // with error 0 (which the CRAM-MD5 step would raise as "no error").
  Md5Value value{};
  std::uint32_t error = 0;
  EXPECT_FALSE(ComputeMd5(0, {{Bytes("abc"), 3}}, value, error));
  EXPECT_NE(error, 0u);
}

TEST(Md5Digest, ToHexCaseAndLength) {
  CMD5Digest digest;
  digest.bytes[0] = 0xAB;
  digest.bytes[15] = 0x0F;
  EXPECT_EQ(digest.ToHex(false), "ab00000000000000000000000000000f");
  EXPECT_EQ(digest.ToHex(true), "AB00000000000000000000000000000F");
}

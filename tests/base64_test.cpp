#include "codec/base64.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "errors/exceptions.h"

namespace {

constexpr std::uint32_t kFlagSets[] = {0, CBase64Buffer::Base64NoPadding,
                                       CBase64Buffer::Base64NoLineBreaks,
                                       CBase64Buffer::Base64NoPadding |
                                           CBase64Buffer::Base64NoLineBreaks};

std::string Encode(const std::string& in, std::uint32_t flags = 0) {
  CBase64Buffer b;
  b.Encode(reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()), flags);
  return std::string(b.Data(), static_cast<std::size_t>(b.Length()));
}

std::string Decode(const std::string& in) {
  CBase64Buffer b;
  b.Decode(in.data(), static_cast<int>(in.size()));
  return std::string(b.Data(), static_cast<std::size_t>(b.Length()));
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// The decoding rule written the slow, obvious way: collect up to four valid
// characters, skip everything else, emit (6k)/8 bytes per group.
std::string ReferenceDecode(const std::string& in) {
  std::string out;
  std::size_t i = 0;
  while (i < in.size()) {
    std::uint32_t bits = 0;
    int k = 0;
    for (; i < in.size() && k < 4; ++i) {
      int v = CBase64Buffer::DecodeChar(static_cast<unsigned char>(in[i]));
      if (v >= 0) bits = (bits << 6) | static_cast<std::uint32_t>(v), ++k;
    }
    bits <<= 6 * (4 - k);
    for (int b = 0; b < 6 * k / 8; ++b) out += static_cast<char>(bits >> (16 - 8 * b));
  }
  return out;
}

}  // namespace

TEST(Base64Encode, Rfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {"abc", "YWJj"},  {"ab", "YWI="},        {"a", "YQ=="}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(Encode(plain), encoded) << plain;
    EXPECT_EQ(Decode(encoded), plain) << encoded;
  }
  EXPECT_EQ(Encode("a", CBase64Buffer::Base64NoPadding), "YQ");
  EXPECT_EQ(Encode("ab", CBase64Buffer::Base64NoPadding), "YWI");
}

TEST(Base64Encode, EmptyInputGivesEmptyNulTerminatedTextWithEveryFlagSet) {
  for (std::uint32_t flags : kFlagSets) {
    CBase64Buffer b;
    b.Encode("", flags);
    ASSERT_NE(b.Data(), nullptr);
    EXPECT_EQ(b.Length(), 0);
    EXPECT_EQ(b.Data()[0], '\0');
  }
}

TEST(Base64Encode, LineBreaksFollowEveryComplete76CharacterLine) {
  std::string s57 = Encode(std::string(57, 'x'));
  EXPECT_EQ(s57.size(), 78u);
  EXPECT_EQ(s57.substr(76), "\r\n");

  std::string s58 = Encode(std::string(58, 'x'));
  EXPECT_EQ(s58.size(), 82u);
  EXPECT_EQ(s58.substr(76, 2), "\r\n");
  EXPECT_EQ(s58.substr(78), "eA==");

  std::string s114 = Encode(std::string(114, 'x'));
  EXPECT_EQ(s114.size(), 156u);
  EXPECT_EQ(s114.substr(76, 2), "\r\n");
  EXPECT_EQ(s114.substr(154), "\r\n");

  std::string s60 = Encode(std::string(60, 'x'));  // 20 groups: one full line, one group after
  EXPECT_EQ(s60.size(), 76u + 2 + 4);
  EXPECT_EQ(s60.substr(78).find('\r'), std::string::npos);
}

TEST(Base64Encode, MatchesOpenSslAndStaysWithinTheRequiredLength) {
  for (int n = 0; n <= 400; ++n) {
    std::string in = RandomBytes(static_cast<std::size_t>(n), static_cast<unsigned>(n));
    std::string reference(static_cast<std::size_t>(4 * ((n + 2) / 3)) + 1, '\0');
    int refLength = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()),
                                    reinterpret_cast<const unsigned char*>(in.data()), n);
    reference.resize(static_cast<std::size_t>(refLength));

    std::string flat = Encode(in, CBase64Buffer::Base64NoLineBreaks);
    EXPECT_EQ(flat, reference) << n;

    std::string lines = Encode(in);
    std::string joined;
    for (char c : lines) {
      if (c != '\r' && c != '\n') joined += c;
    }
    EXPECT_EQ(joined, reference) << n;
    EXPECT_EQ(lines.size() - joined.size(), 2 * static_cast<std::size_t>(n / 57)) << n;

    for (std::uint32_t flags : kFlagSets) {
      EXPECT_LE(static_cast<int>(Encode(in, flags).size()),
                CBase64Buffer::RequiredEncodedLength(n, flags))
          << n << " flags " << flags;
    }
  }
}

TEST(Base64Encode, RequiredLengthFormula) {
  EXPECT_EQ(CBase64Buffer::RequiredEncodedLength(0, 0), 2);
  EXPECT_EQ(CBase64Buffer::RequiredEncodedLength(0, CBase64Buffer::Base64NoLineBreaks), 0);
  EXPECT_EQ(CBase64Buffer::RequiredEncodedLength(1, 0), 6);
  EXPECT_EQ(CBase64Buffer::RequiredEncodedLength(57, 0), 80);
  EXPECT_EQ(CBase64Buffer::RequiredDecodedLength(17), 17);
  // Beyond what 32 bits can count the length is refused rather than wrapped.
  EXPECT_EQ(CBase64Buffer::RequiredEncodedLength(2000000000, 0), -1);
  EXPECT_EQ(CBase64Buffer::RequiredEncodedLength(-1, 0), -1);
}

TEST(Base64Decode, IsLenientAboutForeignCharacters) {
  EXPECT_EQ(Decode("YWJj\r\nZA=="), "abcd");
  EXPECT_EQ(Decode("Y W J j"), "abc");
  EXPECT_EQ(Decode("QQ==QQ=="), std::string("\x41\x04\x10", 3));
  EXPECT_EQ(Decode("Q"), "");
  EXPECT_EQ(Decode("QQ"), "A");
  EXPECT_EQ(Decode(std::string("YW\0Jj", 5)), "abc");
  EXPECT_EQ(Decode("\x80\xff*YWJj!"), "abc");
}

TEST(Base64Decode, AgreesWithTheObviousRuleOnNoisyInput) {
  // Base64 text with random foreign bytes mixed in at random places, so that both the
  // whole-group path and the character-by-character path are crossed at every offset.
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string text = Encode(RandomBytes(rng() % 200, static_cast<unsigned>(round)));
    std::string noisy;
    for (char c : text) {
      if (rng() % 5 == 0) noisy += static_cast<char>(rng());
      noisy += c;
    }
    EXPECT_EQ(Decode(noisy), ReferenceDecode(noisy)) << round;
  }
}

TEST(Base64Decode, RoundTripsLineBrokenText) {
  for (std::size_t n : {0u, 1u, 2u, 56u, 57u, 58u, 1000u, 65536u}) {
    std::string in = RandomBytes(n, static_cast<unsigned>(n));
    EXPECT_EQ(Decode(Encode(in)), in) << n;
  }
}

TEST(Base64Buffer, OwningOperationsKeepANulAfterTheOutput) {
  CBase64Buffer b;
  EXPECT_EQ(b.Data(), nullptr);
  b.Decode("MzM0IFVzZXJuYW1lOg==");
  EXPECT_STREQ(b.Data(), "334 Username:");
  b.Encode("abc", 0);  // replaces the earlier contents
  EXPECT_STREQ(b.Data(), "YWJj");
}

TEST(Base64Buffer, NullSourceRaisesTheCodersMessage) {
  CBase64Buffer b;
  try {
    b.Encode(nullptr, 0);
    FAIL();
  } catch (const CTAVSMTPException& e) {
    EXPECT_EQ(static_cast<std::uint32_t>(e.m_hrError), 0x8004021Cu);
    EXPECT_STREQ(e.what(), "Failed to base64 encode data");
  }
  try {
    b.Decode(nullptr);
    FAIL();
  } catch (const CTAVSMTPException& e) {
    EXPECT_EQ(static_cast<std::uint32_t>(e.m_hrError), 0x8004021Bu);
  }
  int written = 0;
  EXPECT_FALSE(CBase64Buffer::EncodeRaw(nullptr, 0, nullptr, &written, 0));
  EXPECT_FALSE(CBase64Buffer::DecodeRaw("QQ", 2, nullptr, &written));
}

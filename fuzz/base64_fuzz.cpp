// Fuzzes the Base64 decoder with any bytes (a server's AUTH challenge, a proxy's
// answer) against the lenient decoding rule written out plainly, then encodes the
// decoded bytes with every flag set, compares that with OpenSSL's encoder reshaped by
// the flags, and decodes it again.
#include <cstdint>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "codec/base64.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t lineLength = 76;

// Every byte outside the alphabet is skipped; each group of four characters gives three
// bytes, and a last group of k characters gives 6k/8.
std::string ReferenceDecode(std::string_view text) {
  std::string out;
  std::uint32_t bits = 0;
  int k = 0;
  auto flush = [&] {
    bits <<= 6 * (4 - k);
    for (int b = 0; b < 6 * k / 8; ++b) out += static_cast<char>(bits >> (16 - 8 * b));
    bits = 0;
    k = 0;
  };
  for (char c : text) {
    std::size_t v = alphabet.find(c);
    if (v == std::string_view::npos) continue;
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    if (++k == 4) flush();
  }
  flush();
  return out;
}

// OpenSSL's padded single-line form, without "=" for Base64NoPadding, and with CR LF
// after every complete 76-character line of whole groups for the line-broken form; the
// last, partial group never takes one.
std::string ReferenceEncode(const std::string& bytes, std::uint32_t flags) {
  std::string plain(4 * ((bytes.size() + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(plain.data()),
                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  std::string tail = plain.substr(4 * (bytes.size() / 3));
  plain.resize(plain.size() - tail.size());
  if (flags & CBase64Buffer::Base64NoPadding) tail.erase(tail.find_last_not_of('=') + 1);
  if (flags & CBase64Buffer::Base64NoLineBreaks) return plain + tail;
  std::string out;
  for (std::size_t i = 0; i < plain.size(); i += lineLength) {
    out += plain.substr(i, lineLength);
    if (plain.size() - i >= lineLength) out += "\r\n";
  }
  return out + tail;
}

std::string Contents(const CBase64Buffer& buffer) {
  FUZZ_CHECK(buffer.Data() != nullptr && buffer.Data()[buffer.Length()] == '\0');
  return std::string(buffer.Data(), static_cast<std::size_t>(buffer.Length()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CBase64Buffer decoder;
  decoder.Decode(text.data(), static_cast<int>(text.size()));
  const std::string decoded = Contents(decoder);
  FUZZ_CHECK(decoded == ReferenceDecode(text));

  for (std::uint32_t flags = 0; flags < 4; ++flags) {
    CBase64Buffer encoder;
    encoder.Encode(reinterpret_cast<const unsigned char*>(decoded.data()),
                   static_cast<int>(decoded.size()), flags);
    const std::string encoded = Contents(encoder);
    FUZZ_CHECK(encoded.size() <=
               static_cast<std::size_t>(CBase64Buffer::RequiredEncodedLength(
                   static_cast<int>(decoded.size()), flags)));
    FUZZ_CHECK(encoded == ReferenceEncode(decoded, flags));

    CBase64Buffer again;
    again.Decode(encoded.data(), static_cast<int>(encoded.size()));
    FUZZ_CHECK(Contents(again) == decoded);
  }
  return 0;
}

// Base64 (RFC 2045 alphabet) with an owning output buffer.
//
// The raw layer works on caller-supplied buffers and reports success as a boolean; it
// fails only on null pointers or a negative length. The owning layer sizes and
// allocates its output, keeps it NUL-terminated, and raises CTAVSMTPException 540
// ("Failed to base64 encode data") or 539 ("Failed to base64 decode data") where the
// raw layer fails.
//
// Encoded text has a CRLF after every complete 76-character line unless
// Base64NoLineBreaks is set, and a last partial group padded with "=" unless
// Base64NoPadding is set. Decoding is lenient: every character outside the alphabet,
// "=" included, is skipped, and a trailing lone character yields nothing.
#pragma once

#include <cstdint>
#include <memory>

class CBase64Buffer {
 public:
  enum : std::uint32_t { Base64NoPadding = 1, Base64NoLineBreaks = 2 };

  CBase64Buffer() = default;
  // The output is overwritten before its memory is given back (here and at the next
  // Encode or Decode): it may be an encoded password or a security token.
  ~CBase64Buffer();
  CBase64Buffer(const CBase64Buffer&) = delete;
  CBase64Buffer& operator=(const CBase64Buffer&) = delete;

  // An upper bound of the characters EncodeRaw writes for sourceLength bytes (the NUL
  // not included); -1 when the source is too long for a 32-bit length.
  static int RequiredEncodedLength(int sourceLength, std::uint32_t flags);
  static int RequiredDecodedLength(int sourceLength);

  // The destination must hold RequiredEncodedLength characters; no NUL is written.
  static bool EncodeRaw(const unsigned char* source, int sourceLength, char* destination,
                        int* written, std::uint32_t flags);
  // The 6-bit value of a Base64 character, or -1 for any other byte.
  static int DecodeChar(int c);
  // Decodes exactly sourceLength characters (NUL bytes are skipped like any foreign
  // byte); the destination must hold sourceLength bytes.
  static bool DecodeRaw(const char* source, int sourceLength, unsigned char* destination,
                        int* written);

  void Encode(const unsigned char* source, int sourceLength, std::uint32_t flags);
  void Encode(const char* text, std::uint32_t flags);
  void Decode(const char* source, int sourceLength);
  void Decode(const char* text);

  // The output of the last Encode or Decode followed by a NUL; null before the first.
  const char* Data() const { return data.get(); }
  int Length() const { return length; }

 private:
  // Takes block, written bytes long, as the output, clearing the one before.
  void Replace(std::unique_ptr<char[]> block, int written);

  std::unique_ptr<char[]> data;
  int length = 0;
};

// The text forms that the authentication exchanges share (RFC 4954): the argument of a
// 334 reply, Base64 on one line, and ASCII case folding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "codec/base64.h"

inline char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// What follows "334 " in a reply: the server's argument; empty for a shorter reply.
inline std::string ReplyParameter(const std::string& reply) {
  return reply.size() > 4 ? reply.substr(4) : std::string();
}

// The Base64 of the parameter, decoded up to its first NUL.
inline std::string DecodedParameter(const std::string& reply) {
  CBase64Buffer decoded;
  decoded.Decode(ReplyParameter(reply).c_str());
  return decoded.Data();
}

// bytes in Base64 on one line, padded. Raises 540 when they are too long for the coder.
inline std::string Base64(const unsigned char* bytes, std::size_t length) {
  CBase64Buffer encoded;
  encoded.Encode(bytes, static_cast<int>(length), CBase64Buffer::Base64NoLineBreaks);
  return encoded.Data();
}

inline std::string Base64(std::string_view text) {
  return Base64(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// text in Base64 as a command line of its own.
inline std::string Base64Line(std::string_view text) { return Base64(text) + "\r\n"; }

// The text forms that the authentication exchanges share (RFC 4954): the argument of a
// 334 reply, Base64 on one line, ASCII case folding, and texts that carry a secret.
#pragma once

#include <cstddef>
#include <initializer_list>
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

// bytes in Base64 on one line, padded, followed by end: made in one allocation, as it
// may carry a secret that its caller clears (a text that grows leaves its old storage
// behind; the coder clears its own). Raises 540 when they are too long for the coder.
inline std::string Base64(std::string_view bytes, std::string_view end = {}) {
  CBase64Buffer encoded;
  encoded.Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<int>(bytes.size()), CBase64Buffer::Base64NoLineBreaks);
  std::string text;
  text.reserve(static_cast<std::size_t>(encoded.Length()) + end.size());
  text.append(encoded.Data(), static_cast<std::size_t>(encoded.Length())).append(end);
  return text;
}

inline std::string Base64(const unsigned char* bytes, std::size_t length) {
  return Base64(std::string_view(reinterpret_cast<const char*>(bytes), length));
}

// text in Base64 as a command line of its own.
inline std::string Base64Line(std::string_view text) { return Base64(text, "\r\n"); }

// The pieces as one text made in one allocation, for a text that carries a secret.
inline std::string Joined(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  std::string text;
  text.reserve(size);
  for (std::string_view piece : pieces) text.append(piece);
  return text;
}

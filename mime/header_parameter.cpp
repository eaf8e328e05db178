#include "mime/header_parameter.h"

#include <algorithm>
#include <cstring>

#include "mime/hex_digit.h"
#include "platform/code_page.h"

namespace {

bool IsPrintableAscii(char c) { return c >= 0x20 && c <= 0x7E; }

// RFC 2231 attribute-char: the token characters but '*', '\'' and '%'.
bool IsAttributeChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::strchr("!#$&+-.^_`|~", c) != nullptr;
}

}  // namespace

std::string HeaderParameter(std::string_view attribute, std::string_view value) {
  std::string text(attribute);
  if (std::all_of(value.begin(), value.end(), IsPrintableAscii)) {
    text += "=\"";
    for (char c : value) {
      if (c == '\\' || c == '"') text += '\\';
      text += c;
    }
    return text + '"';
  }
  text += "*=UTF-8''";
  for (char c : Utf8FromAnsi(value)) {
    if (c != '\0' && IsAttributeChar(c)) {
      text += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      text += '%';
      text += HexDigit(byte >> 4);
      text += HexDigit(byte & 15);
    }
  }
  return text;
}

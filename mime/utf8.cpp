#include "mime/utf8.h"

#include <cstring>

#include "platform/code_page.h"

namespace {

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The one to four bytes of a code point; returns how many.
std::size_t EncodeCodePoint(char32_t c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

// The conversion without the int limits of the public form: measures when destination
// is null, otherwise writes and returns 0 when capacity is too small.
std::size_t Convert(const char16_t* units, std::size_t count, char* destination,
                    std::size_t capacity) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (IsHighSurrogate(c) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    unsigned char bytes[4];
    std::size_t n = EncodeCodePoint(c, bytes);
    if (destination != nullptr) {
      if (capacity - length < n) return 0;
      std::memcpy(destination + length, bytes, n);
    }
    length += n;
  }
  return length;
}

}  // namespace

bool IsUtf8Charset(std::string_view charset) {
  constexpr std::string_view utf8 = "utf-8";
  if (charset.size() != utf8.size()) return false;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    char c = charset[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != utf8[i]) return false;
  }
  return true;
}

std::string AnsiToUtf8(std::string_view text) {
  if (AnsiCodePageIsUtf8()) return std::string(text);
  std::u16string wide = AnsiToUtf16(text);
  std::string out(Convert(wide.data(), wide.size(), nullptr, 0), '\0');
  Convert(wide.data(), wide.size(), out.data(), out.size());
  return out;
}

int Utf16ToUtf8(const char16_t* units, int count, char* destination, int capacity) {
  if (units == nullptr || count <= 0 || (capacity > 0 && destination == nullptr)) return 0;
  std::size_t n = Convert(units, static_cast<std::size_t>(count),
                          capacity > 0 ? destination : nullptr, static_cast<std::size_t>(capacity));
  return static_cast<int>(n);
}

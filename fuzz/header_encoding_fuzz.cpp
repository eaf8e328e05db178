// Fuzzes the encoded words of header values (RFC 2047, the "Q" encoding) with any text,
// for both charsets the program sends. Nothing in a value may start a header line of
// its own or leave 7-bit ASCII: no CR or LF but the CR LF SP that separates two encoded
// words, and no NUL, other control character but TAB, or 8-bit byte anywhere. Decoded
// again (the white space between adjacent encoded words dropped), the value must give
// the text back, converted to UTF-8 for "UTF-8"; each encoded word holds at most
// maxEncodedWordLength characters, stands apart from other text (white space or the
// value's ends on both sides), and with "UTF-8" holds only whole characters of
// well-formed text; plain text holds no word that needed encoding. The ANSI code page
// is the locale's, taken from the environment as the program does at start-up
// (LC_ALL=de_DE.ISO-8859-1 fuzzes the Latin-1 conversion).
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "mime/header_encoding.h"
#include "mime/utf8.h"

namespace {

constexpr std::string_view charsets[] = {"iso-8859-1", "UTF-8"};

struct Piece {
  bool word;  // an encoded word, or else plain text
  std::string bytes;
};

// What no plain word may hold: 8-bit bytes, control characters, "=?", more than 997
// characters.
bool IsEncodable(std::string_view word) {
  return word.size() > 997 || word.find("=?") != std::string_view::npos ||
         std::any_of(word.begin(), word.end(), [](char c) {
           auto b = static_cast<unsigned char>(c);
           return b >= 127 || b < 32;
         });
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int UpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text of an encoded word: "_" is a space, "=XX" a byte, and every other character
// must be printable ASCII that needs no escape.
std::optional<std::string> DecodeWord(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    auto b = static_cast<unsigned char>(c);
    if (c == '_') {
      out += ' ';
    } else if (c == '=') {
      if (text.size() - i < 3) return std::nullopt;
      int high = UpperHexValue(text[i + 1]);
      int low = UpperHexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high << 4 | low);
      i += 2;
    } else if (b <= ' ' || b >= 127 || c == '?') {
      return std::nullopt;
    } else {
      out += c;
    }
  }
  return out;
}

// The value cut into plain text and decoded words "=?charset?q?...?="; nullopt when a
// word is not well-formed, touches other text, or a line break stands anywhere but
// between two encoded words.
std::optional<std::vector<Piece>> Decode(std::string_view value, std::string_view charset) {
  const std::string opener = "=?" + std::string(charset) + "?q?";
  std::vector<Piece> pieces;
  std::size_t pos = 0;
  while (pos < value.size()) {
    if (value.substr(pos, 3) == "\r\n ") {
      if (pieces.empty() || !pieces.back().word || value.substr(pos + 3, opener.size()) != opener) {
        return std::nullopt;
      }
      pos += 3;
      continue;
    }
    const std::size_t start = std::min({value.find(opener, pos), value.find('\r', pos), value.size()});
    if (start > pos) {
      pieces.push_back({false, std::string(value.substr(pos, start - pos))});
      pos = start;
      continue;
    }
    if (value[pos] == '\r') return std::nullopt;
    if (pos > 0 && !IsBlank(value[pos - 1])) return std::nullopt;
    std::size_t close = value.find("?=", pos + opener.size());
    if (close == std::string_view::npos || close + 2 - pos > maxEncodedWordLength) return std::nullopt;
    std::optional<std::string> word =
        DecodeWord(value.substr(pos + opener.size(), close - pos - opener.size()));
    if (!word) return std::nullopt;
    pieces.push_back({true, std::move(*word)});
    pos = close + 2;
    if (pos < value.size() && !IsBlank(value[pos]) && value[pos] != '\r') return std::nullopt;
  }
  return pieces;
}

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsWellFormedUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t n;
    char32_t c;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 2, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 3, c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 4, c = b & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < n) return false;
    for (std::size_t k = 1; k < n; ++k) {
      auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = c << 6 | (t & 0x3F);
    }
    constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

void CheckValue(std::string_view text, std::string_view charset) {
  const std::string value = EncodeHeaderText(text, charset);
  for (unsigned char c : value) FUZZ_CHECK(c == '\t' || c == '\r' || c == '\n' || (c >= ' ' && c < 127));

  const bool utf8 = IsUtf8Charset(charset);
  const std::string expected = utf8 ? AnsiToUtf8(text) : std::string(text);
  std::optional<std::vector<Piece>> pieces = Decode(value, charset);
  FUZZ_CHECK(pieces.has_value());
  std::string decoded;
  const bool wholeCharacters = utf8 && IsWellFormedUtf8(expected);
  for (const Piece& piece : *pieces) {
    if (piece.word) {
      FUZZ_CHECK(!piece.bytes.empty());
      FUZZ_CHECK(!wholeCharacters || IsWellFormedUtf8(piece.bytes));
    } else {
      std::size_t from = 0;
      for (std::size_t p = 0; p <= piece.bytes.size(); ++p) {
        if (p < piece.bytes.size() && !IsBlank(piece.bytes[p])) continue;
        FUZZ_CHECK(!IsEncodable(std::string_view(piece.bytes).substr(from, p - from)));
        from = p + 1;
      }
    }
    decoded += piece.bytes;
  }
  FUZZ_CHECK(decoded == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::string_view charset : charsets) CheckValue(text, charset);
  return 0;
}

#include "mime/header_encoding.h"

#include <algorithm>
#include <array>

#include "mime/hex_digit.h"
#include "mime/utf8.h"

namespace {

constexpr std::size_t chunkSize = 70;

// Bytes that make a chunk an encoded word: 128 and above, DEL, and the control
// characters but TAB.
constexpr std::array<bool, 256> MakeEncodeTriggerTable() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = c >= 127 || (c < 32 && c != '\t');
  return table;
}
constexpr auto encodeTrigger = MakeEncodeTriggerTable();

// Bytes written as "=XX" inside an encoded word.
constexpr std::array<bool, 256> MakeEscapedTable() {
  std::array<bool, 256> table = encodeTrigger;
  table['='] = table['?'] = table['_'] = table['\t'] = true;
  return table;
}
constexpr auto escapedInWord = MakeEscapedTable();

void AppendHeaderChunk(std::string& out, std::string_view chunk, std::string_view charset) {
  bool plain = std::none_of(chunk.begin(), chunk.end(),
                            [](char c) { return encodeTrigger[static_cast<unsigned char>(c)]; });
  if (plain) {
    out.append(chunk);
    return;
  }
  out.append("=?").append(charset).append("?q?");
  for (char c : chunk) {
    auto b = static_cast<unsigned char>(c);
    if (c == ' ') {
      out.push_back('_');
    } else if (escapedInWord[b]) {
      const char triplet[] = {'=', HexDigit(b >> 4), HexDigit(b & 15)};
      out.append(triplet, 3);
    } else {
      out.push_back(c);
    }
  }
  out.append("?=");
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The length of the UTF-8 sequence a lead byte opens; 0 for a byte that opens none.
std::size_t SequenceLength(char c) {
  auto b = static_cast<unsigned char>(c);
  if (b >= 0xF0 && b <= 0xF7) return 4;
  if (b >= 0xE0) return b <= 0xEF ? 3 : 0;
  if (b >= 0xC0) return 2;
  return 0;
}

// A chunk end moved back to the start of the UTF-8 character it would cut. Bytes that
// are not well-formed UTF-8 are cut where they fall.
std::size_t CharacterBoundary(std::string_view text, std::size_t start, std::size_t end) {
  if (!IsContinuationByte(text[end])) return end;
  for (std::size_t lead = end - 1; lead > start && end - lead <= 3; --lead) {
    if (IsContinuationByte(text[lead])) continue;
    return SequenceLength(text[lead]) > end - lead ? lead : end;
  }
  return end;
}

}  // namespace

std::string EncodeHeaderChunk(std::string_view chunk, std::string_view charset) {
  std::string out;
  AppendHeaderChunk(out, chunk, charset);
  return out;
}

std::string EncodeHeaderText(std::string_view text, std::string_view charset) {
  const bool utf8 = IsUtf8Charset(charset);
  std::string converted;
  if (utf8) {
    converted = AnsiToUtf8(text);
    text = converted;
  }
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t pos = 0;
  while (text.size() - pos > chunkSize) {
    std::size_t end = pos + chunkSize;
    if (utf8) end = CharacterBoundary(text, pos, end);
    AppendHeaderChunk(out, text.substr(pos, end - pos), charset);
    pos = end;
  }
  AppendHeaderChunk(out, text.substr(pos), charset);
  return out;
}

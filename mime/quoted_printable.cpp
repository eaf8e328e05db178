#include "mime/quoted_printable.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "mime/hex_digit.h"
#include "mime/line_ends.h"

namespace {

constexpr std::size_t maxLine = 76;
constexpr std::size_t maxPiece = maxLine - 1;  // leaves room for the "=" of a soft break

// Bytes that pass pass 1 unchanged: printable ASCII but "=", TAB, LF, CR and space.
constexpr std::array<bool, 256> MakeLiteralTable() {
  std::array<bool, 256> table{};
  for (int c = 33; c <= 126; ++c) table[c] = c != '=';
  table['\t'] = table['\n'] = table['\r'] = table[' '] = true;
  return table;
}
constexpr auto literal = MakeLiteralTable();

bool IsLiteral(char c) { return literal[static_cast<unsigned char>(c)]; }

// The bytes or-ed together, eight at a time, hold a high bit when one of them does.
bool HasEightBitByte(std::string_view text) {
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (std::uint64_t word; i + sizeof word <= text.size(); i += sizeof word) {
    std::memcpy(&word, text.data() + i, sizeof word);
    bits |= word;
  }
  for (; i < text.size(); ++i) bits |= static_cast<unsigned char>(text[i]);
  return (bits & 0x8080808080808080u) != 0;
}

bool EndsInBlank(std::string_view line) { return line.ends_with(' ') || line.ends_with('\t'); }

// Pass 1 for one line, into a buffer sized by a first count. A blank that ends the line
// is escaped too.
void Escape(std::string_view line, std::size_t escapes, std::string& escaped) {
  escaped.resize(line.size() + 2 * escapes);
  char* o = escaped.data();
  const char* blankEnd = EndsInBlank(line) ? &line.back() : nullptr;
  for (const char& c : line) {
    if (IsLiteral(c) && &c != blankEnd) {
      *o++ = c;
    } else {
      auto b = static_cast<unsigned char>(c);
      *o++ = '=';
      *o++ = HexDigit(b >> 4);
      *o++ = HexDigit(b & 15);
    }
  }
}

// The end of the piece of an over-long line that starts at start. Looking back from the
// limit, the piece ends after a space or tab, or after a complete escape triplet (in
// escaped text every "=" opens one); without either it ends at the limit, or before a
// triplet that the limit would split.
std::size_t PieceEnd(std::string_view line, std::size_t start) {
  const std::size_t limit = start + maxPiece;
  for (std::size_t end = limit; end > start; --end) {
    char last = line[end - 1];
    if (last == ' ' || last == '\t') return end;
    if (end - start >= 3 && line[end - 3] == '=') return end;
  }
  if (line[limit - 1] == '=') return limit - 1;
  if (line[limit - 2] == '=') return limit - 2;
  return limit;
}

void AppendFolded(std::string& out, std::string_view line) {
  std::size_t start = 0;
  while (line.size() - start > maxLine) {
    std::size_t end = PieceEnd(line, start);
    out.append(line.substr(start, end - start));
    out.append("=\r\n");
    start = end;
  }
  out.append(line.substr(start));
}

}  // namespace

// The two passes run line by line (lines end at each CR and at each LF, which are
// copied through), so the escaped text is never held whole.
std::string EncodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 3);
  std::string escaped;
  std::size_t pos = 0;
  while (true) {
    std::size_t end = pos;
    std::size_t escapes = 0;
    for (; end < text.size() && text[end] != '\r' && text[end] != '\n'; ++end) {
      escapes += IsLiteral(text[end]) ? 0 : 1;
    }
    const std::string_view line = text.substr(pos, end - pos);
    if (EndsInBlank(line)) ++escapes;
    if (escapes == 0 && line.size() <= maxLine) {
      out.append(line);
    } else {
      Escape(line, escapes, escaped);
      AppendFolded(out, escaped);
    }
    if (end == text.size()) break;
    out.push_back(text[end]);
    pos = end + 1;
  }
  return out;
}

bool NeedsQuotedPrintable(std::string_view text) {
  return HasEightBitByte(text) || text.find('\0') != text.npos ||
         HasLineLongerThan(text, maxLineLength);
}

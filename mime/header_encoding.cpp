#include "mime/header_encoding.h"

#include <algorithm>
#include <array>

#include "mime/hex_digit.h"
#include "mime/utf8.h"

namespace {

// A plain word this long, with the blank before it, fills a line of 998 characters.
constexpr std::size_t maxPlainWordLength = 997;

// Unstructured text (a subject) or a display name (a phrase, RFC 2047 5(3)).
enum class Context { Text, Phrase };

using ByteTable = std::array<bool, 256>;

// RFC 5322 atext: the printable ASCII characters but the specials.
constexpr ByteTable MakeAtextTable() {
  ByteTable table{};
  constexpr std::string_view specials = "()<>[]:;@\\,.\"";
  for (int c = 33; c <= 126; ++c) table[c] = specials.find(static_cast<char>(c)) == specials.npos;
  return table;
}
constexpr auto atext = MakeAtextTable();

// Bytes that stand for themselves inside an encoded word; a space is written "_" and
// every other byte "=XX".
constexpr ByteTable MakeLiteralTable(Context context) {
  ByteTable table{};
  constexpr std::string_view phraseMarks = "!*+-/";
  for (int c = 33; c <= 126; ++c) {
    const bool alphanumeric =
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool phraseSafe = alphanumeric || phraseMarks.find(static_cast<char>(c)) != phraseMarks.npos;
    table[c] = context == Context::Text ? c != '=' && c != '?' && c != '_' : phraseSafe;
  }
  return table;
}
constexpr auto textLiteral = MakeLiteralTable(Context::Text);
constexpr auto phraseLiteral = MakeLiteralTable(Context::Phrase);

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// 128 and above, DEL and the control characters: never in a header as they are.
bool IsEightBitOrControl(char c) {
  auto b = static_cast<unsigned char>(c);
  return b >= 127 || b < 32;
}

bool NeedsEncoding(std::string_view word, Context context) {
  if (word.size() > maxPlainWordLength || word.find("=?") != std::string_view::npos) return true;
  return std::any_of(word.begin(), word.end(), [&](char c) {
    return IsEightBitOrControl(c) || (context == Context::Phrase && !IsAtext(c));
  });
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The bytes of the character at pos that one encoded word must hold whole: a complete
// UTF-8 sequence with "UTF-8", else one byte (also for bytes that are not UTF-8).
std::size_t CharacterLength(std::string_view text, std::size_t pos, bool utf8) {
  if (!utf8) return 1;
  auto b = static_cast<unsigned char>(text[pos]);
  const std::size_t n = b >= 0xF0 && b <= 0xF7 ? 4 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xC0 ? 2 : 1;
  if (n == 1 || text.size() - pos < n) return 1;
  for (std::size_t k = 1; k < n; ++k) {
    if (!IsContinuationByte(text[pos + k])) return 1;
  }
  return n;
}

std::size_t EncodedLength(std::string_view bytes, const ByteTable& literal) {
  std::size_t length = 0;
  for (char c : bytes) length += c == ' ' || literal[static_cast<unsigned char>(c)] ? 1 : 3;
  return length;
}

void AppendEncodedBytes(std::string& out, std::string_view bytes, const ByteTable& literal) {
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (c == ' ') {
      out.push_back('_');
    } else if (literal[b]) {
      out.push_back(c);
    } else {
      const char triplet[] = {'=', HexDigit(b >> 4), HexDigit(b & 15)};
      out.append(triplet, 3);
    }
  }
}

// The run as encoded words "=?charset?q?...?=", each as long as maxEncodedWordLength
// allows (but at least one character, whatever the charset's name) and separated by
// CR LF SP.
void AppendEncodedWords(std::string& out, std::string_view run, std::string_view charset,
                        Context context) {
  const ByteTable& literal = context == Context::Text ? textLiteral : phraseLiteral;
  const bool utf8 = IsUtf8Charset(charset);
  const std::size_t frame = charset.size() + 7;  // "=?" charset "?q?" ... "?="
  const std::size_t room = maxEncodedWordLength > frame ? maxEncodedWordLength - frame : 0;
  for (std::size_t pos = 0; pos < run.size();) {
    if (pos > 0) out.append("\r\n ");
    out.append("=?").append(charset).append("?q?");
    std::size_t used = 0;
    do {
      const std::string_view character = run.substr(pos, CharacterLength(run, pos, utf8));
      const std::size_t length = EncodedLength(character, literal);
      if (used > 0 && used + length > room) break;
      AppendEncodedBytes(out, character, literal);
      used += length;
      pos += character.size();
    } while (pos < run.size());
    out.append("?=");
  }
}

std::size_t BlankEnd(std::string_view text, std::size_t pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  return pos;
}

std::size_t WordEnd(std::string_view text, std::size_t pos) {
  while (pos < text.size() && !IsBlank(text[pos])) ++pos;
  return pos;
}

// The end of the run of words that need encoding which starts with the word that ends
// at end: it takes in every following word that needs encoding too, with the white
// space before it.
std::size_t EncodedRunEnd(std::string_view text, std::size_t end, Context context) {
  while (true) {
    const std::size_t next = BlankEnd(text, end);
    const std::size_t nextEnd = WordEnd(text, next);
    if (next == nextEnd || !NeedsEncoding(text.substr(next, nextEnd - next), context)) return end;
    end = nextEnd;
  }
}

// White space and the words that need no encoding as they are; the rest as encoded
// words.
std::string EncodeWords(std::string_view text, std::string_view charset, Context context) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = BlankEnd(text, pos);
    if (end == pos) end = WordEnd(text, pos);
    const std::string_view token = text.substr(pos, end - pos);
    if (IsBlank(token.front()) || !NeedsEncoding(token, context)) {
      out.append(token);
    } else {
      end = EncodedRunEnd(text, end, context);
      AppendEncodedWords(out, text.substr(pos, end - pos), charset, context);
    }
    pos = end;
  }
  return out;
}

std::string InCharset(std::string_view text, std::string_view charset) {
  return IsUtf8Charset(charset) ? AnsiToUtf8(text) : std::string(text);
}

std::string QuotedString(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted.push_back('\\');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

}  // namespace

bool IsAtext(char c) { return atext[static_cast<unsigned char>(c)]; }

std::string EncodeHeaderText(std::string_view text, std::string_view charset) {
  return EncodeWords(InCharset(text, charset), charset, Context::Text);
}

std::string EncodeDisplayName(std::string_view name, std::string_view charset) {
  const std::string converted = InCharset(name, charset);
  const std::string_view text = converted;
  for (std::size_t pos = BlankEnd(text, 0); pos < text.size();) {
    const std::size_t end = WordEnd(text, pos);
    if (NeedsEncoding(text.substr(pos, end - pos), Context::Text)) {
      return EncodeWords(text, charset, Context::Phrase);
    }
    pos = BlankEnd(text, end);
  }
  const bool atoms = std::all_of(text.begin(), text.end(),
                                 [](char c) { return IsBlank(c) || IsAtext(c); });
  return atoms ? converted : QuotedString(text);
}

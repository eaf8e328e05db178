// Fuzzes the quoted-printable body encoding (RFC 2045, section 6.7) with any text. The
// encoded text must be 7-bit printable ASCII with spaces, tabs and the text's own line
// ends; no line, cut at each CR and each LF, may exceed 76 characters; decoding it
// ("=XX" escapes, "=" CR LF soft breaks) must give the text back; no line may end in
// a space or tab; and a text that needs neither escapes nor folding comes back
// unchanged.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "mime/quoted_printable.h"

namespace {

constexpr std::size_t maxLine = 76;

bool IsLiteral(char c) {
  auto b = static_cast<unsigned char>(c);
  return (b >= ' ' && b < 127 && c != '=') || c == '\t' || c == '\r' || c == '\n';
}

int UpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
      continue;
    }
    if (text.substr(i + 1, 2) == "\r\n") {
      i += 2;
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    int high = UpperHexValue(text[i + 1]);
    int low = UpperHexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return out;
}

bool HasBlankAtALineEnd(std::string_view text) {
  for (std::size_t i = 1; i <= text.size(); ++i) {
    const bool lineEnd = i == text.size() || text[i] == '\r' || text[i] == '\n';
    if (lineEnd && (text[i - 1] == ' ' || text[i - 1] == '\t')) return true;
  }
  return false;
}

std::size_t LongestLine(std::string_view text) {
  std::size_t longest = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
      longest = std::max(longest, i - start);
      start = i + 1;
    }
  }
  return longest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string encoded = EncodeQuotedPrintable(text);
  for (char c : encoded) FUZZ_CHECK(IsLiteral(c) || c == '=');
  FUZZ_CHECK(LongestLine(encoded) <= maxLine);
  std::optional<std::string> decoded = Decode(encoded);
  FUZZ_CHECK(decoded.has_value());
  FUZZ_CHECK(*decoded == text);
  FUZZ_CHECK(!HasBlankAtALineEnd(encoded));
  if (std::all_of(text.begin(), text.end(), IsLiteral) && LongestLine(text) <= maxLine &&
      !HasBlankAtALineEnd(text)) {
    FUZZ_CHECK(encoded == text);
  }
  return 0;
}

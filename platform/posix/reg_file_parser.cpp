#include "platform/posix/reg_file_parser.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "platform/code_page.h"

namespace {

constexpr std::string_view version5Header = "Windows Registry Editor Version 5.00";
constexpr std::string_view version4Header = "REGEDIT4";
constexpr std::string_view utf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view utf16leBom = "\xFF\xFE";

constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_EXPAND_SZ = 2;
constexpr std::uint32_t REG_BINARY = 3;
constexpr std::uint32_t REG_DWORD = 4;
constexpr std::uint32_t REG_MULTI_SZ = 7;

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && RegNamesEqual(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One to maxDigits hex digits making up the whole of text.
std::optional<std::uint32_t> ParseHexNumber(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return value;
}

// The whole file as UTF-8 lines.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// A quoted string starting at text[0] == '"'; on success text is left after the
// closing quote. \\ and \" are the escapes; a backslash before anything else is kept
// as it is, as users write "DOMAIN\user" by hand.
std::optional<std::string> ParseQuoted(std::string_view& text) {
  std::string out;
  std::size_t i = 1;
  for (; i < text.size() && text[i] != '"'; ++i) {
    bool escape = text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"');
    if (escape) ++i;
    out += text[i];
  }
  if (i == text.size()) return std::nullopt;
  text.remove_prefix(i + 1);
  return out;
}

// "bb,bb,..." with optional blanks around each byte; empty text is an empty list.
std::optional<std::string> ParseHexBytes(std::string_view text) {
  std::string bytes;
  text = TrimLeft(TrimRight(text));
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::optional<std::uint32_t> byte = ParseHexNumber(TrimLeft(TrimRight(text.substr(0, comma))), 2);
    if (!byte) return std::nullopt;
    bytes += static_cast<char>(*byte);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return bytes;
}

class RegFileParser {
 public:
  explicit RegFileParser(std::vector<std::string_view> fileLines) : lines(std::move(fileLines)) {}

  std::optional<std::vector<RegKeySection>> Parse() {
    if (!ParseHeader()) return std::nullopt;
    while (next < lines.size()) {
      current = next;
      std::string_view line = TrimRight(TrimLeft(lines[next++]));
      if (line.empty() || line.front() == ';') continue;
      bool ok = line.front() == '[' ? ParseKeyLine(line) : ParseValueLine(line);
      if (!ok) return std::nullopt;
    }
    return std::move(keys);
  }

  // The first line that broke the syntax, and why.
  RegParseError Error() const {
    return {current + 1, reason.empty() ? "the line breaks the registry file syntax" : reason};
  }

 private:
  bool Fail(const char* why) {
    if (reason.empty()) reason = why;
    return false;
  }

  std::nullopt_t FailValue(const char* why) {
    Fail(why);
    return std::nullopt;
  }

  bool ParseHeader() {
    while (next < lines.size() && TrimRight(TrimLeft(lines[next])).empty()) ++next;
    current = next;
    if (next == lines.size()) return Fail("the file holds no registry header");
    std::string_view header = TrimRight(TrimLeft(lines[next++]));
    version5 = header == version5Header;
    if (version5 || header == version4Header) return true;
    return Fail("the first line is not \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
  }

  bool ParseKeyLine(std::string_view line) {
    if (line.size() < 3 || line.back() != ']') return Fail("a key line must end with ]");
    // "[-key]" would delete the key: a file that asks for that is no key's contents.
    if (line[1] == '-') return Fail("a key line that deletes a key ([-...])");
    keys.push_back({AnsiFromUtf8(line.substr(1, line.size() - 2)), {}});
    return true;
  }

  bool ParseValueLine(std::string_view line) {
    if (keys.empty()) return Fail("a value comes before the first key line");
    std::optional<std::string> name;
    if (line.front() == '@') {
      name.emplace();
      line.remove_prefix(1);
    } else if (line.front() == '"') {
      name = ParseQuoted(line);
      if (!name) return Fail("a string has no closing quote");
    } else {
      return Fail("a value name must be in double quotes, or @");
    }
    line = TrimLeft(line);
    if (line.empty() || line.front() != '=') return Fail("no = after the value name");
    std::optional<RegValue> value = ParseData(TrimLeft(line.substr(1)));
    if (!value) return false;
    value->name = AnsiFromUtf8(*name);
    keys.back().values.push_back(std::move(*value));
    return true;
  }

  std::optional<RegValue> ParseData(std::string_view data) {
    if (!data.empty() && data.front() == '"') {
      std::optional<std::string> text = ParseQuoted(data);
      if (!text) return FailValue("a string has no closing quote");
      if (!TrimLeft(data).empty()) return FailValue("text follows the closing quote");
      return RegValue{{}, REG_SZ, AnsiFromUtf8(*text) + '\0'};
    }
    if (StartsWithNoCase(data, "dword:")) {
      std::optional<std::uint32_t> number = ParseHexNumber(data.substr(6), 8);
      if (!number) return FailValue("dword: takes one to eight hex digits");
      std::string bytes;
      for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(*number >> shift);
      return RegValue{{}, REG_DWORD, bytes};
    }
    return ParseHexData(data);
  }

  // hex:... (REG_BINARY) or hex(n):..., with its continuation lines.
  std::optional<RegValue> ParseHexData(std::string_view data) {
    if (!StartsWithNoCase(data, "hex")) {
      return FailValue("the data is not a \"string\", dword: or hex:");
    }
    data.remove_prefix(3);
    std::uint32_t type = REG_BINARY;
    if (!data.empty() && data.front() == '(') {
      std::size_t close = data.find(')');
      std::optional<std::uint32_t> n;
      if (close != std::string_view::npos) n = ParseHexNumber(data.substr(1, close - 1), 8);
      if (!n) return FailValue("hex( takes a hex type number and )");
      type = *n;
      data.remove_prefix(close + 1);
    }
    if (data.empty() || data.front() != ':') return FailValue("no : after hex");
    std::string list(data.substr(1));
    while (!list.empty() && list.back() == '\\' && next < lines.size()) {
      list.pop_back();
      list += TrimRight(TrimLeft(lines[next++]));
    }
    std::optional<std::string> bytes = ParseHexBytes(list);
    if (!bytes) return FailValue("hex: takes bytes of two hex digits, separated by commas");
    bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (text && version5) *bytes = AnsiFromUtf16le(*bytes);
    return RegValue{{}, type, std::move(*bytes)};
  }

  std::vector<std::string_view> lines;
  std::size_t next = 0;
  std::size_t current = 0;  // the line being read
  std::string reason;
  bool version5 = false;
  std::vector<RegKeySection> keys;
};

// The file's text in UTF-8. A UTF-8 file goes through UTF-16LE as well: each malformed
// sequence in it becomes "?" there, which the conversion to a UTF-8 code page alone
// would pass through. A file of ASCII alone (the usual one) is its own text, and so
// needs neither conversion (nor the converter's modules loaded).
std::string FileTextAsUtf8(std::string_view bytes) {
  std::string utf16le;
  if (bytes.starts_with(utf16leBom)) {
    utf16le = bytes.substr(utf16leBom.size());
  } else {
    if (bytes.starts_with(utf8Bom)) bytes.remove_prefix(utf8Bom.size());
    const bool ascii = std::ranges::all_of(bytes, [](unsigned char c) { return c < 0x80; });
    if (ascii) return std::string(bytes);
    utf16le = ConvertCodeSet(bytes, "UTF-8", "UTF-16LE", std::string_view("?\0", 2));
  }
  return ConvertCodeSet(utf16le, "UTF-16LE", "UTF-8");
}

}  // namespace

bool RegNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::optional<std::vector<RegKeySection>> ParseRegFile(std::string_view bytes,
                                                       RegParseError* error) {
  const std::string text = FileTextAsUtf8(bytes);  // the parser's lines point into it
  RegFileParser parser(SplitLines(text));
  std::optional<std::vector<RegKeySection>> keys = parser.Parse();
  if (!keys && error != nullptr) *error = parser.Error();
  return keys;
}

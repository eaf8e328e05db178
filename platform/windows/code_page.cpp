// The ANSI code page of the system (GetACP), and conversions between code pages
// through UTF-16 with MultiByteToWideChar and WideCharToMultiByte. Code sets are named
// as iconv names them ("UTF-8", "ISO-8859-1", "CP1252", ...), so callers are the same
// on every system.
#include "platform/code_page.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

constexpr UINT utf16Le = 1200;  // not a code page of the converters: handled here

bool SameName(std::string_view a, const char* b) {
  return a.size() == std::strlen(b) && _strnicmp(a.data(), b, a.size()) == 0;
}

// The code page number of an iconv code set name; 0 for a name it does not know.
UINT CodePageOf(const std::string& name) {
  struct Named {
    const char* name;
    UINT codePage;
  };
  static constexpr Named known[] = {
      {"UTF-8", CP_UTF8},         {"UTF8", CP_UTF8},           {"UTF-16LE", utf16Le},
      {"ISO-8859-1", 28591},      {"ISO8859-1", 28591},        {"US-ASCII", 20127},
      {"ASCII", 20127},           {"ANSI_X3.4-1968", 20127},   {"ISO-8859-15", 28605},
  };
  for (const Named& n : known) {
    if (SameName(name, n.name)) return n.codePage;
  }
  for (const char* prefix : {"CP", "WINDOWS-"}) {
    std::size_t length = std::strlen(prefix);
    if (name.size() > length && _strnicmp(name.c_str(), prefix, length) == 0) {
      return static_cast<UINT>(std::strtoul(name.c_str() + length, nullptr, 10));
    }
  }
  return 0;
}

struct Decoded {
  std::wstring units;
  bool clean;  // false: malformed input became U+FFFD
};

Decoded DecodeUtf16le(std::string_view bytes) {
  Decoded result{std::wstring(bytes.size() / 2, L'\0'), bytes.size() % 2 == 0};
  std::memcpy(result.units.data(), bytes.data(), result.units.size() * 2);
  for (std::size_t i = 0; i < result.units.size(); ++i) {
    wchar_t unit = result.units[i];
    bool high = unit >= 0xD800 && unit < 0xDC00;
    bool low = unit >= 0xDC00 && unit < 0xE000;
    if (high && i + 1 < result.units.size() && result.units[i + 1] >= 0xDC00 &&
        result.units[i + 1] < 0xE000) {
      ++i;
    } else if (high || low) {
      result.units[i] = 0xFFFD;
      result.clean = false;
    }
  }
  if (!result.clean && bytes.size() % 2 != 0) result.units += wchar_t{0xFFFD};
  return result;
}

// Each malformed sequence becomes U+FFFD.
Decoded Decode(std::string_view text, UINT codePage) {
  if (codePage == utf16Le) return DecodeUtf16le(text);
  if (text.empty()) return {{}, true};
  int length = static_cast<int>(text.size());
  for (DWORD flags : {DWORD{MB_ERR_INVALID_CHARS}, DWORD{0}}) {
    int count = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    if (count <= 0) continue;
    std::wstring units(static_cast<std::size_t>(count), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), length, units.data(), count);
    return {units, flags != 0};
  }
  return {std::wstring(text.size(), wchar_t{0xFFFD}), false};
}

// Appends one character (one or two UTF-16 units) in the target code page, or the
// replacement when the code page cannot hold it.
void Encode(const wchar_t* units, int count, UINT codePage, std::string_view replacement,
            std::string& out) {
  if (codePage == utf16Le) {
    out.append(reinterpret_cast<const char*>(units), static_cast<std::size_t>(count) * 2);
    return;
  }
  char bytes[8];
  BOOL usedDefault = FALSE;
  bool unicode = codePage == CP_UTF8;
  int n = WideCharToMultiByte(codePage, unicode ? 0 : WC_NO_BEST_FIT_CHARS, units, count, bytes,
                              sizeof bytes, nullptr, unicode ? nullptr : &usedDefault);
  if (n <= 0 || usedDefault) {
    out += replacement;
  } else {
    out.append(bytes, static_cast<std::size_t>(n));
  }
}

// A code set without a converter: ASCII passes, every other byte is replaced.
std::string AsciiOnly(std::string_view text, std::string_view replacement) {
  std::string out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x80) {
      out += c;
    } else {
      out += replacement;
    }
  }
  return out;
}

}  // namespace

std::string AnsiCodePage() {
  UINT codePage = GetACP();
  return codePage == CP_UTF8 ? "UTF-8" : "CP" + std::to_string(codePage);
}

bool AnsiCodePageIsUtf8() { return GetACP() == CP_UTF8; }

bool AnsiCodePageIsLatin1() {
  UINT codePage = GetACP();
  return codePage == 1252 || codePage == 28591;
}

std::string ConvertCodeSet(std::string_view text, const std::string& from, const std::string& to,
                           std::string_view replacement) {
  UINT fromPage = CodePageOf(from);
  UINT toPage = CodePageOf(to);
  if (fromPage != 0 && fromPage == toPage) return std::string(text);
  if (fromPage == 0 || toPage == 0) return AsciiOnly(text, replacement);
  Decoded decoded = Decode(text, fromPage);
  std::string out;
  out.reserve(text.size());
  const std::wstring& units = decoded.units;
  for (std::size_t i = 0; i < units.size();) {
    int count = units[i] >= 0xD800 && units[i] < 0xDC00 && i + 1 < units.size() ? 2 : 1;
    if (units[i] == 0xFFFD && !decoded.clean) {
      out += replacement;
    } else {
      Encode(units.data() + i, count, toPage, replacement, out);
    }
    i += static_cast<std::size_t>(count);
  }
  return out;
}

std::string AnsiFromUtf8(std::string_view text) { return ConvertCodeSet(text, "UTF-8", AnsiCodePage()); }

std::string AnsiFromUtf16le(std::string_view bytes) {
  return ConvertCodeSet(bytes, "UTF-16LE", AnsiCodePage());
}

std::string Utf8FromAnsi(std::string_view text) { return ConvertCodeSet(text, AnsiCodePage(), "UTF-8"); }

std::u16string AnsiToUtf16(std::string_view text) {
  const char16_t replacementCharacter = u'\uFFFD';
  std::string bytes = ConvertCodeSet(
      text, AnsiCodePage(), "UTF-16LE",
      std::string_view(reinterpret_cast<const char*>(&replacementCharacter), sizeof(char16_t)));
  std::u16string units(bytes.size() / sizeof(char16_t), u'\0');
  std::memcpy(units.data(), bytes.data(), units.size() * sizeof(char16_t));
  return units;
}

#include "platform/code_page.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

constexpr const char* utf8 = "UTF-8";

// The names nl_langinfo gives for the plain ASCII of the "C" and "POSIX" locales.
constexpr const char* asciiCodesets[] = {"ANSI_X3.4-1968", "ASCII", "US-ASCII"};

constexpr const char* nativeUtf16 =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

bool SameCodeSet(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

// How many input bytes one replacement stands for: a whole UTF-8 sequence (its lead
// byte and the continuation bytes after it), one UTF-16 unit, or one byte of any other
// code set.
std::size_t SkippedUnit(const char* in, std::size_t left, const std::string& from) {
  if (SameCodeSet(from, utf8)) {
    std::size_t n = 1;
    while (n < left && n < 4 && (static_cast<unsigned char>(in[n]) & 0xC0) == 0x80) ++n;
    return n;
  }
  if (SameCodeSet(from, "UTF-16LE") || SameCodeSet(from, "UTF-16BE")) return left < 2 ? left : 2;
  return 1;
}

}  // namespace

std::string AnsiCodePage() {
  const char* codeset = nl_langinfo(CODESET);
  if (*codeset == '\0') return utf8;
  for (const char* ascii : asciiCodesets) {
    if (strcasecmp(codeset, ascii) == 0) return utf8;
  }
  return codeset;
}

bool AnsiCodePageIsUtf8() {
  std::string codePage = AnsiCodePage();
  return SameCodeSet(codePage, utf8) || SameCodeSet(codePage, "UTF8");
}

bool AnsiCodePageIsLatin1() {
  std::string codePage = AnsiCodePage();
  for (const char* latin1 : {"ISO-8859-1", "ISO8859-1", "CP1252", "WINDOWS-1252"}) {
    if (SameCodeSet(codePage, latin1)) return true;
  }
  return false;
}

std::string ConvertCodeSet(std::string_view text, const std::string& from, const std::string& to,
                           std::string_view replacement) {
  if (SameCodeSet(from, to)) return std::string(text);
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  IconvHandle converter(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);

  std::string out(text.size() * 4 + 16, '\0');
  std::size_t used = 0;
  auto replace = [&] {
    if (out.size() - used < replacement.size()) out.resize(2 * out.size());
    std::memcpy(out.data() + used, replacement.data(), replacement.size());
    used += replacement.size();
  };
  char* in = const_cast<char*>(text.data());  // iconv's interface is not const-correct
  std::size_t inLeft = text.size();
  while (inLeft > 0) {
    if (!converter) {
      if (static_cast<unsigned char>(*in) < 0x80 && used < out.size()) {
        out[used++] = *in;
      } else {
        replace();
      }
      ++in, --inLeft;
      continue;
    }
    char* outPtr = out.data() + used;
    std::size_t outLeft = out.size() - used;
    std::size_t rc = iconv(static_cast<iconv_t>(converter.get()), &in, &inLeft, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ (malformed or not representable) or EINVAL (cut short at the end).
    std::size_t skip = SkippedUnit(in, inLeft, from);
    in += skip;
    inLeft -= skip;
    replace();
  }
  out.resize(used);
  return out;
}

std::string AnsiFromUtf8(std::string_view text) { return ConvertCodeSet(text, utf8, AnsiCodePage()); }

std::string AnsiFromUtf16le(std::string_view bytes) {
  return ConvertCodeSet(bytes, "UTF-16LE", AnsiCodePage());
}

std::string Utf8FromAnsi(std::string_view text) { return ConvertCodeSet(text, AnsiCodePage(), utf8); }

std::u16string AnsiToUtf16(std::string_view text) {
  const char16_t replacementCharacter = u'\uFFFD';
  std::string bytes = ConvertCodeSet(
      text, AnsiCodePage(), nativeUtf16,
      std::string_view(reinterpret_cast<const char*>(&replacementCharacter), sizeof(char16_t)));
  std::u16string units(bytes.size() / sizeof(char16_t), u'\0');
  std::memcpy(units.data(), bytes.data(), units.size() * sizeof(char16_t));
  return units;
}

#include "platform/ansi_code_page.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <cerrno>

namespace {

constexpr const char* utf8 = "UTF-8";

bool SameCodeSet(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// How many input bytes one '?' replaces: a whole UTF-8 sequence (its lead byte and the
// continuation bytes after it), one UTF-16 unit, or one byte of any other code set.
std::size_t SkippedUnit(const char* in, std::size_t left, const std::string& from) {
  if (SameCodeSet(from, utf8)) {
    std::size_t n = 1;
    while (n < left && n < 4 && (static_cast<unsigned char>(in[n]) & 0xC0) == 0x80) ++n;
    return n;
  }
  if (SameCodeSet(from, "UTF-16LE")) return left < 2 ? left : 2;
  return 1;
}

}  // namespace

std::string AnsiCodeSet() {
  std::string codeSet = nl_langinfo(CODESET);
  if (codeSet == "ANSI_X3.4-1968" || codeSet.empty()) return utf8;
  return codeSet;
}

std::string ConvertCodeSet(std::string_view text, const std::string& from, const std::string& to) {
  if (SameCodeSet(from, to)) return std::string(text);
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);

  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  std::size_t used = 0;
  while (inLeft > 0) {
    char* outPtr = out.data() + used;
    std::size_t outLeft = out.size() - used;
    std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {
      // EILSEQ (malformed or not representable) or EINVAL (cut short at the end).
      std::size_t skip = SkippedUnit(in, inLeft, from);
      in += skip;
      inLeft -= skip;
      if (used == out.size()) out.resize(out.size() * 2);
      out[used++] = '?';
    }
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

std::string AnsiFromUtf8(std::string_view text) { return ConvertCodeSet(text, utf8, AnsiCodeSet()); }

std::string AnsiFromUtf16le(std::string_view bytes) {
  return ConvertCodeSet(bytes, "UTF-16LE", AnsiCodeSet());
}

std::string Utf8FromAnsi(std::string_view text) { return ConvertCodeSet(text, AnsiCodeSet(), utf8); }

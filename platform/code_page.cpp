#include "platform/code_page.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <bit>
#include <cerrno>
#include <memory>

namespace {

// The names nl_langinfo gives for the plain ASCII of the "C" and "POSIX" locales.
constexpr const char* asciiCodesets[] = {"ANSI_X3.4-1968", "ASCII", "US-ASCII"};

constexpr const char* nativeUtf16 =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
constexpr char16_t replacementCharacter = u'\uFFFD';

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

IconvHandle OpenConverter(const std::string& from) {
  iconv_t cd = iconv_open(nativeUtf16, from.c_str());
  return IconvHandle(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);
}

}  // namespace

std::string AnsiCodePage() {
  const char* codeset = nl_langinfo(CODESET);
  for (const char* ascii : asciiCodesets) {
    if (strcasecmp(codeset, ascii) == 0) return "UTF-8";
  }
  return codeset;
}

bool AnsiCodePageIsUtf8() {
  std::string codePage = AnsiCodePage();
  return strcasecmp(codePage.c_str(), "UTF-8") == 0 || strcasecmp(codePage.c_str(), "UTF8") == 0;
}

std::u16string AnsiToUtf16(std::string_view text) {
  // One unit per byte holds every code page's output, but iconv is still asked for
  // more room when a table maps one byte to two units.
  std::u16string out(text.size(), u'\0');
  std::size_t produced = 0;
  auto emit = [&](char16_t unit) {
    if (produced == out.size()) out.resize(2 * out.size() + 1);
    out[produced++] = unit;
  };
  IconvHandle converter = OpenConverter(AnsiCodePage());
  char* in = const_cast<char*>(text.data());  // iconv's interface is not const-correct
  std::size_t inLeft = text.size();
  while (inLeft > 0) {
    if (!converter) {
      emit(static_cast<unsigned char>(*in) < 0x80 ? static_cast<char16_t>(*in) : replacementCharacter);
      ++in, --inLeft;
      continue;
    }
    char* outPtr = reinterpret_cast<char*>(out.data() + produced);
    std::size_t outLeft = (out.size() - produced) * sizeof(char16_t);
    std::size_t result = iconv(static_cast<iconv_t>(converter.get()), &in, &inLeft, &outPtr, &outLeft);
    produced = static_cast<std::size_t>(reinterpret_cast<char16_t*>(outPtr) - out.data());
    if (result != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(2 * out.size() + 1);
      continue;
    }
    // EILSEQ or a sequence cut short at the end (EINVAL): one byte can't be mapped.
    emit(replacementCharacter);
    ++in, --inLeft;
  }
  out.resize(produced);
  return out;
}

// The A-label conversion of platform/idna.h over libidn2 (IDNA2008 with UTS #46).
// libidn2 is opened with dlopen by the first name that is not ASCII and its calls looked
// up with dlsym: linked, it and the libunistring it is built on were mapped and relocated
// by every run, while only a message to or from an internationalised domain needs them.
// Only its header (libidn2-dev) is used at build time.
#include "platform/idna.h"

#include <idn2.h>

#include <mutex>

#include "platform/posix/library_calls.h"

namespace {

constexpr const char* idn2Library = "libidn2.so.0";

// The libidn2 calls used here.
struct Idn2Calls {
  decltype(&idn2_to_ascii_8z) toAscii;
  decltype(&idn2_strerror) strerror;
  decltype(&idn2_free) free;
};

// libidn2, opened once per process and kept open to its end; the empty text, or why it
// cannot be used.
struct Idn2Library {
  Idn2Calls calls{};
  std::string failure;
};

const Idn2Library& OpenIdn2() {
  static Idn2Library idn2;
  static std::once_flag opened;
  std::call_once(opened, [] {
    void* library = OpenRunTimeLibrary(idn2Library, "libidn2", "libidn2-0", idn2.failure);
    if (library == nullptr) return;
    if (!ResolveLibraryCall(library, "idn2_to_ascii_8z", idn2.calls.toAscii) ||
        !ResolveLibraryCall(library, "idn2_strerror", idn2.calls.strerror) ||
        !ResolveLibraryCall(library, "idn2_free", idn2.calls.free)) {
      idn2.failure = std::string(idn2Library) + " lacks a call this program makes";
    }
  });
  return idn2;
}

}  // namespace

bool DomainToAscii(std::string_view utf8Domain, std::string& ascii, std::string& reason) {
  // libidn2 reads a NUL-terminated name: a NUL inside would cut it short unseen.
  if (utf8Domain.find('\0') != std::string_view::npos) {
    reason = "the name holds a NUL";
    return false;
  }
  const Idn2Library& library = OpenIdn2();
  if (!library.failure.empty()) {
    reason = library.failure;
    return false;
  }
  char* converted = nullptr;
  const std::string input(utf8Domain);
  constexpr int flags = IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL | IDN2_USE_STD3_ASCII_RULES;
  const int result = library.calls.toAscii(input.c_str(), &converted, flags);
  if (result != IDN2_OK) {
    reason = library.calls.strerror(result);
    return false;
  }
  ascii = converted;
  library.calls.free(converted);
  return true;
}

// The A-label conversion of platform/idna.h over libidn2 (IDNA2008 with UTS #46).
#include "platform/idna.h"

#include <idn2.h>

bool DomainToAscii(std::string_view utf8Domain, std::string& ascii, std::string& reason) {
  // libidn2 reads a NUL-terminated name: a NUL inside would cut it short unseen.
  if (utf8Domain.find('\0') != std::string_view::npos) {
    reason = "the name holds a NUL";
    return false;
  }
  char* converted = nullptr;
  const std::string input(utf8Domain);
  constexpr int flags = IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL | IDN2_USE_STD3_ASCII_RULES;
  const int result = idn2_to_ascii_8z(input.c_str(), &converted, flags);
  if (result != IDN2_OK) {
    reason = idn2_strerror(result);
    return false;
  }
  ascii = converted;
  idn2_free(converted);
  return true;
}

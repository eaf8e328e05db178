// The A-label conversion of platform/idna.h over the system's IdnToAscii.
#include "platform/idna.h"

#include <windows.h>

#include <string>

#include "platform/system_messages.h"

namespace {

// The UTF-16 form of a UTF-8 text; false for text that is not UTF-8.
bool WideFromUtf8(std::string_view text, std::wstring& wide) {
  if (text.empty()) return true;
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return false;
  wide.resize(static_cast<std::size_t>(length));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                             wide.data(), length) == length;
}

std::string FailureReason(DWORD error) {
  const std::string text = SystemMessageText(error);
  return text.empty() ? "the name is not a valid internationalised domain name (error " +
                            std::to_string(error) + ")"
                      : text;
}

}  // namespace

bool DomainToAscii(std::string_view utf8Domain, std::string& ascii, std::string& reason) {
  std::wstring wide;
  if (utf8Domain.empty() || !WideFromUtf8(utf8Domain, wide)) {
    reason = utf8Domain.empty() ? "the name is empty" : "the name is not UTF-8 text";
    return false;
  }
  constexpr DWORD flags = IDN_USE_STD3_ASCII_RULES;
  const int size = static_cast<int>(wide.size());
  const int length = IdnToAscii(flags, wide.c_str(), size, nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length <= 0 || IdnToAscii(flags, wide.c_str(), size, converted.data(), length) != length) {
    reason = FailureReason(GetLastError());
    return false;
  }
  // An A-label form is ASCII: each unit is its own byte.
  ascii.assign(converted.begin(), converted.end());
  return true;
}

// The system's own texts for Windows, Winsock and security-status numbers, from
// FormatMessageA in the user's language; the program's own text for a number the
// system has none for.
#include "platform/system_messages.h"

#include <windows.h>

#include "platform/windows/built_in_messages.h"

std::string SystemMessageText(std::uint32_t number) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return BuiltInSystemMessageText(number);
  std::string result(text, length);
  LocalFree(text);
  // The system's texts end with a line break, which the error types add themselves.
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

// The parameters from GetCommandLineW and CommandLineToArgvW, converted to the ANSI code
// page with WideCharToMultiByte (WC_NO_BEST_FIT_CHARS), or a file's GetShortPathNameW.
#include "platform/program_arguments.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

// The word in the ANSI code page; unchanged false when a character had no place in it.
std::string ToAnsi(const wchar_t* word, bool& unchanged) {
  BOOL replaced = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, word, -1, nullptr, 0, nullptr, &replaced);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
  if (size > 0) WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, word, -1, text.data(), size, nullptr, &replaced);
  text.resize(text.size() - 1);
  unchanged = replaced == FALSE;
  return text;
}

std::string Argument(const wchar_t* word) {
  bool unchanged = true;
  std::string text = ToAnsi(word, unchanged);
  if (unchanged) return text;
  wchar_t shortPath[MAX_PATH];
  const DWORD length = GetShortPathNameW(word, shortPath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return text;
  std::string shortText = ToAnsi(shortPath, unchanged);
  return unchanged ? shortText : text;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char* argv[]) {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Argument(words[i]));
  LocalFree(words);
  return arguments;
}

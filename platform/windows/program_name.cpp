// The program's name, from GetModuleFileNameA.
#include "platform/windows/program_name.h"

#include <windows.h>

#include <string>

namespace {

std::string NameOfExecutable() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name(path, length < MAX_PATH ? length : 0);
  name.erase(0, name.find_last_of("\\/") + 1);
  std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && _stricmp(name.c_str() + dot, ".exe") == 0) name.erase(dot);
  return name.empty() ? "e-mailer" : name;
}

}  // namespace

const char* ProgramName() {
  static const std::string name = NameOfExecutable();
  return name.c_str();
}

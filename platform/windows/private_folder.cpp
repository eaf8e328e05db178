// The Windows private folders: folders under the user's profile, whose inherited access
// rules already keep them to the user.
#include "platform/private_folder.h"

#include <windows.h>

#include "platform/system_messages.h"

std::string MakePrivateFolder(const std::string& path) {
  for (std::size_t slash = 0; slash != std::string::npos;) {
    slash = path.find_first_of("\\/", slash + 1);
    std::string folder = path.substr(0, slash);
    if (folder.size() <= 2 && folder.back() == ':') continue;  // a drive
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return "\"" + folder + "\": " + SystemMessageText(GetLastError());
    }
  }
  return {};
}

std::string PrivatePathProblem(const std::string& path, bool isFolder) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return "\"" + path + "\": " + SystemMessageText(GetLastError());
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder != isFolder || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return "\"" + path + "\" is not a " + (isFolder ? "folder" : "regular file");
  }
  return {};
}

std::string MakeSharedFolder(const std::string& path) { return MakePrivateFolder(path); }

std::string TouchSharedFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "\"" + path + "\": " + SystemMessageText(GetLastError());
  CloseHandle(file);
  return {};
}

SharedPathCheck CheckSharedPath(const std::string& path, bool isFolder) {
  return {PrivatePathProblem(path, isFolder), true};
}

long FileOwner(const std::string&) { return -1; }

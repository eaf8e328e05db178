// The Windows durable files: CreateFileA with CREATE_NEW, FlushFileBuffers, and
// MoveFileExA with MOVEFILE_WRITE_THROUGH, which returns once the rename is on disk
// (NTFS writes the folder's change to its journal with it).
#include "platform/durable_file.h"

#include <windows.h>

#include <algorithm>

#include "platform/system_messages.h"
#include "platform/uuid.h"

namespace {

std::string Reason(const std::string& path, DWORD error) {
  std::string text = SystemMessageText(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return "\"" + path + "\": " + (text.empty() ? "error " + std::to_string(error) : text);
}

HANDLE FileHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

std::string CDurableFile::Create(const std::string& folder, bool) {
  Discard();
  std::string path = folder + "\\" + std::string(temporaryFilePrefix) + NewUuidText().substr(0, 8);
  // The user's profile folders give the file to the user alone.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Reason(path, GetLastError());
  handle = reinterpret_cast<std::intptr_t>(file);
  temporaryPath = path;
  return {};
}

std::string CDurableFile::Write(std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    DWORD count = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    DWORD written = 0;
    if (!WriteFile(FileHandle(handle), bytes.data() + done, count, &written, nullptr)) {
      return Reason(temporaryPath, GetLastError());
    }
    done += written;
  }
  return {};
}

std::string CDurableFile::Commit(const std::string& path) {
  HANDLE file = FileHandle(handle);
  handle = -1;
  bool done = FlushFileBuffers(file) != 0;
  DWORD error = GetLastError();
  CloseHandle(file);
  if (done && !MoveFileExA(temporaryPath.c_str(), path.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    done = false;
    error = GetLastError();
  }
  if (!done) DeleteFileA(temporaryPath.c_str());
  temporaryPath.clear();
  return done ? std::string() : Reason(path, error);
}

void CDurableFile::Discard() {
  if (handle != -1) CloseHandle(FileHandle(handle));
  handle = -1;
  if (!temporaryPath.empty()) DeleteFileA(temporaryPath.c_str());
  temporaryPath.clear();
}

std::string ReplaceFileDurably(const std::string& path, std::string_view bytes, bool) {
  std::size_t slash = path.find_last_of("\\/");
  CDurableFile file;
  std::string error = file.Create(slash == std::string::npos ? "." : path.substr(0, slash));
  if (error.empty()) error = file.Write(bytes);
  return error.empty() ? file.Commit(path) : error;
}

std::string MoveFileDurably(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return {};
  }
  return Reason(from, GetLastError());
}

std::string RemoveFileDurably(const std::string& path) {
  if (DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return {};
  return Reason(path, GetLastError());
}

// The Windows file lock: LockFileEx on a lock file, tried until the deadline, since a
// waiting LockFileEx has no time bound of its own.
#include "platform/file_lock.h"

#include <windows.h>

#include "platform/system_messages.h"

CFileLock::CFileLock(const std::string& path, std::uint32_t timeout) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "\"" + path + "\": " + SystemMessageText(GetLastError());
    return;
  }
  handle = reinterpret_cast<std::intptr_t>(file);
  const ULONGLONG deadline = GetTickCount64() + timeout;
  OVERLAPPED whole{};
  while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    if (GetLastError() != ERROR_LOCK_VIOLATION) {
      error = "\"" + path + "\": " + SystemMessageText(GetLastError());
      return;
    }
    if (GetTickCount64() >= deadline) {
      busy = true;
      return;
    }
    Sleep(20);
  }
}

CFileLock::~CFileLock() {
  if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));  // releases the lock
}

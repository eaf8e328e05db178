// An attachment file read with CreateFileA, GetFileInformationByHandle and ReadFile. The
// handle is kept as a C run-time descriptor (_open_osfhandle), which closing releases.
#include "platform/read_only_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <limits>

namespace {

HANDLE FileHandle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

std::uint64_t Join(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

}  // namespace

bool CReadOnlyFile::Open(const std::string& path) {
  Close();
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Only disk files: a pipe or device has no size to check and could block or never end.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(file);
  return fd >= 0;
}

bool CReadOnlyFile::Stamp(CFileStamp& stamp) const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (fd < 0 || !GetFileInformationByHandle(FileHandle(fd), &info)) return false;
  stamp.device = info.dwVolumeSerialNumber;
  stamp.file = Join(info.nFileIndexHigh, info.nFileIndexLow);
  stamp.size = Join(info.nFileSizeHigh, info.nFileSizeLow);
  stamp.modified = Join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
  stamp.changed = 0;  // Windows keeps no change time
  return true;
}

bool CReadOnlyFile::Read(char* buffer, std::size_t count, std::size_t& bytesRead) {
  bytesRead = 0;
  if (fd < 0) return false;
  while (bytesRead < count) {
    DWORD chunk = static_cast<DWORD>(
        std::min<std::size_t>(count - bytesRead, std::numeric_limits<DWORD>::max()));
    DWORD n = 0;
    if (!ReadFile(FileHandle(fd), buffer + bytesRead, chunk, &n, nullptr)) return false;
    if (n == 0) break;
    bytesRead += n;
  }
  return true;
}

void CReadOnlyFile::Close() {
  if (fd >= 0) _close(fd);
  fd = -1;
}

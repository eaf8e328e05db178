// A file opened the way an attachment is read: for reading only, regular files only,
// read once from start to end (the kernel is told so, for its read-ahead), and stamped
// so that a change made while it is read can be told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Which file an open file is, its size, and when it was last changed, as the file system
// says. Two stamps of one open file differ once the file has been written, cut, grown or
// had its times set in between, as finely as the file system keeps its times: a write in
// the same tick as the one before it can go unseen. The times are compared, never read
// as dates.
struct CFileStamp {
  std::uint64_t device = 0;    // st_dev; the volume serial number on Windows
  std::uint64_t file = 0;      // st_ino; the file index on Windows
  std::uint64_t size = 0;      // bytes
  std::uint64_t modified = 0;  // the last write of the data (st_mtim; the last write time)
  // The last change of the data or of the file's attributes (st_ctim). Windows has no
  // such time in GetFileInformationByHandle: 0 there, where the last write time alone
  // tells (and the file, open with FILE_SHARE_READ alone, can't be opened for writing).
  std::uint64_t changed = 0;

  bool operator==(const CFileStamp&) const = default;
};

class CReadOnlyFile {
 public:
  CReadOnlyFile() = default;
  CReadOnlyFile(const CReadOnlyFile&) = delete;
  CReadOnlyFile& operator=(const CReadOnlyFile&) = delete;
  ~CReadOnlyFile() { Close(); }

  // False when the file does not exist, can't be read, or is not a regular file (a
  // FIFO or device has no size to check and could block or never end).
  bool Open(const std::string& path);
  // The open file's stamp as of now; its size is 64 bits wide.
  bool Stamp(CFileStamp& stamp) const;
  // Reads up to count bytes, repeating short and interrupted reads; bytesRead is less
  // than count only at the end of the file.
  bool Read(char* buffer, std::size_t count, std::size_t& bytesRead);
  void Close();

 private:
  int fd = -1;
};

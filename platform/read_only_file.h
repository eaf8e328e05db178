// A file opened the way an attachment is read: for reading only, regular files only,
// read once from start to end (the kernel is told so, for its read-ahead).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CReadOnlyFile {
 public:
  CReadOnlyFile() = default;
  CReadOnlyFile(const CReadOnlyFile&) = delete;
  CReadOnlyFile& operator=(const CReadOnlyFile&) = delete;
  ~CReadOnlyFile() { Close(); }

  // False when the file does not exist, can't be read, or is not a regular file (a
  // FIFO or device has no size to check and could block or never end).
  bool Open(const std::string& path);
  // The size in bytes, 64 bits wide.
  bool Size(std::uint64_t& size) const;
  // Reads up to count bytes, repeating short and interrupted reads; bytesRead is less
  // than count only at the end of the file.
  bool Read(char* buffer, std::size_t count, std::size_t& bytesRead);
  void Close();

 private:
  int fd = -1;
};

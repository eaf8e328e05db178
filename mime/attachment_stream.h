// An attachment file's Base64 body (RFC 2045) made block by block as the file is read,
// so that sending a file takes the same memory whatever its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/read_only_file.h"

// Opens an attachment file and takes its stamp (its size among it). False when the file
// can't be opened or its stamp read, when it is not a regular file, or when it is larger
// than maxSize (the last error is then 87, ERROR_INVALID_PARAMETER). The size is compared
// in 64 bits, so with a 32-bit maxSize a file of 4 GiB and more is always refused.
bool OpenAttachmentFile(CReadOnlyFile& file, const std::string& path, std::uint32_t maxSize,
                        CFileStamp& stamp);

class CAttachmentStream {
 public:
  // The bytes read for one block: whole 57-byte groups, each a 76-character line, so
  // the blocks' texts joined are the text of the whole file.
  static constexpr std::size_t blockBytes = 57 * 2048;

  // OpenAttachmentFile; the stream is then at the start of the file.
  bool Open(const std::string& path, std::uint32_t maxSize);

  // The Base64 text of the next block, valid until the next call: lines of 76
  // characters each ended by CR LF, the last one short and padded with "=" as needed;
  // the same bytes as CBase64Buffer::Encode of the whole file with flags 0. Empty text
  // once the whole file has been given. False when the file is no longer what Open saw:
  // it ended before its size, it has grown past it, a read failed, or, once the last
  // block is read, its stamp differs from the one Open took (it was written in place,
  // even at the same size). The text given before is then not the file's text.
  bool Next(std::string_view& text);

 private:
  // True when the file ends where its size said it would and is still as Open saw it.
  bool EndsAsOpened();

  CReadOnlyFile file;
  CFileStamp opened;            // the file's stamp when Open took it
  std::uint64_t remaining = 0;  // bytes of the file still to be read
  bool ended = false;
  std::unique_ptr<char[]> bytes;
  std::unique_ptr<char[]> text;
};

#include "mime/attachment_stream.h"

#include <algorithm>

#include "codec/base64.h"
#include "platform/error_numbers.h"
#include "platform/last_error.h"

static_assert(CAttachmentStream::blockBytes % 57 == 0, "a block must end at a line's end");

bool OpenAttachmentFile(CReadOnlyFile& file, const std::string& path, std::uint32_t maxSize,
                        CFileStamp& stamp) {
  if (!file.Open(path) || !file.Stamp(stamp)) return false;
  if (stamp.size > maxSize) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

bool CAttachmentStream::Open(const std::string& path, std::uint32_t maxSize) {
  ended = false;
  if (!OpenAttachmentFile(file, path, maxSize, opened)) return false;
  remaining = opened.size;
  if (bytes == nullptr) {
    bytes = std::make_unique_for_overwrite<char[]>(blockBytes);
    const int textLength = CBase64Buffer::RequiredEncodedLength(static_cast<int>(blockBytes), 0);
    text = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(textLength));
  }
  return true;
}

bool CAttachmentStream::Next(std::string_view& next) {
  next = {};
  if (remaining == 0) return ended || EndsAsOpened();
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, blockBytes));
  std::size_t got = 0;
  if (!file.Read(bytes.get(), wanted, got) || got != wanted) return false;
  remaining -= got;
  int written = 0;
  CBase64Buffer::EncodeRaw(reinterpret_cast<const unsigned char*>(bytes.get()),
                           static_cast<int>(got), text.get(), &written, 0);
  next = {text.get(), static_cast<std::size_t>(written)};
  return true;
}

bool CAttachmentStream::EndsAsOpened() {
  char probe;
  std::size_t got = 0;
  if (!file.Read(&probe, 1, got) || got != 0) return false;
  // A rewrite in place keeps the size: only the file's times tell that what was read
  // mixes the old text with the new.
  CFileStamp now;
  if (!file.Stamp(now) || now != opened) return false;
  ended = true;
  file.Close();
  return true;
}

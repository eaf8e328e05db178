// Message sizes for SIZE (RFC 1870), counted as the text is rendered (RFC 2045).
#include "mime/message_size.h"

#include "mime/attachment_stream.h"

namespace {

constexpr std::uint64_t base64LineLength = 76;

std::optional<std::uint64_t> AttachmentLength(const CTAVSMTPBodyPart& part) {
  CReadOnlyFile file;
  CFileStamp stamp;
  if (!OpenAttachmentFile(file, part.attachmentPath, part.maxAttachmentSize, stamp)) {
    return std::nullopt;
  }
  return Base64TextLength(stamp.size);
}

std::optional<std::uint64_t> PartLength(CTAVSMTPBodyPart& part, bool isRoot) {
  std::uint64_t length = isRoot ? 0 : part.RenderHeader().size();
  if (!part.attachmentPath.empty()) {
    const std::optional<std::uint64_t> body = AttachmentLength(part);
    if (!body) return std::nullopt;
    length += *body;
  } else {
    const std::optional<std::string> body = part.RenderBody(false);
    if (!body) return std::nullopt;
    length += body->size();
  }
  for (int i = 0; i < part.ChildCount(); ++i) {
    const std::optional<std::uint64_t> child = PartLength(*part.ChildAt(i), false);
    if (!child) return std::nullopt;
    length += *child;
  }
  if (part.ChildCount() > 0) length += part.RenderFooter().size();
  return length;
}

}  // namespace

std::uint64_t Base64TextLength(std::uint64_t size) {
  const std::uint64_t characters = (size + 2) / 3 * 4;
  return characters + characters / base64LineLength * 2;
}

std::optional<std::uint64_t> PartTreeLength(CTAVSMTPBodyPart& root) { return PartLength(root, true); }

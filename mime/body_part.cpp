#include "mime/body_part.h"

#include <algorithm>
#include <climits>
#include <span>

#include "mime/attachment_stream.h"
#include "mime/dot_stuffing.h"
#include "mime/fill_template.h"
#include "mime/header_parameter.h"
#include "mime/line_ends.h"
#include "mime/quoted_printable.h"
#include "mime/utf8.h"
#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/error_numbers.h"
#include "platform/last_error.h"
#include "platform/read_only_file.h"
#include "platform/uuid.h"

namespace {

enum class Encoding { Base64, QuotedPrintable, None };

// The part header templates. Arguments name the values in "%s" order: P the parent's
// boundary, T contentType, C charset, N the parameters of a file's Content-Type (its
// name, or the charset of a file that is a text of the message), B the part's own
// boundary, D a file's Content-Disposition line.
// Attachments are always Base64. Attachment headers open with an extra CR LF. A text
// part with children is a multipart container, which declares no transfer encoding
// (RFC 2046 5.1).
struct PartHeaderTemplate {
  bool attachment;
  bool withChildren;
  Encoding encoding;
  const char* pattern;
  const char* arguments;
};

constexpr PartHeaderTemplate partHeaderTemplates[] = {
    {true, true, Encoding::Base64,
     "\r\n\r\n--%s\r\nContent-Type: %s%s; Boundary=\"%s\"\r\nContent-Transfer-Encoding: base64\r\n%s",
     "PTNBD"},
    {true, false, Encoding::Base64,
     "\r\n\r\n--%s\r\nContent-Type: %s%s\r\nContent-Transfer-Encoding: base64\r\n%s", "PTND"},
    {false, true, Encoding::None, "\r\n--%s\r\nContent-Type: %s; charset=%s; Boundary=\"%s\"\r\n",
     "PTCB"},
    {false, false, Encoding::Base64,
     "\r\n--%s\r\nContent-Type: %s; charset=%s\r\nContent-Transfer-Encoding: base64\r\n", "PTC"},
    {false, false, Encoding::QuotedPrintable,
     "\r\n--%s\r\nContent-Type: %s; charset=%s\r\nContent-Transfer-Encoding: quoted-printable\r\n",
     "PTC"},
    {false, false, Encoding::None, "\r\n--%s\r\nContent-Type: %s; charset=%s\r\n", "PTC"},
};

// The lines that follow the template, in this order, each only when its value is set.
struct OptionalHeaderLine {
  const char* pattern;
  std::string CTAVSMTPBodyPart::*field;
};

constexpr OptionalHeaderLine optionalHeaderLines[] = {
    {"Content-Base: %s\r\n", &CTAVSMTPBodyPart::contentBase},
    {"Content-ID: %s\r\n", &CTAVSMTPBodyPart::contentId},
    {"Content-Location: %s\r\n", &CTAVSMTPBodyPart::contentLocation},
};

std::vector<std::unique_ptr<CTAVSMTPBodyPart>> CopyChildren(const CTAVSMTPBodyPart& source,
                                                           CTAVSMTPBodyPart* newParent) {
  std::vector<std::unique_ptr<CTAVSMTPBodyPart>> copies;
  copies.reserve(source.children.size());
  for (const auto& child : source.children) {
    copies.push_back(std::make_unique<CTAVSMTPBodyPart>(*child));
    copies.back()->parent = newParent;
  }
  return copies;
}

// The encoding of a text part's body. A container's own text, its preamble, stands
// outside its children and their encodings: it goes out as it is, or quoted-printable
// when it could not.
Encoding TextEncoding(const CTAVSMTPBodyPart& part) {
  if (!part.children.empty()) return Encoding::None;
  if (part.base64) return Encoding::Base64;
  return part.quotedPrintable || NeedsQuotedPrintable(part.text) ? Encoding::QuotedPrintable
                                                                 : Encoding::None;
}

// A file's Content-Type parameters: its name when it goes with a disposition; the
// charset when it is a text of the message itself (no disposition).
std::string FileTypeParameters(const CTAVSMTPBodyPart& part) {
  if (!part.disposition.empty()) return "; " + HeaderParameter("name", part.attachmentTitle);
  return part.contentType.starts_with("text/") ? "; charset=" + part.charset : std::string();
}

// Sizes whose Base64 text the coder can't hold in its 32-bit length.
bool TooLargeForBase64(std::uint64_t size) {
  return size > INT_MAX || CBase64Buffer::RequiredEncodedLength(static_cast<int>(size), 0) < 0;
}

}  // namespace

CTAVSMTPBodyPart::CTAVSMTPBodyPart() : boundary(NewUuidText()) {}

CTAVSMTPBodyPart::CTAVSMTPBodyPart(const CTAVSMTPBodyPart& other)
    : attachmentPath(other.attachmentPath),
      attachmentTitle(other.attachmentTitle),
      contentType(other.contentType),
      charset(other.charset),
      contentBase(other.contentBase),
      contentId(other.contentId),
      contentLocation(other.contentLocation),
      disposition(other.disposition),
      text(other.text),
      children(CopyChildren(other, this)),
      boundary(other.boundary),
      quotedPrintable(other.quotedPrintable),
      base64(other.base64),
      maxAttachmentSize(other.maxAttachmentSize) {}

CTAVSMTPBodyPart& CTAVSMTPBodyPart::operator=(const CTAVSMTPBodyPart& other) {
  if (this == &other) return *this;
  // The copies are made before the old children go, since other may be one of them
  // or below one of them.
  auto newChildren = CopyChildren(other, this);
  attachmentPath = other.attachmentPath;
  attachmentTitle = other.attachmentTitle;
  contentType = other.contentType;
  charset = other.charset;
  contentBase = other.contentBase;
  contentId = other.contentId;
  contentLocation = other.contentLocation;
  disposition = other.disposition;
  text = other.text;
  boundary = other.boundary;
  quotedPrintable = other.quotedPrintable;
  base64 = other.base64;
  maxAttachmentSize = other.maxAttachmentSize;
  children = std::move(newChildren);
  return *this;
}

void CTAVSMTPBodyPart::SetBodyText(std::string_view newText) {
  text = WithCrLfLineEnds(newText);
  contentType = "text/plain";
}

int CTAVSMTPBodyPart::AddChild(const CTAVSMTPBodyPart& part) {
  auto copy = std::make_unique<CTAVSMTPBodyPart>(part);
  copy->parent = this;
  children.push_back(std::move(copy));
  return static_cast<int>(children.size()) - 1;
}

int CTAVSMTPBodyPart::ChildCount() const { return static_cast<int>(children.size()); }

CTAVSMTPBodyPart* CTAVSMTPBodyPart::ChildAt(int index) const {
  return children[static_cast<std::size_t>(index)].get();
}

CTAVSMTPBodyPart* CTAVSMTPBodyPart::FindChildByType(const std::string& type) const {
  auto found = std::find_if(children.begin(), children.end(),
                            [&](const auto& child) { return child->contentType == type; });
  return found == children.end() ? nullptr : found->get();
}

std::string CTAVSMTPBodyPart::RenderHeader() const {
  const bool attachment = !attachmentPath.empty();
  const bool withChildren = !children.empty();
  const Encoding encoding = attachment ? Encoding::Base64 : TextEncoding(*this);
  const auto& chosen = *std::find_if(
      std::begin(partHeaderTemplates), std::end(partHeaderTemplates), [&](const auto& t) {
        return t.attachment == attachment && t.withChildren == withChildren && t.encoding == encoding;
      });
  const std::string parentBoundary = parent != nullptr ? parent->boundary : std::string();
  const std::string typeParameters = FileTypeParameters(*this);
  const std::string dispositionLine =
      disposition.empty() ? std::string()
                          : "Content-Disposition: " + disposition + "; " +
                                HeaderParameter("filename", attachmentTitle) + "\r\n";
  std::vector<std::string_view> values;
  for (const char* a = chosen.arguments; *a != '\0'; ++a) {
    switch (*a) {
      case 'P': values.push_back(parentBoundary); break;
      case 'T': values.push_back(contentType); break;
      case 'C': values.push_back(charset); break;
      case 'N': values.push_back(typeParameters); break;
      case 'B': values.push_back(boundary); break;
      case 'D': values.push_back(dispositionLine); break;
    }
  }
  std::string header = FillTemplate(chosen.pattern, values);
  for (const auto& line : optionalHeaderLines) {
    const std::string& value = this->*line.field;
    if (!value.empty()) header += FillTemplate(line.pattern, {value});
  }
  header += "\r\n";
  return header;
}

std::optional<std::string> CTAVSMTPBodyPart::RenderBody(bool dotStuff) {
  if (!attachmentPath.empty()) return RenderAttachment();
  return RenderText(dotStuff);
}

std::string CTAVSMTPBodyPart::RenderFooter() const { return FillTemplate("\r\n--%s--", {boundary}); }

std::optional<std::string> CTAVSMTPBodyPart::RenderAttachment() {
  CReadOnlyFile file;
  CFileStamp stamp;
  if (!OpenAttachmentFile(file, attachmentPath, maxAttachmentSize, stamp)) return std::nullopt;
  const std::uint64_t size = stamp.size;
  if (size == 0) return std::string();
  if (TooLargeForBase64(size)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  auto bytes = std::make_unique_for_overwrite<char[]>(size);
  std::size_t bytesRead = 0;
  if (!file.Read(bytes.get(), size, bytesRead)) return std::nullopt;
  file.Close();
  encodedBody.Encode(reinterpret_cast<const unsigned char*>(bytes.get()),
                     static_cast<int>(bytesRead), 0);
  bytes.reset();  // freed before the Base64 text is copied out, to lower the peak
  return EncodedBodyText();
}

// The text is given CR LF line ends first, whoever set it, so no bare CR or LF reaches
// the wire.
std::string CTAVSMTPBodyPart::RenderText(bool dotStuff) {
  std::string source = WithCrLfLineEnds(text);
  if (IsUtf8Charset(charset)) source = AnsiToUtf8(source);
  const Encoding encoding = TextEncoding(*this);
  if (encoding == Encoding::Base64) return EncodeBase64(source);  // no line starts with a dot
  if (encoding == Encoding::QuotedPrintable || NeedsQuotedPrintable(source)) {
    source = EncodeQuotedPrintable(source);
  }
  if (dotStuff) DotStuff(source);
  return source;
}

std::string CTAVSMTPBodyPart::EncodeBase64(std::string_view bytes) {
  if (bytes.size() > INT_MAX) RaiseSmtpError(msgBase64Encode, FACILITY_ITF, "");
  encodedBody.Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<int>(bytes.size()), 0);
  return EncodedBodyText();
}

std::string CTAVSMTPBodyPart::EncodedBodyText() const {
  return std::string(encodedBody.Data(), static_cast<std::size_t>(encodedBody.Length()));
}

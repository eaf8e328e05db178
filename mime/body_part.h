// One node of a MIME body (RFC 2045, RFC 2046): a text, plain, quoted-printable or
// Base64, or a file attachment in Base64; with children it is also a multipart
// container whose own boundary separates them.
//
// The transfer sends a part tree as: the part's header (not for the root, whose type
// the message header carries), its body rendered with dot stuffing (an attachment's
// the same text, made block by block as its file is read: attachment_stream.h), each
// child in order, and, when there are children, the part's footer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base64.h"

class CTAVSMTPBodyPart {
 public:
  static constexpr std::uint32_t defaultMaxAttachmentSize = 50 * 1024 * 1024;

  // A text/plain part in "iso-8859-1", quoted-printable, with a fresh UUID boundary.
  CTAVSMTPBodyPart();
  // Copies every field but encodedBody and the parent, the boundary included, and
  // deep-copies the children, whose copies get this part as their parent. A copy has
  // no parent until AddChild makes it a child; an assigned part keeps its own place in
  // its tree. So no part can point to a parent that is gone.
  CTAVSMTPBodyPart(const CTAVSMTPBodyPart& other);
  CTAVSMTPBodyPart& operator=(const CTAVSMTPBodyPart& other);
  virtual ~CTAVSMTPBodyPart() = default;

  // Stores the text with every line end, CR LF, CR or LF, made CR LF, and sets the type
  // to "text/plain".
  void SetBodyText(std::string_view newText);

  // Appends a deep copy of part whose parent is this part; returns its index.
  int AddChild(const CTAVSMTPBodyPart& part);
  int ChildCount() const;
  // No range test: callers iterate from 0 to ChildCount() - 1.
  CTAVSMTPBodyPart* ChildAt(int index) const;
  // The first direct child whose contentType equals type exactly, or null.
  CTAVSMTPBodyPart* FindChildByType(const std::string& type) const;

  // The part's header: the parent's boundary line, the Content-Type line (with the
  // part's own boundary when it has children), the transfer encoding (none for a part
  // with children; quoted-printable for a text whose flags ask for none but which holds
  // 8-bit bytes, a NUL or a line over 998 octets), the attachment's
  // disposition, the Content-Base, Content-ID and Content-Location lines that are set,
  // and the empty line. A part without a parent opens with an empty boundary.
  std::string RenderHeader() const;
  // A text goes out with CR LF line ends, whatever the line ends of text; the text of a
  // part with children, its preamble, goes out as it is, or quoted-printable when it
  // could not.
  // The encoded body; dotStuff doubles line-leading dots of quoted-printable and plain
  // text. Replaces encodedBody when the body is Base64. Null when the attachment can't
  // be opened or read, is not a regular file, or is larger than maxAttachmentSize (the
  // last error is then 87, ERROR_INVALID_PARAMETER, also for files of 4 GiB and more
  // and for files whose Base64 text would outgrow the coder). An empty file gives an
  // empty body. A Base64 text part too long for the coder raises CTAVSMTPException 540.
  std::optional<std::string> RenderBody(bool dotStuff);
  // "\r\n--" boundary "--": the line that closes the children, without a line end.
  std::string RenderFooter() const;

  std::string attachmentPath;
  std::string attachmentTitle;
  std::string contentType = "text/plain";
  std::string charset = "iso-8859-1";
  std::string contentBase;
  std::string contentId;
  std::string contentLocation;
  // How a file part is shown, as its Content-Disposition line: "attachment" (with
  // attachmentTitle as its file name, also the name parameter of its Content-Type),
  // "inline" (the same, a part of the HTML that it goes with), or empty: no disposition
  // and no name, the file is a text of the message itself (a body read from a file),
  // whose Content-Type carries the charset when its type is "text/...". Names are
  // quoted strings, or RFC 2231 extended values where not printable ASCII.
  std::string disposition = "attachment";
  std::string text;
  CBase64Buffer encodedBody;
  std::vector<std::unique_ptr<CTAVSMTPBodyPart>> children;
  CTAVSMTPBodyPart* parent = nullptr;
  std::string boundary;
  bool quotedPrintable = true;
  bool base64 = false;
  std::uint32_t maxAttachmentSize = defaultMaxAttachmentSize;

 private:
  std::optional<std::string> RenderAttachment();
  std::string RenderText(bool dotStuff);
  std::string EncodeBase64(std::string_view bytes);
  std::string EncodedBodyText() const;
};

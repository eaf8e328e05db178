// The e-mail: sender, recipients, subject and the other header fields, the DSN options
// of the envelope, and the tree of body parts. It renders its header block (RFC 2822,
// with MIME 1.0 content lines and RFC 2047 encoded words) and places a plain body text
// into its part tree.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/address.h"
#include "mime/body_part.h"

// The text before the first part of a multipart body, for readers that know no MIME.
inline constexpr const char* multipartPreamble = "This is a multi-part message in MIME format";

class CTAVSMTPMessage {
 public:
  enum RecipientKind { RecipientTo = 0, RecipientCc = 1, RecipientBcc = 2 };
  enum MessagePriority { PriorityNone = 0, PriorityLow = 1, PriorityNormal = 2, PriorityHigh = 3 };

  CTAVSMTPMessage() = default;
  CTAVSMTPMessage(const CTAVSMTPMessage&) = delete;
  CTAVSMTPMessage& operator=(const CTAVSMTPMessage&) = delete;
  virtual ~CTAVSMTPMessage() = default;

  // Appends a copy of the address to the list of kind and returns its index; -1, and
  // nothing added, for a kind that names no list.
  int AppendRecipient(const CTAVSMTPAddress& address, int kind);
  // 0 for a kind that names no list.
  int RecipientCount(int kind) const;
  // Null for a kind that names no list; no range test on index.
  CTAVSMTPAddress* RecipientAt(int index, int kind) const;

  // The header block as of now: From, To, Cc, Subject, X-Mailer, the content lines,
  // Reply-To, Date, Message-ID (when messageId is set and no extra line sets one),
  // X-Priority and the extra lines, each ending in CR LF, without the empty line that
  // ends the block. Header values are encoded with the root part's charset; every
  // field but the content lines is folded at white space to 78 characters where it
  // can be (FoldHeaderField). Without mime, a plain body that needs quoted-printable
  // (PlainBodyText) adds "MIME-Version: 1.0" before and "Content-Transfer-Encoding:
  // quoted-printable" after the Content-Type. Bcc recipients get no line.
  virtual std::string BuildHeader();
  // The same block with the Date of a given instant.
  std::string BuildHeaderAt(std::time_t when) const;

  // Without mime, the root part's text. With mime, the text of the first "text/plain"
  // child of the root; when there is none, the root becomes "multipart/mixed" with the
  // preamble "This is a multi-part message in MIME format" and gets a text child, in
  // the root's charset, after the children it already has.
  void SetBody(const std::string& body);

  // The body of a message without mime and without child parts, as it goes out after
  // the header block, before dot stuffing: the root's text with CR LF line ends, in
  // UTF-8 when the root's charset is "UTF-8", and quoted-printable when it holds a byte
  // of 128 and above, a NUL or a line over 998 octets (NeedsQuotedPrintable).
  std::string PlainBodyText() const;

  CTAVSMTPAddress from;
  std::string subject;
  std::string mailer = "CTAVSMTPConnection v2.67";
  CTAVSMTPAddress replyTo;
  CTAVSMTPBodyPart rootPart;
  int priority = PriorityNone;
  bool dsnReturnFull = false;
  int dsnNotify = -1;
  std::string dsnEnvelopeId;
  std::vector<std::unique_ptr<CTAVSMTPAddress>> toList;
  std::vector<std::unique_ptr<CTAVSMTPAddress>> ccList;
  std::vector<std::unique_ptr<CTAVSMTPAddress>> bccList;
  std::vector<std::string> extraHeaders;
  bool mime = false;
  // The Message-ID without its angle brackets ("left@domain"); the transfer fills an
  // empty one with MakeMessageId. Empty: no Message-ID line.
  std::string messageId;

 private:
  using AddressList = std::vector<std::unique_ptr<CTAVSMTPAddress>>;
  const AddressList* ListOf(int kind) const;
  AddressList* ListOf(int kind);
  std::string AddressListText(const AddressList& list, const std::string& charset,
                              std::string_view fieldName) const;
  std::string ContentLines() const;
  bool PlainBodyIsQuotedPrintable() const;
  bool HasMessageIdLine() const;
};

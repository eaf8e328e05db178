#include "mime/message.h"

#include <algorithm>

#include "mime/date_header.h"
#include "mime/fill_template.h"
#include "mime/header_encoding.h"
#include "mime/header_folding.h"
#include "mime/line_ends.h"
#include "mime/message_id.h"
#include "mime/quoted_printable.h"
#include "mime/utf8.h"
#include "platform/local_time.h"

namespace {

// The X-Priority line of each MessagePriority; other values write none.
constexpr const char* priorityLines[] = {
    "",                  // PriorityNone
    "X-Priority: 5\r\n",  // PriorityLow
    "X-Priority: 3\r\n",  // PriorityNormal
    "X-Priority: 1\r\n",  // PriorityHigh
};

// Room for a header block of a few addresses, made at once rather than by growing.
constexpr std::size_t headerRoom = 512;

std::string Join(const std::vector<std::string>& items, std::string_view separator) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += separator;
    text += items[i];
  }
  return text;
}

}  // namespace

int CTAVSMTPMessage::AppendRecipient(const CTAVSMTPAddress& address, int kind) {
  AddressList* list = ListOf(kind);
  if (list == nullptr) return -1;
  list->push_back(std::make_unique<CTAVSMTPAddress>(address));
  return static_cast<int>(list->size()) - 1;
}

int CTAVSMTPMessage::RecipientCount(int kind) const {
  const AddressList* list = ListOf(kind);
  return list == nullptr ? 0 : static_cast<int>(list->size());
}

CTAVSMTPAddress* CTAVSMTPMessage::RecipientAt(int index, int kind) const {
  const AddressList* list = ListOf(kind);
  return list == nullptr ? nullptr : (*list)[static_cast<std::size_t>(index)].get();
}

std::string CTAVSMTPMessage::BuildHeader() { return BuildHeaderAt(CurrentTime()); }

std::string CTAVSMTPMessage::BuildHeaderAt(std::time_t when) const {
  const std::string& charset = rootPart.charset;
  std::string header;
  header.reserve(headerRoom);
  auto addField = [&header](const std::string& field) {
    header += FoldHeaderField(field);
    header += "\r\n";
  };
  addField("From: " + from.ToHeaderText(true, charset));
  addField("To: " + AddressListText(toList, charset, "To: "));
  const std::string ccText = AddressListText(ccList, charset, "Cc: ");
  if (!ccText.empty()) addField("Cc: " + ccText);
  addField("Subject: " + EncodeHeaderText(subject, charset));
  if (!mailer.empty()) addField("X-Mailer: " + mailer);
  header += ContentLines();
  if (!replyTo.emailAddress.empty()) addField("Reply-To: " + replyTo.ToHeaderText(true, charset));
  header += "Date: " + DateText(when) + "\r\n";
  if (!messageId.empty() && !HasMessageIdLine()) header += "Message-ID: <" + messageId + ">\r\n";
  if (priority >= 0 && priority < static_cast<int>(std::size(priorityLines))) {
    header += priorityLines[priority];
  }
  for (const std::string& line : extraHeaders) addField(line);
  return header;
}

void CTAVSMTPMessage::SetBody(const std::string& body) {
  if (!mime) {
    rootPart.SetBodyText(body);
    return;
  }
  if (CTAVSMTPBodyPart* textPart = rootPart.FindChildByType("text/plain")) {
    textPart->SetBodyText(body);
    return;
  }
  const std::string charset = rootPart.charset;
  rootPart.SetBodyText(multipartPreamble);
  rootPart.contentType = "multipart/mixed";
  CTAVSMTPBodyPart textPart;
  textPart.charset = charset;
  textPart.SetBodyText(body);
  rootPart.AddChild(textPart);
}

const CTAVSMTPMessage::AddressList* CTAVSMTPMessage::ListOf(int kind) const {
  switch (kind) {
    case RecipientTo: return &toList;
    case RecipientCc: return &ccList;
    case RecipientBcc: return &bccList;
    default: return nullptr;
  }
}

CTAVSMTPMessage::AddressList* CTAVSMTPMessage::ListOf(int kind) {
  return const_cast<AddressList*>(static_cast<const CTAVSMTPMessage*>(this)->ListOf(kind));
}

std::string CTAVSMTPMessage::PlainBodyText() const {
  std::string body = WithCrLfLineEnds(rootPart.text);
  if (IsUtf8Charset(rootPart.charset)) body = AnsiToUtf8(body);
  return PlainBodyIsQuotedPrintable() ? EncodeQuotedPrintable(body) : body;
}

// The rendered addresses joined by a comma without a space while the field fits one
// line; a longer field joins them with ", ", so it can be folded between them.
std::string CTAVSMTPMessage::AddressListText(const AddressList& list, const std::string& charset,
                                             std::string_view fieldName) const {
  std::vector<std::string> items;
  for (const auto& address : list) items.push_back(address->ToHeaderText(true, charset));
  std::string text = Join(items, ",");
  return fieldName.size() + text.size() > foldedLineLength ? Join(items, ", ") : text;
}

// MIME-Version and Content-Type of the root part: with mime a multipart root names its
// boundary; without mime the charset is written on a continuation line, and a plain
// body that goes out quoted-printable says so.
std::string CTAVSMTPMessage::ContentLines() const {
  if (!mime) {
    const std::string type =
        FillTemplate("Content-Type: %s;\r\n\tcharset=%s\r\n",
                     {rootPart.contentType, rootPart.charset});
    if (!PlainBodyIsQuotedPrintable()) return type;
    return "MIME-Version: 1.0\r\n" + type + "Content-Transfer-Encoding: quoted-printable\r\n";
  }
  if (rootPart.ChildCount() > 0) {
    return FillTemplate("MIME-Version: 1.0\r\nContent-Type: %s; boundary=\"%s\"\r\n",
                        {rootPart.contentType, rootPart.boundary});
  }
  return FillTemplate("MIME-Version: 1.0\r\nContent-Type: %s\r\n", {rootPart.contentType});
}

// The transfer sends the root's text as the body only without mime and children.
bool CTAVSMTPMessage::PlainBodyIsQuotedPrintable() const {
  return !mime && rootPart.ChildCount() == 0 && NeedsQuotedPrintable(rootPart.text);
}

bool CTAVSMTPMessage::HasMessageIdLine() const {
  return std::any_of(extraHeaders.begin(), extraHeaders.end(), IsMessageIdLine);
}

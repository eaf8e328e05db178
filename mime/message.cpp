#include "mime/message.h"

#include "mime/date_header.h"
#include "mime/fill_template.h"
#include "mime/header_encoding.h"
#include "platform/local_time.h"

namespace {

// The X-Priority line of each MessagePriority; other values write none.
constexpr const char* priorityLines[] = {
    "",                  // PriorityNone
    "X-Priority: 5\r\n",  // PriorityLow
    "X-Priority: 3\r\n",  // PriorityNormal
    "X-Priority: 1\r\n",  // PriorityHigh
};

constexpr const char* multipartPreamble = "This is a multi-part message in MIME format";

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
  const std::string ccText = AddressListText(ccList, charset);
  std::string header = "From: " + from.ToHeaderText(true, charset);
  header += "\r\nTo: " + AddressListText(toList, charset) + "\r\n";
  if (!ccText.empty()) header += "Cc: " + ccText + "\r\n";
  header += "Subject: " + EncodeHeaderText(subject, charset);
  if (!mailer.empty()) header += "\r\nX-Mailer: " + mailer;
  header += "\r\n";
  header += ContentLines();
  if (!replyTo.emailAddress.empty()) {
    header += "Reply-To: " + replyTo.ToHeaderText(true, charset) + "\r\n";
  }
  header += "Date: " + DateText(when) + "\r\n";
  if (priority >= 0 && priority < static_cast<int>(std::size(priorityLines))) {
    header += priorityLines[priority];
  }
  for (const std::string& line : extraHeaders) header += line + "\r\n";
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

// The rendered addresses joined by a comma without a space.
std::string CTAVSMTPMessage::AddressListText(const AddressList& list,
                                             const std::string& charset) const {
  std::string text;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) text += ",";
    text += list[i]->ToHeaderText(true, charset);
  }
  return text;
}

// MIME-Version and Content-Type of the root part: with mime a multipart root names its
// boundary; without mime the charset is written on a continuation line.
std::string CTAVSMTPMessage::ContentLines() const {
  if (!mime) {
    return FillTemplate("Content-Type: %s;\r\n\tcharset=%s\r\n", {rootPart.contentType, rootPart.charset});
  }
  if (rootPart.ChildCount() > 0) {
    return FillTemplate("MIME-Version: 1.0\r\nContent-Type: %s; boundary=\"%s\"\r\n",
                        {rootPart.contentType, rootPart.boundary});
  }
  return FillTemplate("MIME-Version: 1.0\r\nContent-Type: %s\r\n", {rootPart.contentType});
}

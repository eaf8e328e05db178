#include "app/mailer/script_queue.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

#include "app/run/settings.h"
#include "errors/message_table.h"
#include "errors/raise.h"
#include "mime/attachment_stream.h"
#include "mime/message_id.h"
#include "platform/error_numbers.h"
#include "platform/win_types.h"
#include "queue/queue.h"

namespace {

int ReplyCode(const std::string& text) {
  return text.size() >= 3 && std::isdigit(static_cast<unsigned char>(text[0])) ? std::atoi(text.c_str()) : 0;
}

void WritePart(CQueueSpool& spool, CTAVSMTPBodyPart& part, bool isRoot) {
  if (!isRoot) spool.Write(part.RenderHeader());
  if (!part.attachmentPath.empty()) {
    CAttachmentStream stream;
    if (!stream.Open(part.attachmentPath, part.maxAttachmentSize)) RaiseSmtpError(msgPartBody, FACILITY_ITF, "");
    for (std::string_view text;;) {
      if (!stream.Next(text)) RaiseSmtpError(msgPartBody, FACILITY_ITF, "");
      if (text.empty()) break;
      spool.Write(text);
    }
  } else {
    std::optional<std::string> body = part.RenderBody(false);
    if (!body) RaiseSmtpError(msgPartBody, FACILITY_ITF, "");
    spool.Write(*body);
  }
  for (int i = 0; i < part.ChildCount(); ++i) WritePart(spool, *part.ChildAt(i), false);
  if (part.ChildCount() > 0) spool.Write(part.RenderFooter());
}

}  // namespace

bool RelayUnreachable(const CException& error) {
  const auto* smtp = dynamic_cast<const CTAVSMTPException*>(&error);
  if (smtp == nullptr) return false;
  const std::uint32_t facility = HresultFacility(smtp->m_hrError);
  const std::uint32_t code = HresultCode(smtp->m_hrError);
  if (facility == FACILITY_WIN32) return code != ERROR_INVALID_PARAMETER;
  const int reply = ReplyCode(smtp->m_sLastResponseText);
  return facility == FACILITY_ITF && (code == msgGreeting || (reply >= 400 && reply < 500));
}

std::string QueueMessage(CTAVSMTPMessage& message, const std::string& account) {
  if (message.messageId.empty()) message.messageId = MakeMessageId(message.from.emailAddress, "");
  CQueueEnvelope envelope;
  envelope.sender = message.from.emailAddress;
  for (const auto* list : {&message.toList, &message.ccList, &message.bccList}) {
    for (const auto& recipient : *list) envelope.recipients.push_back(recipient->emailAddress);
  }
  envelope.dsnNotify = message.dsnNotify;
  envelope.dsnReturnFull = message.dsnReturnFull;
  envelope.dotEndsInput = false;
  envelope.account = account;
  const CQueue queue(QueuePlace(UsesSystemSettings()));
  CQueueSpool spool(queue);
  spool.Write(message.BuildHeader() + "\r\n");
  if (message.mime || message.rootPart.ChildCount() > 0) {
    WritePart(spool, message.rootPart, true);
  } else {
    spool.Write(message.PlainBodyText());
  }
  return spool.Commit(envelope, std::time(nullptr));
}

// Envelope and message transfer of CTAVSMTPConnection: MAIL FROM and RCPT TO (RFC 5321)
// with the delivery status notification parameters RET, ENVID and NOTIFY (RFC 3461),
// SIZE (RFC 1870) and SMTPUTF8 (RFC 6531) where the server offers them, then DATA with
// the header block, the body or the MIME part tree, and the end-of-data line.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

#include "mime/attachment_stream.h"
#include "mime/dot_stuffing.h"
#include "mime/header_folding.h"
#include "mime/line_ends.h"
#include "mime/message_id.h"
#include "mime/message_size.h"
#include "errors/message_table.h"
#include "platform/uuid.h"
#include "smtp/connection.h"
#include "smtp/envelope.h"
#include "smtp/envelope_extensions.h"
#include "smtp/guards.h"
#include "smtp/international_address.h"

namespace {

constexpr std::int32_t noDsn = -1;

// The pieces of the message text go out one by one, each followed at once by the next,
// up to the end-of-data line: held back, they leave in as few segments as the text
// needs, and the server reads the message in one go.
constexpr bool moreFollows = true;

// The CR LF that goes out before the end-of-data dot ends the text's last line.
constexpr std::uint64_t lastLineEnd = 2;

void AddPartFields(const CTAVSMTPBodyPart& part, std::vector<std::string_view>& fields) {
  fields.insert(fields.end(), {part.contentType, part.charset, part.attachmentTitle,
                               part.contentBase, part.contentId, part.contentLocation,
                               part.boundary, part.disposition});
  for (const auto& child : part.children) AddPartFields(*child, fields);
}

// A header line may have maxLineLength octets without its CR LF (RFC 5322 2.1.1).
constexpr auto maxHeaderLength = static_cast<std::ptrdiff_t>(maxLineLength);

constexpr std::ptrdiff_t Length(std::string_view text) { return std::ssize(text); }

// A text that goes out as it is between angle brackets, and the most octets it may have
// for the line that holds it to keep within its limit (below 0 when the rest of that
// line is already too long).
struct BracketedField {
  std::string_view text;
  std::ptrdiff_t room;
};

// The addresses and the Message-ID, which go between angle brackets in a command or a
// header line: a "<" or ">" in them would close the brackets early and add parameters
// or addresses, and none of them can be folded. A sender or recipient that fits its
// command fits the From, To or Cc line too: those lines fold before a named address
// (" <address>"), and a bare one follows at most "From: " or ends with a comma. The
// Reply-To line is longest with a bare address. A Message-ID that the transfer makes
// has a domain of at most 255 octets (MakeMessageId), so it fits too.
// The MAIL FROM command may carry parameters octets of extension parameters.
std::vector<BracketedField> BracketedFields(const CTAVSMTPMessage& message, std::size_t parameters) {
  const std::ptrdiff_t senderRoom =
      SenderRoom(message.dsnNotify, message.dsnEnvelopeId) - static_cast<std::ptrdiff_t>(parameters);
  std::vector<BracketedField> fields{
      {message.from.emailAddress, senderRoom},
      {message.replyTo.emailAddress, maxHeaderLength - Length("Reply-To: ")},
      {message.messageId, maxHeaderLength - Length("Message-ID: <>")}};
  const std::ptrdiff_t recipientRoom = RecipientRoom(message.dsnNotify);
  for (const auto* list : {&message.toList, &message.ccList, &message.bccList}) {
    for (const auto& recipient : *list) fields.push_back({recipient->emailAddress, recipientRoom});
  }
  return fields;
}

bool IsUnsendableBracketedField(const BracketedField& field) {
  return IsUnsendableBracketedText(field.text, field.room);
}

// The other texts of the message that go into a command or a header line as they are.
// The display names and the subject are not among them: any line break in them goes
// out escaped in an encoded word.
std::vector<std::string_view> UnbracketedUnencodedFields(const CTAVSMTPMessage& message) {
  std::vector<std::string_view> fields{message.mailer};
  if (message.dsnNotify != noDsn) fields.push_back(message.dsnEnvelopeId);
  fields.insert(fields.end(), message.extraHeaders.begin(), message.extraHeaders.end());
  AddPartFields(message.rootPart, fields);
  return fields;
}

// A header line that ends the header block (""), ends the data (".", as header lines
// are not dot-stuffed) or loses its first dot at the server; or one that no folding
// can bring within the line limit.
bool IsUnsendableHeaderLine(std::string_view line) {
  return line.empty() || line.starts_with('.') || HasLineLongerThan(FoldHeaderField(line), maxLineLength);
}

// Refuses with 87 (facility 7) what the caller gives that would end a line, a
// bracket, a parameter or the data early, or make a line longer than its limit.
void RefuseUnsendableFields(const CTAVSMTPMessage& message, std::size_t parameters) {
  for (std::string_view field : UnbracketedUnencodedFields(message)) {
    RefuseLineBreaks(field, lineBreaksAndNul);
  }
  const auto bracketed = BracketedFields(message, parameters);
  const bool badAddress = std::any_of(bracketed.begin(), bracketed.end(), IsUnsendableBracketedField);
  const bool badLine =
      std::any_of(message.extraHeaders.begin(), message.extraHeaders.end(), IsUnsendableHeaderLine) ||
      (!message.mailer.empty() && IsUnsendableHeaderLine("X-Mailer: " + message.mailer));
  if (badAddress || badLine || !IsEnvelopeIdSendable(message.dsnNotify, message.dsnEnvelopeId)) {
    RaiseSmtpError(ERROR_INVALID_PARAMETER, FACILITY_WIN32, "");
  }
}

}  // namespace

std::string MakeEnvelopeId() {
  std::string id = NewUuidText();
  std::erase_if(id, [](char c) { return c == '{' || c == '}' || c == '-'; });
  std::ranges::transform(id, id.begin(), [](unsigned char c) { return std::toupper(c); });
  return id;
}

bool IsReplyRefusal(const CTAVSMTPException& e) {
  constexpr std::uint32_t refusals[] = {msgMailFrom, msgRcptTo, msgData, msgEndOfMessage};
  return std::ranges::any_of(refusals, [&](std::uint32_t id) {
    return e.m_hrError == MakeFailureHresult(FACILITY_ITF, id);
  });
}

void CTAVSMTPConnection::SendMailMessage(CTAVSMTPMessage& message) { TransferMessage(message, false); }

std::optional<CTAVSMTPException> CTAVSMTPConnection::SendMailMessageAndQuit(CTAVSMTPMessage& message) {
  return TransferMessage(message, true);
}

std::optional<CTAVSMTPException> CTAVSMTPConnection::TransferMessage(CTAVSMTPMessage& message, bool quit) {
  // The commands and the header block carry the addresses as they go out: A-labels
  // or, with SMTPUTF8, UTF-8.
  const CTransferAddresses addresses(message, m_serverExtensions.smtpUtf8);
  PrepareMessage(message, addresses.smtpUtf8);
  // The data depends on nothing the server says. SIZE needs its size before MAIL FROM;
  // without SIZE it is made while the server answers MAIL FROM.
  std::optional<CPreparedData> data;
  auto prepare = [&] {
    if (!data) data = PrepareData(message, m_serverExtensions.size);
  };
  if (m_serverExtensions.size) {
    prepare();
    RefuseOversizedMessage(m_serverExtensions, data->size);
  }
  SendEnvelope(MessageEnvelope(message, data ? data->size : std::nullopt, addresses.smtpUtf8), prepare);
  SendDataText([&] {
    prepare();
    SendMessageText(message, *data);
    SendCommand("\r\n.\r\n", moreFollows);
  });
  return FinishData(quit);
}

void CTAVSMTPConnection::PrepareMessage(CTAVSMTPMessage& message, bool smtpUtf8) {
  // Nothing the caller gives may end a line early and so add commands or headers.
  RefuseUnsendableFields(message, MailFromParametersRoom(m_serverExtensions, smtpUtf8));
  if (message.messageId.empty()) {
    message.messageId = MakeMessageId(message.from.emailAddress, m_sHeloHostname);
  }
}

CEnvelopeCommands CTAVSMTPConnection::MessageEnvelope(CTAVSMTPMessage& message,
                                                      std::optional<std::uint64_t> size, bool smtpUtf8) {
  CEnvelopeCommands envelope;
  envelope.mailFrom = WithMailFromParameters(
      FormatMailFrom(message.from.emailAddress, message.dsnNotify, message.dsnReturnFull,
                     message.dsnEnvelopeId),
      MailFromParameters(m_serverExtensions, size, smtpUtf8));
  envelope.notify = message.dsnNotify;
  // Every recipient is named in the envelope; Bcc differs only in the header block.
  for (int kind : {CTAVSMTPMessage::RecipientTo, CTAVSMTPMessage::RecipientCc,
                   CTAVSMTPMessage::RecipientBcc}) {
    for (int i = 0; i < message.RecipientCount(kind); ++i) {
      envelope.recipients.push_back(message.RecipientAt(i, kind)->emailAddress);
      envelope.recipientAddresses.push_back(message.RecipientAt(i, kind));
    }
  }
  return envelope;
}

CPreparedData CTAVSMTPConnection::PrepareData(CTAVSMTPMessage& message, bool withSize) {
  CPreparedData data{message.BuildHeader() + "\r\n", std::nullopt, std::nullopt};
  std::optional<std::uint64_t> bodySize;
  if (message.rootPart.ChildCount() == 0 && !message.mime) {
    data.plainBody = message.PlainBodyText();
    bodySize = data.plainBody->size();
    DotStuff(*data.plainBody);
  } else if (withSize) {
    bodySize = PartTreeLength(message.rootPart);
  }
  if (withSize && bodySize) data.size = data.header.size() + *bodySize + lastLineEnd;
  return data;
}

void CTAVSMTPConnection::SendMessageText(CTAVSMTPMessage& message, const CPreparedData& data) {
  SendCommand(data.header, moreFollows);
  if (data.plainBody) {
    SendCommand(*data.plainBody, moreFollows);
  } else {
    SendBodyPart(message.rootPart, true);
  }
}

std::string CTAVSMTPConnection::FormatMailFrom(const std::string& address, std::int32_t notify,
                                               bool returnFull, std::string& envelopeId) {
  if (notify == noDsn) return "MAIL FROM:<" + address + ">\r\n";
  if (envelopeId.empty()) envelopeId = MakeEnvelopeId();
  return "MAIL FROM:<" + address + "> RET=" + (returnFull ? "FULL" : "HDRS") +
         " ENVID=" + envelopeId + "\r\n";
}

void CTAVSMTPConnection::SendRcptTo(std::int32_t notify, const CTAVSMTPAddress& recipient) {
  SendCommand(FormatRcptTo(recipient.emailAddress, notify));
  if (!ExpectEitherReply(250, 251)) RaiseSmtpError(msgRcptTo, FACILITY_ITF, GetLastReply());
}

void CTAVSMTPConnection::SendBodyPart(CTAVSMTPBodyPart& part, bool isRoot) {
  if (!isRoot) SendCommand(part.RenderHeader(), moreFollows);
  if (!part.attachmentPath.empty()) {
    SendAttachment(part);
  } else {
    std::optional<std::string> body = part.RenderBody(true);
    if (!body) RaiseSmtpError(msgPartBody, FACILITY_ITF, "");
    SendCommand(*body, moreFollows);
  }
  for (int i = 0; i < part.ChildCount(); ++i) SendBodyPart(*part.ChildAt(i), false);
  if (part.ChildCount() > 0) SendCommand(part.RenderFooter(), moreFollows);
}

// The same text as RenderBody's, sent as the file is read: one block of the file in
// memory at a time, whatever its size.
void CTAVSMTPConnection::SendAttachment(const CTAVSMTPBodyPart& part) {
  CAttachmentStream stream;
  if (!stream.Open(part.attachmentPath, part.maxAttachmentSize)) {
    RaiseSmtpError(msgPartBody, FACILITY_ITF, "");
  }
  for (std::string_view text;;) {
    // The file changed while it went out, and the server already holds part of it.
    if (!stream.Next(text)) RaiseSmtpError(msgPartBody, FACILITY_ITF, "");
    if (text.empty()) return;
    SendCommand(text, moreFollows);
  }
}

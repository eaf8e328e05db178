// The batch call of CTAVSMTPConnection: messages one after another over one connection
// (RFC 5321), the next message's envelope pipelined behind the previous end of data
// where the server offers PIPELINING (RFC 2920); and the batch of CTAVSMTPMessage
// objects.
#include "smtp/message_batch.h"

#include <functional>
#include <utility>

#include "errors/message_table.h"
#include "smtp/connection.h"
#include "smtp/envelope.h"
#include "smtp/envelope_extensions.h"
#include "smtp/guards.h"
#include "smtp/international_address.h"

namespace {

constexpr bool moreFollows = true;

bool Raises(const CTAVSMTPException& e, std::uint32_t facility, std::uint32_t code) {
  return e.m_hrError == MakeFailureHresult(facility, code);
}

// The failures that belong to one message and leave the connection in step with the
// server: a refused command, or a message refused before anything of it was sent (87;
// too large for the server, 563; an address it cannot take, 564).
bool IsMessageFailure(const CTAVSMTPException& e) {
  return IsReplyRefusal(e) || Raises(e, FACILITY_WIN32, ERROR_INVALID_PARAMETER) ||
         Raises(e, FACILITY_ITF, msgMessageTooLarge) || Raises(e, FACILITY_ITF, msgAddressNotSendable);
}

// The recipient that e names, when it is a refused RCPT TO.
std::string RefusedRecipient(const CTAVSMTPException& e, const std::string& recipient) {
  return Raises(e, FACILITY_ITF, msgRcptTo) ? recipient : std::string();
}

// A message that the end of data, a line start after the text, ends: ".\r\n" after a
// text that ends its last line, else "\r\n.\r\n".
class CTextEnd {
 public:
  void Follow(std::string_view piece) {
    if (piece.empty()) return;
    const bool crBeforeLf = piece.size() > 1 ? piece[piece.size() - 2] == '\r' : crBefore;
    atLineStart = piece.back() == '\n' && crBeforeLf;
    crBefore = piece.back() == '\r';
  }
  std::string_view EndOfData() const { return atLineStart ? ".\r\n" : "\r\n.\r\n"; }

 private:
  bool atLineStart = true;
  bool crBefore = false;
};

}  // namespace

// Where a batch stands: the message whose end of data awaits its reply, and the
// message whose envelope came last, while it is open.
struct CTAVSMTPConnection::CBatchState {
  CBatchEnvelope envelope;
  bool endOfDataPending = false;
  bool current = false;
};

void CTAVSMTPConnection::SendBatch(CBatchSource& source) {
  CBatchState state;
  // Every open message learns what ended the connection, in order, then the caller.
  auto reportOpen = [&](const std::optional<CTAVSMTPException>& failure) {
    Disconnect(false);
    CBatchOutcome outcome;
    outcome.failure = failure;
    if (failure && IsReplyRefusal(*failure) && !m_bReplyIncomplete) outcome.replyCode = m_nLastReplyCode;
    if (std::exchange(state.endOfDataPending, false)) source.Finished(outcome);
    if (failure) outcome.refusedRecipient = RefusedRecipient(*failure, m_sRefusedRecipient);
    if (std::exchange(state.current, false)) source.Finished(outcome);
  };
  try {
    while (NextBatchEnvelope(source, state)) SendBatchMessage(source, state);
    SettleBatchEndOfData(source, state);
  } catch (const CTAVSMTPException& e) {
    reportOpen(e);
    throw;
  } catch (...) {
    reportOpen(std::nullopt);
    throw;
  }
}

bool CTAVSMTPConnection::NextBatchEnvelope(CBatchSource& source, CBatchState& state) {
  state.envelope = CBatchEnvelope{};
  try {
    return source.NextEnvelope(state.envelope);
  } catch (...) {
    // Without pipelining the end of data before it has gone out: the server may have
    // taken that message, so its reply is read and reported before the batch ends.
    if (!Pipelines()) SettleBatchEndOfData(source, state);
    throw;
  }
}

void CTAVSMTPConnection::SendBatchMessage(CBatchSource& source, CBatchState& state) {
  CBatchEnvelope& envelope = state.envelope;
  state.current = true;
  try {
    source.CheckMessage();
    const CEnvelopeCommands commands = BatchEnvelopeCommands(envelope);
    // Without pipelining each reply is read before the next command goes out; the
    // commands are made first, while the server is still taking the message before.
    if (!Pipelines()) SettleBatchEndOfData(source, state);
    // Passed by reference: a std::function holding the lambda itself would allocate,
    // once a message, for the three references it keeps.
    const auto settle = [&] { SettleBatchEndOfData(source, state); };
    SendEnvelope(commands, std::cref(settle));
    SendDataText([&] { SendBatchText(source); });
  } catch (const CTAVSMTPException& e) {
    if (!m_bConnected || m_bReplyIncomplete || !IsMessageFailure(e)) throw;
    const CBatchOutcome outcome{false, e, IsReplyRefusal(e) ? m_nLastReplyCode : 0,
                                RefusedRecipient(e, m_sRefusedRecipient)};
    // A message refused before its commands went out comes after the one before it.
    SettleBatchEndOfData(source, state);
    state.current = false;
    source.Finished(outcome);
    return;
  }
  state.current = false;
  state.endOfDataPending = true;
}

CEnvelopeCommands CTAVSMTPConnection::BatchEnvelopeCommands(CBatchEnvelope& envelope) {
  // The addresses go out with A-labels or, with SMTPUTF8, in UTF-8 (564 when they
  // cannot); a message over the server's declared limit is refused (563).
  std::string sender = envelope.sender;
  std::vector<std::string> recipients = envelope.recipients;
  const bool smtpUtf8 = ConvertEnvelopeAddresses(sender, recipients, m_serverExtensions.smtpUtf8) ||
                        (envelope.smtpUtf8 && m_serverExtensions.smtpUtf8);
  RefuseOversizedMessage(m_serverExtensions, envelope.size);
  RefuseUnsendableEnvelope(sender, recipients, envelope.dsnNotify, envelope.dsnEnvelopeId,
                           MailFromParametersRoom(m_serverExtensions, smtpUtf8));
  return CEnvelopeCommands{
      WithMailFromParameters(
          FormatMailFrom(sender, envelope.dsnNotify, envelope.dsnReturnFull, envelope.dsnEnvelopeId),
          MailFromParameters(m_serverExtensions, envelope.size, smtpUtf8)),
      recipients, envelope.dsnNotify, {}};
}

void CTAVSMTPConnection::SendBatchText(CBatchSource& source) {
  CTextEnd end;
  source.SendText([&](std::string_view piece) {
    SendCommand(piece, moreFollows);
    end.Follow(piece);
  });
  // Pipelined, it is held back to leave with the next message's envelope, or alone once
  // the batch ends. Otherwise it goes now: the server takes the message while the next
  // one is made (NextEnvelope), rather than after.
  SendCommand(end.EndOfData(), moreFollows);
  if (!Pipelines()) SendHeldCommands();
}

void CTAVSMTPConnection::SettleBatchEndOfData(CBatchSource& source, CBatchState& state) {
  if (!state.endOfDataPending) return;
  SendHeldCommands();
  CBatchOutcome outcome;
  outcome.accepted = ExpectDelivered();
  // A reply that cannot be read leaves the connection out of step: it ends the batch.
  if (m_bReplyIncomplete) RaiseSmtpError(msgEndOfMessage, FACILITY_ITF, GetLastReply());
  state.endOfDataPending = false;
  if (!outcome.accepted) {
    outcome.failure.emplace(msgEndOfMessage, FACILITY_ITF, GetLastReply());
    outcome.replyCode = m_nLastReplyCode;
  }
  source.Finished(outcome);
}

struct CMessageBatchSource::COpenMessage {
  CTAVSMTPMessage* message = nullptr;
  std::optional<CTransferAddresses> addresses;
  CPreparedData data;
  std::optional<CTAVSMTPException> refusal;  // raised by CheckMessage
};

CMessageBatchSource::CMessageBatchSource(
    CTAVSMTPConnection& batchConnection, std::function<CTAVSMTPMessage*()> nextMessage,
    std::function<void(CTAVSMTPMessage&, const CBatchOutcome&)> finishedMessage)
    : connection(batchConnection),
      next(std::move(nextMessage)),
      finished(std::move(finishedMessage)) {}

CMessageBatchSource::~CMessageBatchSource() = default;

bool CMessageBatchSource::NextEnvelope(CBatchEnvelope& envelope) {
  CTAVSMTPMessage* message = next();
  if (message == nullptr) return false;
  COpenMessage& entry = *open.emplace_back(std::make_unique<COpenMessage>());
  entry.message = message;
  // The envelope holds the addresses as given, which SendBatch converts as the message's
  // own are converted here.
  const CEnvelopeCommands commands = connection.MessageEnvelope(*message);
  envelope.sender = message->from.emailAddress;
  envelope.recipients = commands.recipients;
  envelope.dsnNotify = message->dsnNotify;
  envelope.dsnReturnFull = message->dsnReturnFull;
  // MessageEnvelope has filled a missing envelope id, kept in the message as
  // SendMailMessage keeps it.
  envelope.dsnEnvelopeId = message->dsnEnvelopeId;
  // The header block carries the addresses as they go out, and SIZE needs the text's
  // size before MAIL FROM: both are made now. What refuses the message is raised by
  // CheckMessage, where it becomes the message's outcome.
  try {
    const bool offered = connection.m_serverExtensions.smtpUtf8;
    envelope.smtpUtf8 = entry.addresses.emplace(*message, offered).smtpUtf8;
    connection.PrepareMessage(*message, envelope.smtpUtf8);
    entry.data = CTAVSMTPConnection::PrepareData(*message, connection.m_serverExtensions.size);
    envelope.size = entry.data.size;
  } catch (const CTAVSMTPException& e) {
    entry.refusal = e;
  }
  return true;
}

void CMessageBatchSource::CheckMessage() {
  if (open.back()->refusal) throw *open.back()->refusal;
}

void CMessageBatchSource::SendText(const std::function<void(std::string_view)>& send) {
  COpenMessage& entry = *open.back();
  connection.SendMessageText(*entry.message, entry.data);
  // SendMailMessage's end of data is "\r\n.\r\n" whatever the text ends with: the line
  // end goes through send, so that the batch ends the data with ".\r\n" after it.
  send("\r\n");
}

void CMessageBatchSource::Finished(const CBatchOutcome& outcome) {
  const std::unique_ptr<COpenMessage> entry = std::move(open.front());
  open.pop_front();
  // The caller's own addresses are back before it hears of the message.
  entry->addresses.reset();
  finished(*entry->message, outcome);
}

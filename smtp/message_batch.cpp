// The batch call of CTAVSMTPConnection: messages one after another over one connection
// (RFC 5321), the next message's envelope pipelined behind the previous end of data
// where the server offers PIPELINING (RFC 2920); and the batch of CTAVSMTPMessage
// objects.
#include "smtp/message_batch.h"

#include <utility>

#include "errors/message_table.h"
#include "smtp/connection.h"
#include "smtp/envelope.h"
#include "smtp/guards.h"

namespace {

constexpr bool moreFollows = true;

bool Raises(const CTAVSMTPException& e, std::uint32_t facility, std::uint32_t code) {
  return e.m_hrError == MakeFailureHresult(facility, code);
}

// A refused command: one of the transfer's steps answered otherwise than expected.
bool IsRefusal(const CTAVSMTPException& e) {
  return Raises(e, FACILITY_ITF, msgMailFrom) || Raises(e, FACILITY_ITF, msgRcptTo) ||
         Raises(e, FACILITY_ITF, msgData) || Raises(e, FACILITY_ITF, msgEndOfMessage);
}

// The failures that belong to one message and leave the connection in step with the
// server: a refused command, or a message refused before anything of it was sent.
bool IsMessageFailure(const CTAVSMTPException& e) {
  return IsRefusal(e) || Raises(e, FACILITY_WIN32, ERROR_INVALID_PARAMETER);
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
    if (failure && IsRefusal(*failure) && !m_bReplyIncomplete) outcome.replyCode = m_nLastReplyCode;
    if (std::exchange(state.endOfDataPending, false)) source.Finished(outcome);
    if (failure) outcome.refusedRecipient = RefusedRecipient(*failure, m_sRefusedRecipient);
    if (std::exchange(state.current, false)) source.Finished(outcome);
  };
  try {
    for (;;) {
      state.envelope = CBatchEnvelope{};
      if (!source.NextEnvelope(state.envelope)) break;
      SendBatchMessage(source, state);
    }
    SettleBatchEndOfData(source, state);
  } catch (const CTAVSMTPException& e) {
    reportOpen(e);
    throw;
  } catch (...) {
    reportOpen(std::nullopt);
    throw;
  }
}

void CTAVSMTPConnection::SendBatchMessage(CBatchSource& source, CBatchState& state) {
  CBatchEnvelope& envelope = state.envelope;
  // Without pipelining each reply is read before the next command goes out.
  if (!Pipelines()) SettleBatchEndOfData(source, state);
  state.current = true;
  try {
    source.CheckMessage();
    RefuseUnsendableEnvelope(envelope.sender, envelope.recipients, envelope.dsnNotify,
                             envelope.dsnEnvelopeId);
    const CEnvelopeCommands commands{FormatMailFrom(envelope.sender, envelope.dsnNotify,
                                                    envelope.dsnReturnFull, envelope.dsnEnvelopeId),
                                     envelope.recipients, envelope.dsnNotify};
    // A 354 behind a refused recipient must be answered by closing, which would end the
    // batch: DATA goes in the group only where a refusal of the one recipient has the
    // server refuse DATA too (RFC 2920 section 3.1).
    SendEnvelope(
        commands, [&] { SettleBatchEndOfData(source, state); }, envelope.recipients.size() == 1);
    SendDataText([&] { SendBatchText(source); });
  } catch (const CTAVSMTPException& e) {
    if (!m_bConnected || m_bReplyIncomplete || !IsMessageFailure(e)) throw;
    const CBatchOutcome outcome{false, e, IsRefusal(e) ? m_nLastReplyCode : 0,
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

void CTAVSMTPConnection::SendBatchText(CBatchSource& source) {
  CTextEnd end;
  source.SendText([&](std::string_view piece) {
    SendCommand(piece, moreFollows);
    end.Follow(piece);
  });
  // Held back: it leaves with the next message's envelope, or alone once the batch ends.
  SendCommand(end.EndOfData(), moreFollows);
}

void CTAVSMTPConnection::SettleBatchEndOfData(CBatchSource& source, CBatchState& state) {
  if (!state.endOfDataPending) return;
  SendHeldCommands();
  // A reply that cannot be read leaves the connection out of step: it ends the batch.
  if (!ReadOneReply()) RaiseSmtpError(msgEndOfMessage, FACILITY_ITF, GetLastReply());
  state.endOfDataPending = false;
  CBatchOutcome outcome;
  outcome.accepted = m_nLastReplyCode == 250;
  if (!outcome.accepted) {
    outcome.failure.emplace(msgEndOfMessage, FACILITY_ITF, GetLastReply());
    outcome.replyCode = m_nLastReplyCode;
  }
  source.Finished(outcome);
}

CMessageBatchSource::CMessageBatchSource(
    CTAVSMTPConnection& batchConnection, std::function<CTAVSMTPMessage*()> nextMessage,
    std::function<void(CTAVSMTPMessage&, const CBatchOutcome&)> finishedMessage)
    : connection(batchConnection),
      next(std::move(nextMessage)),
      finished(std::move(finishedMessage)) {}

bool CMessageBatchSource::NextEnvelope(CBatchEnvelope& envelope) {
  CTAVSMTPMessage* message = next();
  if (message == nullptr) return false;
  open.push_back(message);
  const CEnvelopeCommands commands = connection.MessageEnvelope(*message);
  envelope.sender = message->from.emailAddress;
  envelope.recipients = commands.recipients;
  envelope.dsnNotify = message->dsnNotify;
  envelope.dsnReturnFull = message->dsnReturnFull;
  // MessageEnvelope has filled a missing envelope id, kept in the message as
  // SendMailMessage keeps it.
  envelope.dsnEnvelopeId = message->dsnEnvelopeId;
  return true;
}

void CMessageBatchSource::CheckMessage() { connection.PrepareMessage(*open.back()); }

void CMessageBatchSource::SendText(const std::function<void(std::string_view)>& send) {
  CTAVSMTPMessage& message = *open.back();
  connection.SendMessageText(message, CTAVSMTPConnection::PrepareData(message));
  // SendMailMessage's end of data is "\r\n.\r\n" whatever the text ends with: the line
  // end goes through send, so that the batch ends the data with ".\r\n" after it.
  send("\r\n");
}

void CMessageBatchSource::Finished(const CBatchOutcome& outcome) {
  CTAVSMTPMessage* message = open.front();
  open.pop_front();
  finished(*message, outcome);
}

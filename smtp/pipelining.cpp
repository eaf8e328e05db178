// The envelope exchange of CTAVSMTPConnection: RSET where a transaction was left open,
// MAIL FROM, RCPT TO and DATA (RFC 5321) one command at a time or, where the caller
// turned pipelining on and the server offers PIPELINING (RFC 2920), in groups whose
// replies are read in order through the same expect steps; then the message text and
// the end of data, with QUIT behind it in the same send.
#include <optional>
#include <utility>
#include <vector>

#include "errors/message_table.h"
#include "smtp/connection.h"
#include "smtp/envelope.h"
#include "smtp/guards.h"

namespace {

constexpr bool moreFollows = true;

// The most command bytes sent ahead of their replies. A server that reads one command,
// answers it and only then reads the next must never find the client blocked in a
// send while its replies fill the client's receive buffer: the replies to a group this
// size fit any socket buffer, and they are read before the next group goes out.
constexpr std::size_t pipelineWindow = 16 * 1024;

}  // namespace

// What a pipelined envelope has sent, read and been told.
struct CEnvelopeExchange {
  enum class Step { Reset, MailFrom, RcptTo, Data };
  struct Command {
    Step step;
    std::string text;
    std::string recipient;     // RCPT TO: its address
    bool startsGroup = false;  // DATA that waits for the RCPT TO replies
  };
  std::vector<Command> commands;
  std::size_t sent = 0;  // commands sent
  std::size_t read = 0;  // replies read
  std::optional<CTAVSMTPException> failure;  // the first refusal, its reply as text
  std::int32_t failureCode = 0;
  std::string refusedRecipient;
  bool resetRefused = false;
  bool mailAccepted = false;
  bool dataAccepted = false;  // DATA answered 354
};

namespace {

// DATA joins the group only behind one recipient at most: a server must then refuse it
// when it refused the recipient (RFC 2920 section 3.1). Behind several it waits for their
// replies and is not sent after a refusal, so a refused recipient leaves the connection
// as one command at a time leaves it.
CEnvelopeExchange MakeExchange(const CEnvelopeCommands& envelope, bool reset) {
  using Step = CEnvelopeExchange::Step;
  const bool dataInGroup = envelope.recipients.size() <= 1;
  CEnvelopeExchange exchange;
  if (reset) exchange.commands.push_back({Step::Reset, "RSET\r\n", {}});
  exchange.commands.push_back({Step::MailFrom, envelope.mailFrom, {}});
  for (const std::string& recipient : envelope.recipients) {
    exchange.commands.push_back({Step::RcptTo, FormatRcptTo(recipient, envelope.notify), recipient});
  }
  exchange.commands.push_back({Step::Data, "DATA\r\n", {}, !dataInGroup});
  return exchange;
}

// The message of a step's refusal.
std::uint32_t StepMessage(CEnvelopeExchange::Step step) {
  using Step = CEnvelopeExchange::Step;
  switch (step) {
    case Step::RcptTo:
      return msgRcptTo;
    case Step::Data:
      return msgData;
    default:
      return msgMailFrom;  // no transaction can start: MAIL FROM's own failure
  }
}

// Replies read while it lives are those of commands sent together (m_bRepliesPipelined).
class CPipelinedReplies {
 public:
  explicit CPipelinedReplies(bool& pipelined) : flag(pipelined), was(std::exchange(pipelined, true)) {}
  CPipelinedReplies(const CPipelinedReplies&) = delete;
  CPipelinedReplies& operator=(const CPipelinedReplies&) = delete;
  ~CPipelinedReplies() { flag = was; }

 private:
  bool& flag;
  bool was;
};

}  // namespace

bool CTAVSMTPConnection::Pipelines() const { return m_bPipelining && m_serverExtensions.pipelining; }

void CTAVSMTPConnection::SendEnvelope(const CEnvelopeCommands& envelope,
                                      const std::function<void()>& whileAnswered) {
  m_sRefusedRecipient.clear();
  if (Pipelines()) {
    SendEnvelopePipelined(envelope, whileAnswered);
  } else {
    SendEnvelopeStepwise(envelope, whileAnswered);
  }
}

void CTAVSMTPConnection::SendEnvelopeStepwise(const CEnvelopeCommands& envelope,
                                              const std::function<void()>& whileAnswered) {
  if (m_bResetNeeded) {
    SendCommand("RSET\r\n");
    ExpectReplyOrRaise(250, msgMailFrom);
    m_bResetNeeded = false;
  }
  SendCommand(envelope.mailFrom);
  WhileAnswered(whileAnswered, [&] {
    if (ExpectReply(250)) m_bResetNeeded = true;
  });
  ExpectReplyOrRaise(250, msgMailFrom);
  m_bResetNeeded = true;
  for (std::size_t i = 0; i < envelope.recipients.size(); ++i) {
    // The message's own recipient, display name and all; the batch has the address only.
    const bool own = i < envelope.recipientAddresses.size();
    try {
      SendRcptTo(envelope.notify, own ? *envelope.recipientAddresses[i] : CTAVSMTPAddress("", envelope.recipients[i]));
    } catch (const CTAVSMTPException& e) {
      if (e.m_hrError == MakeFailureHresult(FACILITY_ITF, msgRcptTo)) m_sRefusedRecipient = envelope.recipients[i];
      throw;
    }
  }
  SendCommand("DATA\r\n");
  ExpectReplyOrRaise(354, msgData);
  m_bResetNeeded = false;
}

void CTAVSMTPConnection::SendEnvelopePipelined(const CEnvelopeCommands& envelope,
                                               const std::function<void()>& whileAnswered) {
  const CPipelinedReplies pipelined(m_bRepliesPipelined);
  CEnvelopeExchange exchange = MakeExchange(envelope, m_bResetNeeded);
  // Once a reply refuses, no further group is sent: every command sent has its reply
  // read, so the next command never meets a stale one.
  while (exchange.read < exchange.commands.size() && !exchange.failure) {
    SendCommandGroup(exchange);
    if (exchange.read == 0) {
      WhileAnswered(whileAnswered, [&] {
        while (exchange.read < exchange.sent) ReadEnvelopeReply(exchange);
        m_bResetNeeded = exchange.resetRefused || exchange.mailAccepted;
        // A 354 has the server take every byte for message text: only a close without
        // the end of data has it discard the transaction.
        if (exchange.dataAccepted) Disconnect(false);
      });
    }
    while (exchange.read < exchange.sent) ReadEnvelopeReply(exchange);
  }
  SettleEnvelope(exchange);
}

void CTAVSMTPConnection::WhileAnswered(const std::function<void()>& work, const std::function<void()>& readAnswers) {
  try {
    work();
  } catch (...) {
    // A connection already out of step has nothing to read that could be trusted.
    if (m_bConnected && !m_bReplyIncomplete) {
      try {
        readAnswers();
      } catch (...) {
        Disconnect(false);
      }
    }
    throw;
  }
}

void CTAVSMTPConnection::SendCommandGroup(CEnvelopeExchange& exchange) {
  std::size_t bytes = 0;
  const std::size_t first = exchange.sent;
  for (; exchange.sent < exchange.commands.size(); ++exchange.sent) {
    const CEnvelopeExchange::Command& command = exchange.commands[exchange.sent];
    const bool fits = !command.startsGroup && bytes + command.text.size() <= pipelineWindow;
    if (exchange.sent != first && !fits) break;
    bytes += command.text.size();
    SendCommand(command.text, moreFollows);
  }
  SendHeldCommands();
}

void CTAVSMTPConnection::ReadEnvelopeReply(CEnvelopeExchange& exchange) {
  using Step = CEnvelopeExchange::Step;
  const CEnvelopeExchange::Command& command = exchange.commands[exchange.read++];
  // Each reply is checked by the expect step, and with the codes, of its command sent
  // alone; those behind a refusal too, as the server has answered them.
  const bool accepted = command.step == Step::RcptTo ? ExpectEitherReply(250, 251)
                                                     : ExpectReply(command.step == Step::Data ? 354 : 250);
  const bool complete = !m_bReplyIncomplete;
  if (!accepted && !exchange.failure) {
    exchange.failure.emplace(StepMessage(command.step), FACILITY_ITF, GetLastReply());
    exchange.failureCode = m_nLastReplyCode;
    if (command.step == Step::RcptTo) exchange.refusedRecipient = command.recipient;
  }
  if (!complete) {
    // The replies still due can no longer be told apart from the rest of this one.
    if (exchange.read < exchange.sent) Disconnect(false);
    exchange.read = exchange.sent = exchange.commands.size();
    exchange.resetRefused = true;
    return;
  }
  if (command.step == Step::Reset && !accepted) exchange.resetRefused = true;
  if (command.step == Step::MailFrom && accepted) exchange.mailAccepted = true;
  if (command.step == Step::Data && accepted) exchange.dataAccepted = true;
}

void CTAVSMTPConnection::SettleEnvelope(CEnvelopeExchange& exchange) {
  m_bResetNeeded = exchange.resetRefused || (exchange.mailAccepted && !exchange.dataAccepted);
  if (!exchange.failure) return;
  // The server now takes every byte for message text: closing without the end of data
  // has it discard the transaction, so nothing is delivered to anyone.
  if (exchange.dataAccepted) Disconnect(false);
  // The refusal is what the caller reads, as if the commands had gone one at a time.
  m_sLastReply = exchange.failure->m_sLastResponseText;
  m_nLastReplyCode = exchange.failureCode;
  m_sRefusedRecipient = exchange.refusedRecipient;
  throw *exchange.failure;
}

void CTAVSMTPConnection::SendDataText(const std::function<void()>& sendText) {
  // From the 354 on the server takes every byte for message text, a QUIT too, up to
  // the end-of-data line. A failure before that line has gone out (a text that can't be
  // made, a socket or TLS error) closes the connection without another byte: the
  // server then discards what it got, where any line sent now would become part of the
  // message or end it and have a cut message delivered.
  try {
    sendText();
  } catch (...) {
    Disconnect(false);
    throw;
  }
}

bool CTAVSMTPConnection::ExpectDelivered() {
  return ExpectReply(250) || (!m_bReplyIncomplete && m_nLastReplyCode >= 200 && m_nLastReplyCode <= 299);
}

std::optional<CTAVSMTPException> CTAVSMTPConnection::FinishData(bool quit) {
  if (!quit || !Pipelines()) {
    SendDataText([&] { SendHeldCommands(); });
    if (!ExpectDelivered()) RaiseSmtpError(msgEndOfMessage, FACILITY_ITF, GetLastReply());
    if (!quit) return std::nullopt;
    return DisconnectReturningFailure();
  }
  // RFC 2920: QUIT may end a group; it leaves with the end-of-data line.
  SendDataText([&] { SendCommand("QUIT\r\n"); });
  const CPipelinedReplies pipelined(m_bRepliesPipelined);
  std::optional<CTAVSMTPException> quitFailure;
  bool accepted = false;
  try {
    accepted = ExpectDelivered();
  } catch (...) {
    Disconnect(false);
    throw;
  }
  const std::string endReply = GetLastReply();
  const std::int32_t endCode = m_nLastReplyCode;
  if (!m_bReplyIncomplete) quitFailure = ReadQuitReply();
  m_bConnected = false;
  TransportClose();
  if (accepted) return quitFailure;
  m_sLastReply = endReply;
  m_nLastReplyCode = endCode;
  RaiseSmtpError(msgEndOfMessage, FACILITY_ITF, endReply);
}

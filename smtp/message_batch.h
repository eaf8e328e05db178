// The batch call of CTAVSMTPConnection (SendBatch): many messages over one connection,
// pipelined across messages where the server offers PIPELINING (RFC 2920), each
// message's outcome reported on its own; and CMessageBatchSource, a batch of
// CTAVSMTPMessage objects.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/exceptions.h"
#include "mime/message.h"

class CTAVSMTPConnection;

// One message of a batch as the engine sends it.
struct CBatchEnvelope {
  std::string sender;                   // the MAIL FROM address
  std::vector<std::string> recipients;  // the RCPT TO addresses, in order
  std::int32_t dsnNotify = -1;          // as CTAVSMTPMessage::dsnNotify; -1: no DSN
  bool dsnReturnFull = false;
  std::string dsnEnvelopeId;            // with DSN and empty: filled with MakeEnvelopeId
  std::optional<std::uint64_t> size;    // the exact message size when known (for SIZE)
  bool smtpUtf8 = false;  // SMTPUTF8 even when the addresses above are ASCII (those of
                          // the header need it); it is used anyway when one is not
};

// What became of one message of a batch.
struct CBatchOutcome {
  bool accepted = false;                    // the end of data was answered 2xx
  std::optional<CTAVSMTPException> failure; // otherwise: what SendMailMessage would raise
                                            // for that step (519, 524, 520, 521 with the
                                            // reply; 87; a socket or TLS failure; ...);
                                            // empty when SendText threw an exception of
                                            // another type, which SendBatch raises on
  int replyCode = 0;          // the code of the reply that refused it; 0 when none did
  std::string refusedRecipient;  // for 524: the recipient refused
};

// Where a batch takes its messages from and reports their outcomes to.
class CBatchSource {
 public:
  virtual ~CBatchSource() = default;
  // The next message's envelope; false when there are no more. Called for the next
  // message while the previous one's end of data still awaits its reply.
  virtual bool NextEnvelope(CBatchEnvelope& envelope) = 0;
  // Raises 87 (facility 7), or another CTAVSMTPException, when the message whose
  // envelope came last cannot be sent as it is; called before any of its commands
  // goes out, and the failure becomes its outcome. Does nothing here.
  virtual void CheckMessage() {}
  // Sends the text of the message whose envelope came last, its DATA answered 354: the
  // header block, the empty line and the body, CR LF lines, dot-stuffed, without the
  // end-of-data line, piece by piece through send. A throw closes the connection
  // without the end of data; it is that message's failure and is raised.
  virtual void SendText(const std::function<void(std::string_view)>& send) = 0;
  // The outcome of each message, in the order of the envelopes.
  virtual void Finished(const CBatchOutcome& outcome) = 0;
};

// A batch of CTAVSMTPMessage objects, each checked, completed (Message-ID, DSN
// envelope id) and sent as SendMailMessage sends it, attachments streamed from their
// files.
class CMessageBatchSource : public CBatchSource {
 public:
  // next gives the next message, or null when there are no more; each message must
  // live until finished has been called with it. finished gets each message with its
  // outcome, in order.
  CMessageBatchSource(CTAVSMTPConnection& connection, std::function<CTAVSMTPMessage*()> next,
                      std::function<void(CTAVSMTPMessage&, const CBatchOutcome&)> finished);
  ~CMessageBatchSource() override;

  bool NextEnvelope(CBatchEnvelope& envelope) override;
  // SendMailMessage's checks (87, 564) and Message-ID filling.
  void CheckMessage() override;
  void SendText(const std::function<void(std::string_view)>& send) override;
  void Finished(const CBatchOutcome& outcome) override;

 private:
  CTAVSMTPConnection& connection;
  std::function<CTAVSMTPMessage*()> next;
  std::function<void(CTAVSMTPMessage&, const CBatchOutcome&)> finished;
  // A message given and not yet finished (at most two): its addresses in the form they
  // go out for as long as it is open, its data, and why it cannot be sent, if so.
  struct COpenMessage;
  std::deque<std::unique_ptr<COpenMessage>> open;
};

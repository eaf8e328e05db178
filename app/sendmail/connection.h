// The engine as the sendmail face drives it: the greeting with EHLO even without
// authentication, the envelope and DATA of a message whose header block is given whole
// and whose body streams from standard input as it is sent, and the dialogue shown on
// standard error for -v, authentication data and message text hidden (as well in the
// flush's batches).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/sendmail/body_stream.h"
#include "app/sendmail/failure.h"
#include "smtp/connection.h"

struct SendmailEnvelope {
  std::string sender;
  std::vector<std::string> recipients;
  std::int32_t dsnNotify = -1;  // -1: no DSN parameters
  bool dsnReturnFull = false;
  std::string dsnEnvelopeId;
};

class CSendmailConnection : public CTAVSMTPConnection {
 public:
  // With verbose, each command and reply is written to standard error.
  explicit CSendmailConnection(bool verbose);

  // MAIL FROM, one RCPT TO per recipient, DATA, the header block, the empty line, the
  // body, the end-of-data line and QUIT (pipelined where the server offers it, the end
  // of data and QUIT in one send). A recipient that is refused ends the transfer before
  // the text, so nothing is delivered to anyone; m_sRefusedRecipient names it. Raises
  // what SendMailMessage raises for the same steps (519, 524, 520, 521 with the reply;
  // socket and TLS failures). When the body fails (CSendmailFailure: input failed, a
  // line over the limit), the connection is closed without the end-of-data line, so
  // the server discards the message, and the failure is thrown on. Once the end of
  // data is answered 250 the message is delivered: a failed QUIT is not raised.
  void SendStreamed(SendmailEnvelope& envelope, const std::string& header, CBodyStream& body);

  bool ReadReply(char* buffer, int initialSize, CReplyOverflow& overflow, int growStep) override;

  // The greeting where no authentication asks for EHLO: the face says EHLO all the
  // same, so that it pipelines and learns of SMTPUTF8, and says HELO instead when
  // the server does not know EHLO (500 or 502, RFC 5321 4.1.1.1). Raises 516 with the
  // reply when EHLO gets any other answer or none, 517 when HELO is not answered 250.
  void ConnectSmtp(const char* hostName) override;

  // The server's answer to the last end of data, without its line end (for the log);
  // empty before any. In a batch it is the answer of the message being finished.
  const std::string& DataReply() const { return dataReply; }

  // The failure of a Connect that raised error, to where ("HOST port PORT"), with
  // EngineFailure's status: when the connection was made and no greeting came (512
  // without a reply), "no greeting from where within N seconds" (the server said
  // nothing for the whole Timeout) or "where closed the connection without a greeting";
  // else "cannot connect to where" and the error.
  CSendmailFailure ConnectFailure(const CException& error, const std::string& where) const;

 protected:
  void OnSendCommand(std::string_view text) override;

 private:
  // After a reply that did not come whole: true when the server closed the connection.
  bool PeerClosed();

  bool verbose;
  bool inData = false;            // from a 354 to the end of data: text not shown
  bool inAuthentication = false;  // between AUTH and its final reply: data hidden
  bool awaitingDataReply = false; // the end of data went out: its answer comes next
  std::string dataReply;
  bool replyTimedOut = false;     // the last reply did not come whole and the server is silent
};

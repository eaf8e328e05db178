// Delivery status notifications (RFC 3461): ask the servers on the way for a report on
// success and on failure, with the headers of the message only, and remember the
// envelope id that the reports will quote. The server must offer DSN (EHLO), so the
// connection greets with EHLO and logs in.
//   dsn_message HOST PORT USER PASSWORD
#include <cstdio>
#include <cstdlib>

#include "mime/message.h"
#include "smtp/connection.h"
#include "report_failure.h"

int main(int argc, char** argv) {
  if (argc != 5) return 64;

  CTAVSMTPMessage message;
  message.from = CTAVSMTPAddress("Example sender", "sender@example.com");
  message.AppendRecipient(CTAVSMTPAddress("", "recipient@example.com"),
                          CTAVSMTPMessage::RecipientTo);
  message.subject = "Tell me when it arrives";
  message.SetBody("A message with delivery status notifications.");
  message.dsnNotify = 1 | 2;        // NOTIFY=SUCCESS,FAILURE (4 adds DELAY; 0 is NEVER)
  message.dsnReturnFull = false;    // RET=HDRS: a report quotes the headers only
  message.dsnEnvelopeId.clear();    // empty: the engine makes one (ENVID)

  CTAVSMTPConnection connection;
  connection.SetHeloHostname("auto");
  connection.m_dwTimeout = 30000;
  try {
    connection.Connect(argv[1], AuthLogin, argv[3], argv[4], std::atoi(argv[2]), false);
    connection.SendMailMessage(message);
    connection.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    return ReportFailure("Sending", e);
  }
  std::printf("envelope id %s\n", message.dsnEnvelopeId.c_str());
  return 0;
}

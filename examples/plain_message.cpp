// The smallest use of the engine: one plain-text message, greeted with HELO and sent
// without authentication.
//   plain_message HOST PORT
#include <cstdlib>

#include "mime/message.h"
#include "smtp/connection.h"
#include "report_failure.h"

int main(int argc, char** argv) {
  if (argc != 3) return 64;

  CTAVSMTPMessage message;
  message.from = CTAVSMTPAddress("Example sender", "sender@example.com");
  message.AppendRecipient(CTAVSMTPAddress("Example recipient", "recipient@example.com"),
                          CTAVSMTPMessage::RecipientTo);
  message.subject = "Plain message";
  message.SetBody("Hello from the e-mailer engine.\nSecond line.");

  CTAVSMTPConnection connection;
  connection.SetHeloHostname("auto");  // this machine's name
  connection.m_dwTimeout = 30000;      // milliseconds, for every single wait
  try {
    connection.Connect(argv[1], AuthNone, "", "", std::atoi(argv[2]), false);
  } catch (const CTAVSMTPException& e) {
    return ReportFailure("Connect", e);  // the connection is closed already
  }
  try {
    connection.SendMailMessage(message);
  } catch (const CTAVSMTPException& e) {
    // The connection still stands; the destructor says QUIT.
    return ReportFailure("SendMailMessage", e);
  }
  try {
    connection.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    return ReportFailure("Disconnect", e);  // the message went out all the same
  }
  return 0;
}

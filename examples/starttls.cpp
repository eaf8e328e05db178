// A message over STARTTLS (RFC 3207), as on the submission port 587: the connection
// starts in clear; the engine says EHLO, switches to TLS with STARTTLS, says EHLO again
// and logs in with the best mechanism that second reply offers. A server that does not
// offer STARTTLS fails Connect (554) before the password is sent.
//
// The server's certificate must lead to a CA of CAFILE and name HOST (a name, or an IPv4
// or IPv6 address), else Connect fails with 545 and the reason; m_sTLSCAFile left empty
// trusts the system's CAs, and m_sTLSFingerprint pins one certificate instead.
//
// OpenSSL writes to the socket with plain write(): a server that closes the connection
// would end the process with SIGPIPE unless the program ignores that signal.
//   starttls HOST PORT USER PASSWORD CAFILE
#include <csignal>
#include <cstdlib>

#include "mime/message.h"
#include "smtp/connection.h"
#include "report_failure.h"

int main(int argc, char** argv) {
  if (argc != 6) return 64;
  std::signal(SIGPIPE, SIG_IGN);

  CTAVSMTPMessage message;
  message.from = CTAVSMTPAddress("Example sender", "sender@example.com");
  message.AppendRecipient(CTAVSMTPAddress("", "recipient@example.com"),
                          CTAVSMTPMessage::RecipientTo);
  message.subject = "Over STARTTLS";
  message.SetBody("This message went over STARTTLS to a verified server.");

  CTAVSMTPConnection connection;
  connection.SetHeloHostname("auto");
  connection.m_dwTimeout = 30000;
  connection.m_bStartTLS = true;
  // On by default with STARTTLS; said here so that it is plain. TLSVerifyOff turns the
  // check off, for servers that you trust without it.
  connection.m_nTLSVerify = TLSVerifyOn;
  connection.m_sTLSCAFile = argv[5];
  try {
    connection.Connect(argv[1], AuthAutomatic, argv[3], argv[4], std::atoi(argv[2]), false);
    connection.SendMailMessage(message);
    connection.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    return ReportFailure("Sending", e);
  }
  return 0;
}

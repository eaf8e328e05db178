// A message over implicit TLS (RFC 8314, the SMTPS port 465): the TLS handshake comes
// first, then the SMTP greeting; the best mechanism the server offers logs in. The
// server's certificate is not checked unless m_nTLSVerify, m_sTLSCAFile or
// m_sTLSFingerprint asks for it (see starttls.cpp), so without them use it on networks
// you trust.
//
// OpenSSL writes to the socket with plain write(): a server that closes the connection
// would end the process with SIGPIPE unless the program ignores that signal.
//   implicit_tls HOST PORT USER PASSWORD
#include <csignal>
#include <cstdlib>

#include "mime/message.h"
#include "smtp/connection.h"
#include "report_failure.h"

int main(int argc, char** argv) {
  if (argc != 5) return 64;
  std::signal(SIGPIPE, SIG_IGN);

  CTAVSMTPMessage message;
  message.from = CTAVSMTPAddress("Example sender", "sender@example.com");
  message.AppendRecipient(CTAVSMTPAddress("", "recipient@example.com"),
                          CTAVSMTPMessage::RecipientTo);
  message.subject = "Over implicit TLS";
  message.SetBody("This message went over TLS.");

  CTAVSMTPConnection connection;
  connection.SetHeloHostname("auto");
  connection.m_dwTimeout = 30000;
  try {
    connection.Connect(argv[1], AuthAutomatic, argv[3], argv[4], std::atoi(argv[2]), true);
    connection.SendMailMessage(message);
    connection.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    return ReportFailure("Sending", e);
  }
  return 0;
}

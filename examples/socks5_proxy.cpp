// A message sent through a SOCKS5 proxy (RFC 1928). The proxy fields are set before
// Connect; the proxy resolves and reaches the SMTP server. A proxy that refuses or
// cannot be reached fails Connect in facility 7 (10061 when nothing listens there).
//   socks5_proxy PROXYHOST PROXYPORT HOST PORT USER PASSWORD
#include <cstdlib>

#include "mime/message.h"
#include "smtp/connection.h"
#include "report_failure.h"

int main(int argc, char** argv) {
  if (argc != 7) return 64;

  CTAVSMTPMessage message;
  message.from = CTAVSMTPAddress("Example sender", "sender@example.com");
  message.AppendRecipient(CTAVSMTPAddress("", "recipient@example.com"),
                          CTAVSMTPMessage::RecipientTo);
  message.subject = "Through a SOCKS5 proxy";
  message.SetBody("This message went through a SOCKS5 proxy.");

  CTAVSMTPConnection connection;
  connection.SetHeloHostname("auto");
  connection.m_dwTimeout = 30000;
  connection.m_nProxyType = ProxySocks5;
  connection.m_sProxyServer = argv[1];
  connection.m_nProxyPort = std::atoi(argv[2]);
  // connection.m_sProxyUserName and m_sProxyPassword log in to the proxy (RFC 1929).
  try {
    connection.Connect(argv[3], AuthLogin, argv[5], argv[6], std::atoi(argv[4]), false);
    connection.SendMailMessage(message);
    connection.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    return ReportFailure("Sending", e);
  }
  return 0;
}

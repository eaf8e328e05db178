// A test program for Windows: one message sent by the engine through a proxy, as a
// program that sets the connection's proxy settings sends it (the e-mailer program sets
// none, so it always connects directly).
//
// Usage: proxy_send.exe SMTP_PORT PROXY_TYPE PROXY_PORT [USER PASSWORD]
// The SMTP server and the proxy are on 127.0.0.1; PROXY_TYPE is the connection's
// m_nProxyType (1 SOCKS4, 2 SOCKS5, 3 HTTP CONNECT); USER and PASSWORD are the proxy's
// pair. Exits 0 once the message is sent and the session ended with QUIT; on a failure
// prints the error's HRESULT and text to standard output and exits 1.
#include <cstdio>
#include <cstdlib>

#include "mime/message.h"
#include "platform/win_app.h"
#include "smtp/connection.h"

int main(int argc, char** argv) {
  if ((argc != 4 && argc != 6) || !AfxSocketInit()) return 2;
  CTAVSMTPConnection connection;
  connection.m_nProxyType = static_cast<ProxyType>(std::atoi(argv[2]));
  connection.m_sProxyServer = "127.0.0.1";
  connection.m_nProxyPort = std::atoi(argv[3]);
  if (argc == 6) {
    connection.m_sProxyUserName = argv[4];
    connection.m_sProxyPassword = argv[5];
  }
  connection.m_dwTimeout = 30000;
  try {
    connection.Connect("127.0.0.1", AuthNone, "", "", std::atoi(argv[1]), false);
    CTAVSMTPMessage message;
    message.from = CTAVSMTPAddress("Backup job", "backup@example.com");
    message.AppendRecipient(CTAVSMTPAddress("Admin", "admin@example.com"),
                            CTAVSMTPMessage::RecipientTo);
    message.subject = "Through the proxy";
    message.SetBody("Sent through the proxy.");
    connection.SendMailMessage(message);
    connection.Disconnect(true);
    return 0;
  } catch (const CTAVSMTPException& e) {
    std::printf("0x%08X %s\n", static_cast<unsigned>(e.m_hrError), e.what());
    return 1;
  }
}

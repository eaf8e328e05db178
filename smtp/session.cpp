// The session of CTAVSMTPConnection (RFC 5321): construction, the connect sequence
// (transport, 220 greeting, HELO or EHLO with authentication), QUIT and the close.
#include <cstring>

#include <unistd.h>

#include "errors/message_table.h"
#include "smtp/connection.h"
#include "smtp/guards.h"

namespace {

constexpr std::size_t hostNameBufferSize = 260;

}  // namespace

CTAVSMTPConnection::CTAVSMTPConnection() { SetHeloHostname("auto"); }

CTAVSMTPConnection::~CTAVSMTPConnection() {
  if (m_bConnected) DisconnectQuietly();
  // m_socket is destroyed before m_sslSocket, which refers to it: shut TLS down while
  // both still stand.
  m_sslSocket.Close();
}

void CTAVSMTPConnection::SetHeloHostname(const char* name) {
  if (std::strcmp(name, "auto") != 0) {
    m_sHeloHostname = name;
    return;
  }
  char hostName[hostNameBufferSize] = {};
  // One byte is kept back so that a name cut to the buffer's size stays terminated.
  bool found = gethostname(hostName, sizeof hostName - 1) == 0;
  m_sHeloHostname = found ? hostName : "auto";
}

void CTAVSMTPConnection::Connect(const char* host, std::int32_t mechanism, const char* user,
                                 const char* password, std::int32_t port, bool ssl) {
  RefuseLineBreaks(m_sHeloHostname);
  m_bSSL = ssl;
  m_sServerHost = host;
  m_nServerPort = port;
  try {
    ConvertSocketError([&] {
      CreateTransport();
      ConnectTransport(host, port);
    });
  } catch (const CTAVSMTPException&) {
    // A TLS failure too leaves no socket open behind the error.
    DisconnectQuietly();
    throw;
  }
  m_bConnected = true;
  try {
    ExpectReplyOrRaise(220, msgGreeting);
    if (mechanism != AuthNone) {
      ConnectEsmtp(m_sHeloHostname.c_str(), user, password, mechanism);
    } else {
      ConnectSmtp(m_sHeloHostname.c_str());
    }
  } catch (const CTAVSMTPException&) {
    // The caller gets the error together with a closed connection.
    DisconnectQuietly();
    throw;
  }
}

void CTAVSMTPConnection::ConnectTransport(const char* host, std::int32_t port) {
  if (!m_sBoundAddress.empty()) m_socket.Bind(0, m_sBoundAddress.c_str());
  auto serverPort = static_cast<std::uint16_t>(port);
  auto proxyPort = static_cast<std::uint16_t>(m_nProxyPort);
  const char* proxy = m_sProxyServer.c_str();
  const char* userName = m_sProxyUserName.empty() ? nullptr : m_sProxyUserName.c_str();
  const char* password = userName == nullptr ? nullptr : m_sProxyPassword.c_str();
  switch (m_nProxyType) {
    case ProxyNone:
      return TransportConnect(host, serverPort);
    case ProxySocks4:
      return TransportConnectSocks4(host, serverPort, proxy, proxyPort, m_dwTimeout);
    case ProxySocks5:
      return TransportConnectSocks5(host, serverPort, proxy, proxyPort, userName, password,
                                    m_dwTimeout);
    case ProxyHttp: {
      std::string proxyReply;  // not needed once the tunnel stands
      const char* userAgent = m_sUserAgent.empty() ? nullptr : m_sUserAgent.c_str();
      return TransportConnectHttpProxy(host, serverPort, proxy, proxyPort, proxyReply, userName,
                                       password, m_dwTimeout, userAgent);
    }
    default:
      return;  // no connection is made: the greeting fails
  }
}

void CTAVSMTPConnection::ConnectEsmtp(const char* hostName, const char* user,
                                      const char* password, std::int32_t mechanism) {
  SendCommand(std::string("EHLO ") + hostName + "\r\n");
  ExpectReplyOrRaise(250, msgEhlo);
  Authenticate(user, password, mechanism);
}

void CTAVSMTPConnection::ConnectSmtp(const char* hostName) {
  SendCommand(std::string("HELO ") + hostName + "\r\n");
  ExpectReplyOrRaise(250, msgHelo);
}

void CTAVSMTPConnection::Disconnect(bool graceful) {
  std::optional<CTAVSMTPException> failure;
  if (m_bConnected) {
    if (graceful) failure = Quit();
    m_bConnected = false;
  }
  TransportClose();
  if (failure) throw *failure;
}

std::optional<CTAVSMTPException> CTAVSMTPConnection::Quit() {
  std::optional<CTAVSMTPException> failure;
  // A TLS failure to send (546) is not caught: it leaves the connection established,
  // so that the destructor tries the exchange again.
  try {
    TransportSend("QUIT\r\n", 6);
  } catch (const CWSocketException& e) {
    failure.emplace(static_cast<std::uint32_t>(e.m_nErrorCode), FACILITY_WIN32, "");
  }
  // The reply is awaited even after a failed send; a later failure replaces an earlier.
  try {
    if (!ExpectReply(221)) failure.emplace(msgQuit, FACILITY_ITF, GetLastReply());
  } catch (const CTAVSMTPException& e) {
    failure = e;
  }
  return failure;
}

void CTAVSMTPConnection::DisconnectQuietly() {
  try {
    Disconnect(true);
  } catch (const CTAVSMTPException&) {
  }
}

// The session of CTAVSMTPConnection (RFC 5321): construction, the connect sequence
// (transport, 220 greeting, HELO or EHLO with authentication), QUIT and the close.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "errors/message_table.h"
#include "platform/host_name.h"
#include "platform/local_time.h"
#include "smtp/auth_text.h"
#include "smtp/connection.h"
#include "smtp/guards.h"
#include "smtp/server_extensions.h"

namespace {

constexpr std::size_t hostNameBufferSize = 260;
constexpr std::int32_t highestPort = 65535;

bool IsPort(std::int32_t port) { return port >= 1 && port <= highestPort; }

constexpr char trustWithoutTls[] =
    "TLSVerify, TLSCAFile or TLSFingerprint asks for the server's certificate to be "
    "checked, but the connection has no TLS: set StartTLS 1 (or SSL 1 for implicit "
    "TLS)\r\n";

// The longest HELO or EHLO name: "EHLO " and CR LF around it fill a command line.
constexpr std::size_t maxHeloNameLength = commandLineLimit - 7;

// True when reply, all the lines that arrived together, holds one reply: every line but
// the last continues it ("ddd-").
bool IsSingleReply(const std::string& reply) {
  for (std::size_t at = 0, end; (end = reply.find("\r\n", at)) != std::string::npos; at = end + 2) {
    if (end - at < 4 || reply[at + 3] != '-') return false;
  }
  return true;
}

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
  bool found = LocalHostName(hostName, sizeof hostName - 1);
  m_sHeloHostname = found ? hostName : "auto";
}

void CTAVSMTPConnection::Connect(const char* host, std::int32_t mechanism, const char* user,
                                 const char* password, std::int32_t port, bool ssl) {
  RefuseLineBreaks(m_sHeloHostname);
  // A port that does not fit in 16 bits would be cut to another one, which would then
  // get the password.
  if (m_sHeloHostname.size() > maxHeloNameLength || !IsPort(port) ||
      (m_nProxyType != ProxyNone && !IsPort(m_nProxyPort))) {
    RaiseSmtpError(ERROR_INVALID_PARAMETER, FACILITY_WIN32, "");
  }
  // A check asked for on a connection that has no certificate to check would send the
  // password in clear while the caller believes the server is checked.
  if (!ssl && !m_bStartTLS && AsksForCertificateCheck()) {
    RaiseSmtpError(msgCreateSSLSocket, FACILITY_ITF, trustWithoutTls);
  }
  m_bSSL = ssl;
  m_serverExtensions = {};
  m_bResetNeeded = false;
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
  // The Date of the first message would read the time zone between two replies (a
  // tenth of a millisecond or more, once a run); it is read while the greeting is made.
  PrepareLocalTime();
  try {
    ExpectReplyOrRaise(220, msgGreeting);
    if (!m_bSSL && m_bStartTLS) {
      ConnectStartTls(host, user, password, mechanism);
    } else if (mechanism != AuthNone) {
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

void CTAVSMTPConnection::ConnectStartTls(const char* host, const char* user,
                                         const char* password, std::int32_t mechanism) {
  // HELO has no extensions: EHLO whatever the mechanism.
  SendCommand("EHLO " + m_sHeloHostname + "\r\n");
  ExpectReplyOrRaise(250, msgEhlo);
  if (!OffersExtension(GetLastReply(), "STARTTLS")) {
    RaiseSmtpError(msgStartTlsNotOffered, FACILITY_ITF, GetLastReply());
  }
  SendCommand("STARTTLS\r\n");
  bool agreed = ExpectReply(220);
  // Bytes after the reply were sent before the client could ask for anything: after a
  // 220 they would be read as the answers of the secured session (RFC 3207 section 5).
  if (!IsSingleReply(GetLastReply()) || (agreed && m_socket.HasUnreadData())) {
    std::string reply = GetLastReply();
    Disconnect(false);
    RaiseSmtpError(msgStartTlsInjection, FACILITY_ITF, reply);
  }
  if (!agreed) RaiseSmtpError(msgStartTls, FACILITY_ITF, GetLastReply());
  SwitchToTls(host);
  // What the server said before the switch is forgotten: the choice of mechanism comes
  // from the answer to this EHLO alone.
  ConnectEsmtp(m_sHeloHostname.c_str(), user, password, mechanism);
}

void CTAVSMTPConnection::SwitchToTls(const char* host) {
  try {
    CreateSSLObject();
    // A server that goes quiet in the handshake raises 10060 from the socket.
    if (!ConvertSocketError([&] { return m_sslSocket.StartTls(host); })) {
      RaiseSmtpError(TlsConnectMessage(), FACILITY_ITF, TLSFailureText());
    }
  } catch (...) {
    // Nothing more can be said in clear once the server has switched.
    Disconnect(false);
    throw;
  }
  m_bSSL = true;
}

std::uint32_t CTAVSMTPConnection::TlsConnectMessage() const {
  switch (m_nProxyType) {
    case ProxySocks4:
      return msgSocks4ViaSSL;
    case ProxySocks5:
      return msgSocks5ViaSSL;
    case ProxyHttp:
      return msgHttpProxyViaSSL;
    default:
      return msgConnectViaSSL;
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
  m_serverExtensions = ReadServerExtensions(GetLastReply());
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
    OnSendCommand("QUIT\r\n");
    TransportSend("QUIT\r\n", 6);
  } catch (const CWSocketException& e) {
    failure.emplace(static_cast<std::uint32_t>(e.m_nErrorCode), FACILITY_WIN32, "");
  }
  // The reply is awaited even after a failed send; a later failure replaces an earlier.
  if (std::optional<CTAVSMTPException> replyFailure = ReadQuitReply()) failure = replyFailure;
  return failure;
}

std::optional<CTAVSMTPException> CTAVSMTPConnection::ReadQuitReply() {
  try {
    if (!ExpectReply(221)) return CTAVSMTPException(msgQuit, FACILITY_ITF, GetLastReply());
  } catch (const CTAVSMTPException& e) {
    return e;
  }
  return std::nullopt;
}

std::optional<CTAVSMTPException> CTAVSMTPConnection::DisconnectReturningFailure() {
  try {
    Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    return e;
  }
  return std::nullopt;
}

void CTAVSMTPConnection::DisconnectQuietly() { DisconnectReturningFailure(); }

// The check's connection: the engine's own connect sequence, watched through its
// virtual steps (the replies read, the commands sent, EHLO and HELO) so that every
// stage is reported with its time and a failure is placed in its stage.
#include "app/mailer/check_connection.h"

#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/socket_api.h"

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The MAIL FROM of an envelope without DSN parameters.
constexpr std::int32_t noNotify = -1;

}  // namespace

CCheckConnection::CCheckConnection() { Enter(CheckStage::Transport); }

void CCheckConnection::Enter(CheckStage stage) { m_marks.push_back({stage, Clock::now()}); }

void CCheckConnection::NoteTls() {
  if (m_tls || m_sslSocket.GetSSL() == nullptr) return;
  m_tls = DescribeTlsSession(m_sslSocket.GetSSL(), m_sCheckHost, m_bVerified, m_bPinned);
}

bool CCheckConnection::ReadReply(char* buffer, int initialSize, CReplyOverflow& overflow,
                                 int growStep) {
  if (Stage() == CheckStage::Transport) {
    // The transport stands (with implicit TLS, after its handshake): the greeting is next.
    m_sPeerAddress = AddressText(PeerAddress(m_socket.GetSocketHandle()));
    NoteTls();
    Enter(CheckStage::Greeting);
  }
  bool whole = CTAVSMTPConnection::ReadReply(buffer, initialSize, overflow, growStep);
  if (m_bQuitting) return whole;
  if (Stage() == CheckStage::Greeting) m_sGreeting = GetLastReply();
  if (Stage() == CheckStage::Ehlo) m_ehloReplies.push_back(GetLastReply());
  return whole;
}

void CCheckConnection::OnSendCommand(std::string_view text) {
  // Once authentication has begun, what goes out may be a secret: nothing is looked at.
  if (Stage() == CheckStage::Authentication) return;
  if (StartsWith(text, "QUIT")) m_bQuitting = true;
  if (StartsWith(text, "EHLO ") || StartsWith(text, "HELO ")) {
    m_bHelo = StartsWith(text, "HELO ");
    Enter(CheckStage::Ehlo);
  } else if (StartsWith(text, "STARTTLS")) {
    Enter(CheckStage::StartTls);
  } else if (StartsWith(text, "AUTH ")) {
    std::string_view command = text.substr(0, text.find_first_of(" \r", 5));
    m_sAuthCommand = std::string(command);
    Enter(CheckStage::Authentication);
  }
}

void CCheckConnection::ConnectEsmtp(const char* hostName, const char* user, const char* password,
                                    std::int32_t mechanism) {
  NoteTls();
  if (m_bStopAtTls) return;
  CTAVSMTPConnection::ConnectEsmtp(hostName, user, password, mechanism);
  Enter(CheckStage::Connected);
}

void CCheckConnection::ConnectSmtp(const char* hostName) {
  NoteTls();
  if (m_bStopAtTls) return;
  CTAVSMTPConnection::ConnectSmtp(hostName);
  Enter(CheckStage::Connected);
}

void CCheckConnection::TryEnvelope(const std::string& sender, const std::string& recipient) {
  std::string noEnvelopeId;
  SendCommand(FormatMailFrom(sender, noNotify, false, noEnvelopeId));
  ExpectReplyOrRaise(250, msgMailFrom);
  try {
    SendRcptTo(noNotify, CTAVSMTPAddress("", recipient));
  } catch (const CTAVSMTPException&) {
    // The transaction is ended before the refusal is reported, as after a success.
    SendCommand("RSET\r\n");
    ReadOneReply();
    throw;
  }
  SendCommand("RSET\r\n");
  ExpectReplyOrRaise(250, msgMailFrom);
}

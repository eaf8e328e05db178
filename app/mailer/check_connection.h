// The engine's connection as the check drives it: it notes how far the connect sequence
// got (the transport, the greeting, each EHLO reply, STARTTLS and the TLS session, the
// authentication) and when, and tries an envelope without sending a message.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/mailer/check_tls.h"
#include "smtp/connection.h"

// The stages of the connect sequence, in order.
enum class CheckStage { Transport, Greeting, Ehlo, StartTls, Authentication, Connected };

class CCheckConnection : public CTAVSMTPConnection {
 public:
  using Clock = std::chrono::steady_clock;

  struct Mark {
    CheckStage stage;
    Clock::time_point at;  // when the stage began
  };

  // Where the TLS session's certificate is checked against (Server) and how: set
  // before Connect for the report's words.
  std::string m_sCheckHost;
  bool m_bVerified = false;
  bool m_bPinned = false;
  // The certificate probe: once TLS stands the sequence ends, with no EHLO, HELO or
  // authentication.
  bool m_bStopAtTls = false;

  // What the sequence met; m_marks.back() is the stage it is in (or failed in).
  std::vector<Mark> m_marks;
  std::string m_sPeerAddress;
  std::string m_sGreeting;
  std::vector<std::string> m_ehloReplies;
  bool m_bHelo = false;
  std::optional<TlsFacts> m_tls;
  std::string m_sAuthCommand;  // "AUTH" and the mechanism's name, nothing more

  CCheckConnection();

  // MAIL FROM:<sender>, RCPT TO:<recipient>, then RSET: never DATA, so nothing is
  // sent. Raises 519 (MAIL FROM or RSET refused), 524 (RCPT TO refused), socket and
  // TLS failures.
  void TryEnvelope(const std::string& sender, const std::string& recipient);

  CheckStage Stage() const { return m_marks.back().stage; }

  void ConnectEsmtp(const char* hostName, const char* user, const char* password,
                    std::int32_t mechanism) override;
  void ConnectSmtp(const char* hostName) override;
  bool ReadReply(char* buffer, int initialSize, CReplyOverflow& overflow, int growStep) override;

 protected:
  void OnSendCommand(std::string_view text) override;

 private:
  void Enter(CheckStage stage);
  bool m_bQuitting = false;  // QUIT has gone: its reply belongs to no stage
  // Notes the TLS session, when there is one and it is not noted yet.
  void NoteTls();
};

#include "app/sendmail/connection.h"

#include <cctype>
#include <cstdio>
#include <utility>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/code_page.h"
#include "platform/terminal_text.h"
#include "smtp/envelope_extensions.h"
#include "smtp/international_address.h"

namespace {

// One line of the dialogue on standard error, made safe for a terminal.
void ShowDialogueLine(const char* direction, std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string line = std::string(direction) + std::string(text);
  std::fputs((TerminalText(line, AnsiCodePageIsUtf8()) + "\n").c_str(), stderr);
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// "AUTH PLAIN <hidden>" for an AUTH command with an initial response; the command as it
// is without one.
std::string HiddenAuthCommand(std::string_view command) {
  std::size_t mechanismEnd = command.find(' ', 5);
  if (mechanismEnd == std::string_view::npos || mechanismEnd + 2 >= command.size()) {
    return std::string(command);
  }
  return std::string(command.substr(0, mechanismEnd)) + " <hidden>";
}

}  // namespace

CSendmailConnection::CSendmailConnection(bool verboseDialogue) : verbose(verboseDialogue) {}

void CSendmailConnection::OnSendCommand(std::string_view text) {
  if (inData) {
    // The message text is not shown. The end-of-data line closes it: a line of a single
    // "." within the text is dot-stuffed, so no piece of it is that line alone.
    if (text != ".\r\n" && text != "\r\n.\r\n") return;
    inData = false;
    awaitingDataReply = true;
    if (verbose) {
      ShowDialogueLine("> ", "<message text>");
      ShowDialogueLine("> ", ".");
    }
    return;
  }
  if (!verbose) return;
  if (StartsWithIgnoringCase(text, "AUTH ")) {
    inAuthentication = true;
    ShowDialogueLine("> ", HiddenAuthCommand(text));
  } else {
    ShowDialogueLine("> ", inAuthentication ? "<hidden>" : text);
  }
}

bool CSendmailConnection::ReadReply(char* buffer, int initialSize, CReplyOverflow& overflow,
                                    int growStep) {
  const bool complete = CTAVSMTPConnection::ReadReply(buffer, initialSize, overflow, growStep);
  // The first reply after the end of data is its answer (replies come in order, also
  // when the next message's envelope went out behind it).
  if (std::exchange(awaitingDataReply, false)) {
    dataReply = GetLastReply();
    while (!dataReply.empty() && (dataReply.back() == '\n' || dataReply.back() == '\r')) dataReply.pop_back();
  }
  // From the 354 on, what is sent is message text (DATA's and the batch's alike).
  if (m_sLastReply.starts_with("354")) inData = true;
  replyTimedOut = !complete && m_bConnected && !PeerClosed();
  if (verbose) {
    // A challenge may carry what the next answer is made from.
    const bool challenge = inAuthentication && m_sLastReply.starts_with("334");
    ShowDialogueLine("< ", challenge ? "334 <hidden>" : GetLastReply());
    if (!challenge) inAuthentication = false;
  }
  return complete;
}

void CSendmailConnection::ConnectSmtp(const char* hostName) {
  SendCommand(std::string("EHLO ") + hostName + "\r\n");
  const bool answered = ReadOneReply();
  if (answered && m_nLastReplyCode == 250) {
    m_serverExtensions = ReadServerExtensions(GetLastReply());
    return;
  }
  if (!answered || (m_nLastReplyCode != 500 && m_nLastReplyCode != 502)) {
    RaiseSmtpError(msgEhlo, FACILITY_ITF, GetLastReply());
  }
  CTAVSMTPConnection::ConnectSmtp(hostName);
}

bool CSendmailConnection::PeerClosed() {
  // A closed peer leaves the socket readable (its end); a silent one does not.
  try {
    return m_socket.IsReadable(0);
  } catch (const CWSocketException&) {
    return true;
  }
}

CSendmailFailure CSendmailConnection::ConnectFailure(const CException& error, const std::string& where) const {
  const auto* smtp = dynamic_cast<const CTAVSMTPException*>(&error);
  if (smtp != nullptr && HresultFacility(smtp->m_hrError) == FACILITY_ITF &&
      HresultCode(smtp->m_hrError) == msgGreeting && smtp->m_sLastResponseText.empty()) {
    const std::uint32_t seconds = (m_dwTimeout + 999) / 1000;
    return CSendmailFailure{StatusOf(error, true),
                            replyTimedOut ? "no greeting from " + where + " within " + std::to_string(seconds) +
                                                (seconds == 1 ? " second" : " seconds")
                                          : where + " closed the connection without a greeting"};
  }
  return EngineFailure(error, true, "cannot connect to " + where);
}

void CSendmailConnection::SendStreamed(SendmailEnvelope& envelope, const std::string& header,
                                       CBodyStream& body) {
  // The envelope goes out with A-labels or, with SMTPUTF8, in UTF-8; the header block
  // is the caller's and goes as it is. The body streams from standard input, so its
  // size is not known and MAIL FROM carries no SIZE.
  std::string sender = envelope.sender;
  std::vector<std::string> recipients = envelope.recipients;
  const bool smtpUtf8 = ConvertEnvelopeAddresses(sender, recipients, m_serverExtensions.smtpUtf8);
  const CEnvelopeCommands commands{
      WithMailFromParameters(FormatMailFrom(sender, envelope.dsnNotify, envelope.dsnReturnFull,
                                            envelope.dsnEnvelopeId),
                             MailFromParameters(m_serverExtensions, std::nullopt, smtpUtf8)),
      recipients, envelope.dsnNotify, {}};
  SendEnvelope(commands, [] {});

  constexpr bool moreFollows = true;
  // A body that fails (input, a line over the limit) closes the connection without the
  // end-of-data line: the server discards the part of the message it holds.
  SendDataText([&] {
    SendCommand(header + "\r\n", moreFollows);
    for (std::string text; body.Next(text);) SendCommand(text, moreFollows);
    SendCommand(".\r\n", moreFollows);
  });
  // The server has taken the message once the end of data is answered 250: a failed
  // QUIT does not undo that.
  FinishData(true);
}

#include "app/sendmail_connection.h"

#include <cctype>
#include <cstdio>

#include "errors/raise.h"
#include "platform/code_page.h"
#include "platform/terminal_text.h"

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
  if (!verbose || inData) return;
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
  if (verbose) {
    // A challenge may carry what the next answer is made from.
    const bool challenge = inAuthentication && m_sLastReply.starts_with("334");
    ShowDialogueLine("< ", challenge ? "334 <hidden>" : GetLastReply());
    if (!challenge) inAuthentication = false;
  }
  return complete;
}

void CSendmailConnection::SendStreamed(SendmailEnvelope& envelope, const std::string& header,
                                       CBodyStream& body) {
  const CEnvelopeCommands commands{FormatMailFrom(envelope.sender, envelope.dsnNotify,
                                                  envelope.dsnReturnFull, envelope.dsnEnvelopeId),
                                   envelope.recipients, envelope.dsnNotify};
  SendEnvelope(commands, [] {});

  constexpr bool moreFollows = true;
  inData = true;
  // A body that fails (input, a line over the limit) closes the connection without the
  // end-of-data line: the server discards the part of the message it holds.
  SendDataText([&] {
    SendCommand(header + "\r\n", moreFollows);
    for (std::string text; body.Next(text);) SendCommand(text, moreFollows);
    SendCommand(".\r\n", moreFollows);
  });
  inData = false;
  if (verbose) {
    ShowDialogueLine("> ", "<message text>");
    ShowDialogueLine("> ", ".");
  }
  // The server has taken the message once the end of data is answered 250: a failed
  // QUIT does not undo that.
  FinishData(true);
}

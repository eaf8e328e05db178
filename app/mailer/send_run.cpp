// The program's send run: connect with the settings, send one message with the
// subject and the body, disconnect, and report the outcome in the result dialog.
#include "app/mailer/send_run.h"

#include <cstdlib>
#include <string>

#include "app/mailer/result_dialog.h"
#include "app/run/connect.h"
#include "app/run/settings.h"
#include "errors/exceptions.h"
#include "mime/message.h"
#include "platform/error_numbers.h"
#include "platform/terminal_text.h"
#include "smtp/connection.h"
#include "smtp/envelope.h"
#include "smtp/envelope_extensions.h"
#include "smtp/guards.h"

namespace {

void ShowResult(const std::string& text) {
  CResultDialog dialog;
  dialog.m_sText = text;
  dialog.DoModal();
}

bool ConnectStep(CTAVSMTPConnection& connection, int authMethod) {
  try {
    ConnectWithSettings(connection, authMethod);
    return true;
  } catch (const CException& e) {
    e.ReportError();
    ShowResult("Failed to connect to SMTP server\n" + connection.GetLastReply());
    return false;
  }
}

void ComposeMessage(CTAVSMTPMessage& message, const std::string& subject,
                    const std::string& body) {
  CSettingsReadOnce readOnce;
  message.rootPart.charset = RunCharset();
  std::string senderEMail = ReadSmtpSetting("SenderEMail", "");
  std::string senderName = ReadSmtpSetting("SenderName", "");
  message.from = CTAVSMTPAddress(senderName, senderEMail);
  std::string recipientEMail = ReadSmtpSetting("RecipientEMail", "");
  std::string recipientName = ReadSmtpSetting("RecipientName", "");
  message.AppendRecipient(CTAVSMTPAddress(recipientName, recipientEMail),
                          CTAVSMTPMessage::RecipientTo);
  message.subject = subject;
  message.SetBody(body);
}

// A line naming each address too long for its command, for a failure that the engine
// gives only as "The parameter is incorrect" (87): its length and the most it may have.
void NameAddressesOverTheirCommand(const CTAVSMTPConnection& connection, const CTAVSMTPMessage& message) {
  auto name = [](const char* role, const std::string& address, std::ptrdiff_t room) {
    if (std::ssize(address) <= room) return;
    constexpr std::size_t shown = 40;
    WriteErrorLine("the " + std::string(role) + " address " + address.substr(0, shown) +
                   (address.size() > shown ? "..." : "") + " has " + std::to_string(address.size()) +
                   " octets; its command takes at most " + std::to_string(room) + " (an SMTP command line holds " +
                   std::to_string(commandLineLimit) + " octets)");
  };
  const auto parameters = static_cast<std::ptrdiff_t>(MailFromParametersRoom(connection.m_serverExtensions, false));
  name("sender", message.from.emailAddress, SenderRoom(message.dsnNotify, message.dsnEnvelopeId) - parameters);
  for (const auto* list : {&message.toList, &message.ccList, &message.bccList}) {
    for (const auto& recipient : *list) name("recipient", recipient->emailAddress, RecipientRoom(message.dsnNotify));
  }
}

// The message, then QUIT (with the end of data in one send where pipelined): false
// when the message failed; quitFailed when it was delivered but QUIT failed. A refusal
// shows the server's reply; a failure the engine found itself (an address or a size the
// server cannot take, an attachment, the connection) shows its own text, as the last
// reply then belongs to an earlier step.
bool SendStep(CTAVSMTPConnection& connection, CTAVSMTPMessage& message, bool& quitFailed) {
  try {
    quitFailed = connection.SendMailMessageAndQuit(message).has_value();
    return true;
  } catch (const CTAVSMTPException& e) {
    if (e.m_hrError == MakeFailureHresult(FACILITY_WIN32, ERROR_INVALID_PARAMETER)) {
      NameAddressesOverTheirCommand(connection, message);
    }
    const std::string reason = IsReplyRefusal(e) ? connection.GetLastReply() : std::string(e.what());
    ShowResult("Failed to send the SMTP message\n" + reason);
    return false;
  }
}

}  // namespace

MailerExitCode SendRun(const std::string& subject, const std::string& body, bool showUi) {
  CTAVSMTPConnection connection;
  {
    // The settings file is read once for the connect settings and once more, after the
    // connect, for the message's.
    CSettingsReadOnce readOnce;
    int authMethod = std::atoi(ReadSmtpSetting("AuthMethod", "").c_str());
    if (!ConnectStep(connection, authMethod)) return ExitConnectFailed;
  }

  // Declared after the connection, so it is destroyed first; on a failed send the
  // connection's destructor then says QUIT and discards what that raises.
  CTAVSMTPMessage message;
  ComposeMessage(message, subject, body);
  bool quitFailed = false;
  if (!SendStep(connection, message, quitFailed)) return ExitSendFailed;
  // The server has taken the message. A failed QUIT does not undo that: the run ends
  // in order, shows no success and tells the caller through the exit code alone.
  if (quitFailed) return ExitQuitFailed;
  if (showUi) ShowResult("Message sent OK");
  return ExitSent;
}

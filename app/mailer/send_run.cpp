// The program's send run: connect with the settings, send one message with the
// subject and the body, disconnect, and report the outcome in the result dialog.
#include "app/mailer/send_run.h"

#include <cstdlib>

#include "app/mailer/result_dialog.h"
#include "app/run/connect.h"
#include "app/run/settings.h"
#include "errors/exceptions.h"
#include "mime/message.h"
#include "smtp/connection.h"

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

// The program's send run: connect with the settings, send one message with the
// subject and the body, disconnect, and report the outcome in the result dialog.
#include "app/mailer/send_run.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/mailer/result_dialog.h"
#include "app/mailer/script_queue.h"
#include "app/mailer/script_report.h"
#include "app/run/connect.h"
#include "app/run/settings.h"
#include "errors/exceptions.h"
#include "mime/message.h"
#include "platform/error_numbers.h"
#include "platform/terminal_text.h"
#include "queue/queue.h"
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

// The run as the caller sees it: the dialog, or with --json the one object at the end.
class CRun {
 public:
  explicit CRun(const SendRequest& given) : request(given), json(given.options.json) {}

  int Send();

 private:
  std::optional<int> ConnectStep();
  void ComposeMessage();
  std::optional<int> SendStep();
  int QueueStep(const CException& failure);
  int Finish(const char* status, int exitStatus, const std::string& error = "", const std::string& queueId = "");

  const SendRequest& request;
  const bool json;
  CRecipientReplyConnection connection;
  // Declared after the connection, so it is destroyed first; on a failed send the
  // connection's destructor then says QUIT and discards what that raises.
  CTAVSMTPMessage message;
};

// nullopt once connected; else the run's exit status. The settings file is read once
// for the connect settings and once more, after the connect, for the message's.
std::optional<int> CRun::ConnectStep() {
  try {
    CSettingsReadOnce readOnce;
    int authMethod = std::atoi(ReadSmtpSetting("AuthMethod", "").c_str());
    ConnectWithSettings(connection, authMethod);
    return std::nullopt;
  } catch (const CException& e) {
    if (json || request.options.queue) ComposeMessage();
    if (request.options.queue && RelayUnreachable(e)) return QueueStep(e);
    if (!json) {
      e.ReportError();
      ShowResult("Failed to connect to SMTP server\n" + connection.GetLastReply());
    }
    return Finish("failed", ExitConnectFailed, e.what());
  }
}

void CRun::ComposeMessage() {
  const ScriptOptions& options = request.options;
  CSettingsReadOnce readOnce;
  message.rootPart.charset = RunCharset();
  std::string senderEMail = ReadSmtpSetting("SenderEMail", "");
  std::string senderName = ReadSmtpSetting("SenderName", "");
  if (options.from) {
    senderEMail = options.from->emailAddress;
    senderName = options.from->displayName;
  }
  message.from = CTAVSMTPAddress(options.fromName.value_or(senderName), senderEMail);
  if (options.replyTo) message.replyTo = *options.replyTo;
  // Recipients on the command line replace the one of the settings.
  if (options.to.empty() && options.cc.empty() && options.bcc.empty()) {
    std::string recipientEMail = ReadSmtpSetting("RecipientEMail", "");
    std::string recipientName = ReadSmtpSetting("RecipientName", "");
    message.AppendRecipient(CTAVSMTPAddress(recipientName, recipientEMail), CTAVSMTPMessage::RecipientTo);
  }
  const std::pair<const std::vector<CTAVSMTPAddress>*, int> lists[] = {
      {&options.to, CTAVSMTPMessage::RecipientTo},
      {&options.cc, CTAVSMTPMessage::RecipientCc},
      {&options.bcc, CTAVSMTPMessage::RecipientBcc}};
  for (const auto& [list, kind] : lists) {
    for (const CTAVSMTPAddress& address : *list) message.AppendRecipient(address, kind);
  }
  message.subject = options.subject.value_or(request.run.subject);
  message.extraHeaders = options.headers;
  message.priority = options.priority;
  message.dsnNotify = options.notify;
  message.dsnReturnFull = options.returnFull;
  std::optional<std::string> text = options.body;
  if (!text && (request.run.bodyGiven || !options.given)) text = request.run.body;
  ComposeParts(message, options, text, request.files.BodyPath());
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

// The message, then QUIT (with the end of data in one send where pipelined): nullopt
// when the message was delivered, else the run's exit status. A refusal shows the
// server's reply; a failure the engine found itself (an address or a size the server
// cannot take, an attachment, the connection) shows its own text, as the last reply
// then belongs to an earlier step. The server has taken the message once the end of
// data is answered: a failed QUIT does not undo that, the run ends in order, shows no
// success and tells the caller through the exit code alone.
std::optional<int> CRun::SendStep() {
  try {
    if (connection.SendMailMessageAndQuit(message).has_value()) return Finish("sent", ExitQuitFailed);
    return std::nullopt;
  } catch (const CTAVSMTPException& e) {
    if (e.m_hrError == MakeFailureHresult(FACILITY_WIN32, ERROR_INVALID_PARAMETER)) {
      NameAddressesOverTheirCommand(connection, message);
    }
    const std::string reason = IsReplyRefusal(e) ? connection.GetLastReply() : std::string(e.what());
    if (!json) ShowResult("Failed to send the SMTP message\n" + reason);
    return Finish("failed", ExitSendFailed, reason);
  }
}

// The relay could not be reached: into the queue, "queued as ID" as the sendmail face
// says it; a queue that cannot be written is EX_OSERR, the message not taken.
int CRun::QueueStep(const CException& failure) {
  std::string problem;
  try {
    const std::string id = QueueMessage(message, request.account);
    if (!json) WriteErrorLine("queued as " + id + ": " + failure.what());
    return Finish("queued", ExitSent, failure.what(), id);
  } catch (const CQueueError& e) {
    problem = e.what();
  } catch (const CException& e) {
    problem = e.what();
  }
  if (!json) WriteErrorLine("not queued: " + problem);
  return Finish("failed", ExitQueueFailed, problem);
}

int CRun::Finish(const char* status, int exitStatus, const std::string& error, const std::string& queueId) {
  if (!json) return exitStatus;
  const std::string text = OutcomeJson(message, connection.recipientReplies, connection.GetLastReply(),
                                       ScriptOutcome{status, exitStatus, error, queueId}) +
                           "\n";
  return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? exitStatus : ExitOutputFailed;
}

int CRun::Send() {
  if (std::optional<int> failed = ConnectStep()) return *failed;
  ComposeMessage();
  // Delivery status notifications only where the server takes their parameters.
  if (!connection.m_serverExtensions.dsn) message.dsnNotify = -1;
  if (std::optional<int> failed = SendStep()) return *failed;
  if (request.run.showUi && !json) ShowResult("Message sent OK");
  return Finish("sent", ExitSent);
}

}  // namespace

int SendRun(const SendRequest& request) { return CRun(request).Send(); }

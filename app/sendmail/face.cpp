// The sendmail face's run: options, the message's header, the recipients and the
// envelope sender, the header rules, then the engine with the program's settings.
#include "app/sendmail/face.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <functional>
#include <iterator>

#include "app/sendmail/aliases.h"
#include "app/sendmail/body_stream.h"
#include "app/sendmail/message_reader.h"
#include "app/run/connect.h"
#include "app/sendmail/connection.h"
#include "app/sendmail/failure.h"
#include "app/sendmail/mail_log.h"
#include "app/sendmail/message.h"
#include "app/sendmail/options.h"
#include "app/sendmail/queue.h"
#include "app/run/settings.h"
#include "errors/exceptions.h"
#include "platform/process_hardening.h"
#include "platform/registry.h"
#include "platform/terminal_text.h"
#include "platform/win_app.h"

namespace {

// An empty file is an empty table.
CAliases ReadAliases(const std::string& path) {
  if (path.empty()) return {};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::string text;
  bool failed = file == nullptr;
  if (file != nullptr) {
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) text.append(block, n);
    failed = std::ferror(file) != 0;
    std::fclose(file);
  }
  if (failed) {
    throw CSendmailFailure{SendmailConfigError, "the aliases file " + path + " cannot be read (setting Aliases)"};
  }
  return CAliases::Parse(text);
}

// An address that can go between the angle brackets of a command: no blank (but within
// a quoted local part), control character or bracket can end it early (and so add a
// parameter or command).
bool IsSendableAddress(std::string_view address) {
  bool quoted = false;
  return !address.empty() && address.size() <= 320 &&
         std::none_of(address.begin(), address.end(), [&](unsigned char c) {
           if (c == '"') quoted = !quoted;
           return (c <= ' ' && !(c == ' ' && quoted)) || c == 0x7f || c == '<' || c == '>' || c == ',' || c == ';';
         });
}

void CheckAddress(const std::string& address, SendmailStatus status) {
  if (!IsSendableAddress(address)) throw CSendmailFailure{status, "not a valid address: " + MailLogValue(address)};
}

// The operands' and (with -t) the header's recipients, local names resolved; each
// checked, each once.
std::vector<std::string> Recipients(const SendmailOptions& options, const MessageHeader& header,
                                    const SendmailSettings& settings) {
  std::vector<std::pair<std::string, SendmailStatus>> given;
  for (const std::string& operand : options.recipients) {
    // A line end folds a header field, never an operand: taken out, it would join two
    // words into another address.
    if (operand.find_first_of("\r\n") != std::string::npos) CheckAddress(operand, SendmailUsage);
    for (std::string& address : AddressesOf(operand)) given.emplace_back(std::move(address), SendmailUsage);
  }
  if (options.recipientsFromHeader) {
    for (const HeaderField& field : header.fields) {
      if (!field.IsNamed("To") && !field.IsNamed("Cc") && !field.IsNamed("Bcc")) continue;
      for (std::string& address : AddressesOf(field.Value())) given.emplace_back(std::move(address), SendmailDataError);
    }
  }
  if (given.empty()) throw CSendmailFailure{SendmailUsage, "no recipients: give addresses or -t"};

  const CAliases aliases = ReadAliases(settings.aliasesFile);
  std::vector<std::string> recipients;
  auto add = [&](const std::string& address) {
    if (std::ranges::find(recipients, address) == recipients.end()) recipients.push_back(address);
  };
  for (const auto& [address, status] : given) {
    CheckAddress(address, status);
    if (!IsLocalName(address)) {
      add(address);
      continue;
    }
    for (const std::string& resolved : aliases.Resolve(address)) {
      if (!IsLocalName(resolved)) {
        CheckAddress(resolved, SendmailConfigError);
        add(resolved);
      } else if (!settings.recipientEMail.empty()) {
        add(settings.recipientEMail);
      } else {
        throw CSendmailFailure{SendmailNoUser, "the local name " + resolved +
                                                   " has no address: set RecipientEMail in the settings, "
                                                   "or an alias in the aliases file (setting Aliases)"};
      }
    }
  }
  return recipients;
}

std::string EnvelopeSender(const SendmailOptions& options, const SendmailSettings& settings,
                           const MessageHeader& header) {
  std::string sender = !options.sender.empty()        ? options.sender
                       : !settings.senderEMail.empty() ? settings.senderEMail
                                                       : FromLineAddress(header);
  if (sender.empty()) {
    throw CSendmailFailure{SendmailConfigError,
                           "no sender address: set SenderEMail in the settings, or give -f or a From line"};
  }
  CheckAddress(sender, SendmailUsage);
  return sender;
}

// -N, -R and -V. Without -N, notifications are asked for on failure and delay, as a
// server does by default. The envelope id is a MAIL FROM parameter value (RFC 3461
// xtext): a blank would start another parameter.
void ApplyDsnOptions(const SendmailOptions& options, SendmailEnvelope& envelope) {
  if (!options.dsnRequested) return;
  envelope.dsnNotify = options.dsnNotify == -1 ? 2 | 4 : options.dsnNotify;
  envelope.dsnReturnFull = options.dsnReturnFull;
  envelope.dsnEnvelopeId = options.envelopeId;
  if (!std::all_of(envelope.dsnEnvelopeId.begin(), envelope.dsnEnvelopeId.end(),
                   [](char c) { return c > ' ' && c < '\x7f'; })) {
    throw CSendmailFailure{SendmailUsage, "-V " + options.envelopeId +
                                              ": an envelope id may hold no blank, control or 8-bit byte"};
  }
}

// Reads the rest of the message, so that the spool holds it whole.
void ReadToEnd(CBodyStream& body) {
  for (std::string text; body.Next(text);) {
  }
}

// A send that failed with error, told as failure: the message is queued when the
// failure is one that passes, else the failure is thrown. Returns the outcome for the log.
MailLogOutcome QueueOrThrow(CMessageSpool& spool, CBodyStream& body, const SendmailOptions& options,
                            const SendmailEnvelope& envelope, const CException& error,
                            const CSendmailFailure& failure, MailLogMessage& logged) {
  if (!spool.On() || !QueuesAfter(error, failure.status)) throw failure;
  ReadToEnd(body);
  logged.queueId = spool.Queue(envelope, options, logged.account, failure.text, true);
  return {MailLogOutcome::Queued, failure.text};
}

// The sender as the caller gave it, before SenderEMail: -f, else the From line's.
std::string GivenSender(const SendmailOptions& options, const MessageHeader& header) {
  return !options.sender.empty() ? options.sender : FromLineAddress(header);
}

// Makes the account named the one in use. Throws CSendmailFailure 78 naming it, and
// the accounts there are, when the settings have no such account.
void UseNamedAccount(const std::string& name) {
  if (!UseSmtpAccount(name)) {
    throw CSendmailFailure{SendmailConfigError,
                           "no account " + MailLogValue(name) + " in the settings; " + SmtpAccountsKnown()};
  }
}

// Reads the message, chooses its account (-a, else the first whose SenderMatch matches
// the sender given, else the default) and reads its settings, and sends or queues it:
// its outcome, for the log, with what the log names filled in on the way. Throws
// CSendmailFailure for a message refused.
// submitOnly: the submission half (SendmailSubmitMain), which queues the message checked
// and never connects.
MailLogOutcome Deliver(const SendmailOptions& options, SendmailSettings& settings, CMessageSpool& spool,
                       MailLogMessage& logged, bool submitOnly = false) {
  CInputLines input([&spool](char* buffer, std::size_t capacity) { return spool.Read(buffer, capacity); });
  MessageHeader header = ReadMessageHeader(input, options.dotEndsInput);
  if (options.account.empty()) UseNamedAccount(SmtpAccountForSender(GivenSender(options, header)));
  logged.account = SmtpAccountName();
  ReadAccountSettings(settings);

  SendmailEnvelope envelope;
  envelope.recipients = Recipients(options, header, settings);
  envelope.sender = EnvelopeSender(options, settings, header);
  ApplyDsnOptions(options, envelope);
  logged.sender = envelope.sender;
  logged.recipients = envelope.recipients;

  CSendmailConnection connection(options.verbose);
  CBodyStream body(input, options.dotEndsInput, header.inputEnded);
  PrepareMessage(header, body, options.fullName, settings, envelope.sender, connection.m_sHeloHostname,
                 std::time(nullptr));
  if (submitOnly) {
    ReadToEnd(body);
    const std::string why = "handed to the keeper of the queue";
    logged.queueId = spool.Queue(envelope, options, logged.account, why, false, options.verbose);
    return {MailLogOutcome::Queued, why};
  }
  // With the queue off (Queue 0), -odq tries at once as -odi does.
  if (options.queueOnly && settings.queue) {
    ReadToEnd(body);
    const std::string why = "queued without a try (-odq)";
    logged.queueId = spool.Queue(envelope, options, logged.account, why, false);
    return {MailLogOutcome::Queued, why};
  }
  try {
    ConnectWithSettings(connection, settings.authMethod);
  } catch (const CException& error) {
    return QueueOrThrow(spool, body, options, envelope, error,
                        connection.ConnectFailure(error, settings.server + " port " + settings.port), logged);
  }
  try {
    connection.SendStreamed(envelope, header.Text(), body);
  } catch (const CException& error) {
    const std::string& refused = connection.m_sRefusedRecipient;
    const std::string what = refused.empty()
                                 ? "the message was not sent"
                                 : "the recipient " + refused + " was refused, and the message sent to no one";
    return QueueOrThrow(spool, body, options, envelope, error, EngineFailure(error, false, what), logged);
  }
  return {MailLogOutcome::Sent, connection.DataReply()};
}

// One line in the log for the message, whatever became of it. The settings that are the
// same for every account are read before one is chosen; -a chooses before the message
// is read, so that a name that is wrong fails at once.
int SendMessage(const SendmailOptions& options) {
  CSettingsReadOnce readOnce;
  SendmailSettings settings = ReadRunSettings();
  if (!options.account.empty()) UseNamedAccount(options.account);
  CMessageSpool spool(settings.queue);
  MailLogMessage logged;
  logged.given = std::time(nullptr);
  logged.submitter = Caller();
  try {
    MailLogOutcome outcome = Deliver(options, settings, spool, logged);
    logged.size = spool.Size();
    outcome.status = SendmailSent;
    WriteMailLog(settings.log, logged, outcome);
    if (outcome.kind == MailLogOutcome::Sent) FlushDue(settings);
  } catch (const CSendmailFailure& failure) {
    logged.size = spool.Size();
    WriteMailLog(settings.log, logged, {MailLogOutcome::Refused, failure.text, failure.status});
    throw;
  }
  return SendmailSent;
}

// -bi and newaliases, which packages call after they add an alias: there is no database
// to rebuild, as every run reads the aliases file itself.
int InitializeAliases() {
  const char* text = "the aliases file (setting Aliases, default /etc/aliases) is read on every run: "
                     "nothing to rebuild\n";
  return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? SendmailSent : SendmailInputError;
}

int SendmailRun(const std::vector<std::string>& arguments) {
  const SendmailOptions options = ParseSendmailOptions(arguments);
  switch (options.mode) {
    case SendmailOptions::ListQueue:
      return ListQueue();
    case SendmailOptions::FlushQueue:
      return FlushQueue(FlushChoice::All, options.verbose);
    case SendmailOptions::InitializeAliases:
      return InitializeAliases();
    case SendmailOptions::SendMessage:
      break;
  }
  return SendMessage(options);
}

// The submission half's message: read, checked as SendMessage checks it (the face's
// limits, the aliases, SenderEMail and the header rules), written to the spool whole,
// the keeper asked to flush, the log line written; then the group is given up. The
// settings are read with their secrets forgotten (RegForgetValues), no connection is
// made and no command run.
int SubmitMessage(const SendmailOptions& options) {
  CSettingsReadOnce readOnce;
  SendmailSettings settings = ReadRunSettings();
  if (!options.account.empty()) UseNamedAccount(options.account);
  CMessageSpool spool(true);
  MailLogMessage logged;
  logged.given = std::time(nullptr);
  logged.submitter = Caller();
  try {
    MailLogOutcome outcome = Deliver(options, settings, spool, logged, true);
    logged.size = spool.Size();
    outcome.status = SendmailSent;
    spool.AskKeeper();
    WriteMailLog(settings.log, logged, outcome);
  } catch (const CSendmailFailure& failure) {
    logged.size = spool.Size();
    WriteMailLog(settings.log, logged, {MailLogOutcome::Refused, failure.text, failure.status});
    GiveUpProgramGroup();
    throw;
  }
  GiveUpProgramGroup();
  return SendmailSent;
}

// -q of the submission half: the keeper is asked to flush; the caller's own entries
// wait for it.
int AskKeeperToFlush(bool verbose) {
  try {
    const CQueue queue(QueuePlace(true));
    queue.AskKeeper();
  } catch (const CQueueError& error) {
    WriteErrorLine(error.what());
    return error.permission ? SendmailNoPermission : SendmailSystemError;
  }
  GiveUpProgramGroup();
  if (verbose) WriteErrorLine("the keeper of the queue was asked to send it");
  return SendmailSent;
}

int SubmitRun(const std::vector<std::string>& arguments) {
  const SendmailOptions options = ParseSendmailOptions(arguments);
  // A caller with settings of their own has given the group up here: the face is then
  // theirs as e-mailer-sendmail's is.
  if (!UsesSystemSettings()) return SendmailRun(arguments);
  RegForgetValues(IsSmtpSecret);
  switch (options.mode) {
    case SendmailOptions::ListQueue: {
      const int status = ListQueue();
      GiveUpProgramGroup();
      return status;
    }
    case SendmailOptions::FlushQueue:
      return AskKeeperToFlush(options.verbose);
    case SendmailOptions::InitializeAliases:
      GiveUpProgramGroup();
      return InitializeAliases();
    case SendmailOptions::SendMessage:
      break;
  }
  return SubmitMessage(options);
}

class CSendmailApp : public CWinApp {
 public:
  using CWinApp::CWinApp;

  bool InitInstance() override {
    if (!AfxSocketInit()) {
      WriteErrorLine("Windows Sockets could not be started");
      m_nExitCode = SendmailSystemError;
      return false;
    }
    try {
      m_nExitCode = run();
    } catch (const CSendmailFailure& failure) {
      WriteErrorLine(failure.text);
      m_nExitCode = failure.status;
    } catch (const std::exception& error) {  // memory, a file system call
      WriteErrorLine(error.what());
      m_nExitCode = SendmailSystemError;
    }
    return false;
  }

  std::function<int()> run;
};

}  // namespace

int SendmailMain(std::vector<std::string> arguments) {
  CSendmailApp app(arguments);
  app.run = [&arguments] { return SendmailRun(arguments); };
  return app.Run();
}

int SendmailSubmitMain(std::vector<std::string> arguments) {
  CSendmailApp app(arguments);
  app.run = [&arguments] { return SubmitRun(arguments); };
  return app.Run();
}

int SendmailFlushDueMain() {
  CSendmailApp app({"--flush-due"});
  app.run = [] { return FlushQueue(FlushChoice::Due, false); };
  return app.Run();
}

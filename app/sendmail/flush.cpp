// The flush of the queue (-q, e-mailer --flush, and after each message sent): the lock,
// for each account with entries a connection with that account's settings, and each
// queued message read and made ready as a message given at once would be
// (app/sendmail/message.h).
#include <ctime>
#include <optional>

#include "app/run/connect.h"
#include "app/sendmail/failure.h"
#include "app/sendmail/mail_log.h"
#include "app/sendmail/queue.h"
#include "app/run/settings.h"
#include "platform/file_lock.h"
#include "platform/process_hardening.h"
#include "platform/terminal_text.h"
#include "queue/flush.h"

namespace {

// How long -q waits for a flush that runs before it leaves it to that one.
constexpr std::uint32_t flushLockWait = 60 * 1000;

// A queued message read from its entry as standard input is read, with the header
// rules applied as on the day it was queued.
class CSendmailQueuedText : public CQueuedText {
 public:
  CSendmailQueuedText(const CQueueEntry& entry, std::unique_ptr<CQueueEntryReader> message,
                      const SendmailSettings& settings, const std::string& heloName)
      : reader(std::move(message)),
        input([this](char* buffer, std::size_t capacity) { return reader->Read(buffer, capacity); }) {
    const CQueueEnvelope& envelope = entry.envelope;
    // A report has the null sender: its From line is the address it goes to.
    const std::string& from = envelope.sender.empty() ? envelope.recipients.front() : envelope.sender;
    try {
      header = ReadMessageHeader(input, envelope.dotEndsInput);
      body.emplace(input, envelope.dotEndsInput, header.inputEnded);
      PrepareMessage(header, *body, envelope.fullName, settings, from, heloName, entry.queued);
    } catch (const CSendmailFailure& failure) {
      throw CQueueError(failure.text, false);
    }
  }

  void Send(const std::function<void(std::string_view)>& send) override {
    send(header.Text() + "\r\n");
    try {
      for (std::string text; body->Next(text);) send(text);
    } catch (const CSendmailFailure& failure) {
      throw CQueueError(failure.text, false);
    }
  }

 private:
  std::unique_ptr<CQueueEntryReader> reader;
  CInputLines input;
  MessageHeader header;
  std::optional<CBodyStream> body;
};

QueuedTextMaker TextMaker(const SendmailSettings& settings, const std::string& heloName) {
  return [&settings, &heloName](const CQueueEntry& entry, std::unique_ptr<CQueueEntryReader> message) {
    return std::make_unique<CSendmailQueuedText>(entry, std::move(message), settings, heloName);
  };
}

void Note(const std::string& line) { WriteErrorLine(line); }

// The log line of each entry as the flush settles it; a message sent has the answer to
// its end of data, which the connection has just read.
QueueOutcomeListener LogOutcomes(const MailLogSettings& log, const CSendmailConnection& connection) {
  return [&log, &connection](const CQueueEntry& entry, const CQueueOutcome& outcome) {
    const MailLogMessage message{entry.id,   entry.envelope.sender, entry.envelope.recipients,
                                 entry.size, entry.queued,  entry.envelope.account,
                                 IdentityOf(entry.owner)};
    switch (outcome.kind) {
      case CQueueOutcome::Sent:
        return WriteMailLog(log, message, {MailLogOutcome::Sent, connection.DataReply()});
      case CQueueOutcome::PutOff:
        return WriteMailLog(log, message, {MailLogOutcome::Queued, outcome.reason});
      case CQueueOutcome::GivenUp:
        return WriteMailLog(log, message, {MailLogOutcome::GaveUp, outcome.reason});
    }
  };
}

// Batches over the connection until no message is due, failure reports queued on the
// way included. Returns 0, or the status of the failure that ended the connection
// (the entries not sent then put off).
int SendDue(CSendmailConnection& connection, CQueueFlush& flush) {
  try {
    do {
      connection.SendBatch(flush);
    } while (flush.TakeReports());
    return SendmailSent;
  } catch (const CException& error) {
    CSendmailFailure failure = EngineFailure(error, false, "the connection was lost while the queue was sent");
    flush.PutOffRest(failure.text);
    WriteErrorLine(failure.text);
    return failure.status;
  } catch (const CQueueError& error) {
    // A message whose text failed midway: the connection was closed without its end.
    flush.PutOffRest("the connection was closed after a message that cannot be sent");
    return SendmailSent;
  }
}

// The entries of the group left for a later try, for failure; quiet says nothing.
int KeepRest(CQueueFlush& flush, std::size_t count, const CSendmailFailure& failure, bool quiet) {
  flush.PutOffRest(failure.text);
  if (!quiet) {
    WriteErrorLine(failure.text);
    WriteErrorLine(std::to_string(count) + " queued " + (count == 1 ? "message is" : "messages are") +
                   " kept for a later try");
  }
  return failure.status;
}

// Why the settings cannot send account's entries; nullopt when they can, with the
// account in use and its settings read into settings.
std::optional<CSendmailFailure> UseAccountOf(const std::string& account, SendmailSettings& settings) {
  if (!UseSmtpAccount(account)) {
    settings.log.server.clear();  // the log lines name no server: none is used
    settings.log.tls.clear();
    settings.log.user.clear();
    return CSendmailFailure{SendmailConfigError, "the account " + MailLogValue(account) +
                                                     " of queued messages is not in the settings (" +
                                                     SmtpAccountsKnown() + "): they wait for it"};
  }
  try {
    ReadAccountSettings(settings);
  } catch (const CSendmailFailure& failure) {
    return failure;
  }
  return std::nullopt;
}

// Sends the group of account (the flush has taken it) over a connection of its own with
// that account's settings; quiet leaves out the lines of a connection that could not be
// made (the entries are put off all the same). run: ReadRunSettings'.
int FlushGroup(const std::string& account, const SendmailSettings& run, CQueueFlush& flush, bool verbose,
               bool quiet) {
  SendmailSettings settings = run;
  const std::optional<CSendmailFailure> problem = UseAccountOf(account, settings);
  CSendmailConnection connection(verbose);
  const std::size_t due =
      flush.StartGroup(TextMaker(settings, connection.m_sHeloHostname), LogOutcomes(settings.log, connection));
  if (due == 0) return SendmailSent;
  if (problem) return KeepRest(flush, due, *problem, quiet);
  try {
    ConnectWithSettings(connection, settings.authMethod);
  } catch (const CException& error) {
    return KeepRest(flush, due, connection.ConnectFailure(error, settings.server + " port " + settings.port), quiet);
  }
  const int status = SendDue(connection, flush);
  try {
    connection.Disconnect(true);
  } catch (const CException&) {
    // Every message has its outcome: a failed QUIT changes none.
  }
  return status;
}

// Sends what choice picks, each account's entries over a connection of its own.
int FlushWithLock(const SendmailSettings& run, const CQueue& queue, FlushChoice choice, bool verbose, bool quiet) {
  CQueueFlush flush(queue, std::time(nullptr), run.queueLifetimeDays, Note);
  flush.Prepare(choice);
  int status = SendmailSent;
  while (const std::optional<std::string> account = flush.NextGroup()) {
    const int groupStatus = FlushGroup(*account, run, flush, verbose, quiet);
    if (status == SendmailSent) status = groupStatus;
  }
  return flush.Refused() > 0 && status == SendmailSent ? SendmailNoPermission : status;
}

}  // namespace

int FlushQueue(FlushChoice choice, bool verbose) {
  try {
    CSettingsReadOnce readOnce;
    const SendmailSettings run = ReadRunSettings();
    const CQueue queue(QueuePlace(UsesSystemSettings()));
    CFileLock lock(queue.Folder() + "/.lock", flushLockWait);
    if (!lock.Held()) {
      WriteErrorLine(lock.Busy() ? "another flush of the queue ran for the whole wait; the queue is left to it"
                                 : lock.Error());
      return SendmailTemporary;
    }
    // Taken with the lock held, before the spool is read: an entry committed after this
    // asks again, and the path unit starts the keeper once more.
    queue.TakeKeeperRequest();
    return FlushWithLock(run, queue, choice, verbose, false);
  } catch (const CSendmailFailure& failure) {
    WriteErrorLine(failure.text);
    return failure.status;
  } catch (const CQueueError& error) {
    WriteErrorLine(error.what());
    return error.permission ? SendmailNoPermission : SendmailSystemError;
  } catch (const std::exception& error) {  // memory, a file system call
    WriteErrorLine(error.what());
    return SendmailSystemError;
  }
}

void FlushDue(const SendmailSettings& settings) {
  if (!settings.queue) return;
  try {
    const CQueue queue(QueuePlace(UsesSystemSettings()));
    CFileLock lock(queue.Folder() + "/.lock", 0);
    if (lock.Held()) {
      queue.TakeKeeperRequest();
      FlushWithLock(settings, queue, FlushChoice::Due, false, true);
    }  // else the flush that runs sends them
  } catch (const std::exception&) {
    // The message given was sent; the queue waits for the next flush.
  } catch (const CSendmailFailure&) {
  }
}

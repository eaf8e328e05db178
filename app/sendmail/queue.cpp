// The sendmail face's queue: the spool of the message being read, queueing after a
// failure that passes, and the listing of -bp.
#include "app/sendmail/queue.h"

#include <cstdio>

#include "app/run/settings.h"
#include "platform/standard_input.h"
#include "platform/terminal_text.h"

CMessageSpool::CMessageSpool(bool queueing) : on(queueing) {
  if (!queueing) {
    problem = "the queue is off (Queue 0)";
    return;
  }
  try {
    queue.emplace(QueuePlace(UsesSystemSettings()));
    spool.emplace(*queue);
  } catch (const CQueueError& error) {
    problem = error.what();
    spool.reset();
  }
}

long CMessageSpool::Read(char* buffer, std::size_t capacity) {
  const long count = ReadStandardInput(buffer, capacity);
  if (count > 0) size += static_cast<std::uint64_t>(count);
  if (count <= 0 || !spool) return count;
  try {
    spool->Write(std::string_view(buffer, static_cast<std::size_t>(count)));
  } catch (const CQueueError& error) {
    problem = error.what();
    spool.reset();
  }
  return count;
}

std::string CMessageSpool::Queue(const SendmailEnvelope& envelope, const SendmailOptions& options,
                                 const std::string& account, const std::string& why, bool tried, bool tell) {
  // Why it could not be queued, then the failure that made it queue, when there was one.
  auto failed = [&](const std::string& reason) {
    return CSendmailFailure{SendmailSystemError, "the message could not be queued: " + reason +
                                                     (tried ? "; it was not sent either: " + why : std::string())};
  };
  if (!spool) throw failed(problem);
  CQueueEnvelope queued;
  queued.sender = envelope.sender;
  queued.recipients = envelope.recipients;
  queued.dsnNotify = envelope.dsnNotify;
  queued.dsnReturnFull = envelope.dsnReturnFull;
  queued.dsnEnvelopeId = envelope.dsnEnvelopeId;
  queued.fullName = options.fullName;
  queued.dotEndsInput = options.dotEndsInput;
  queued.account = account;
  std::string id;
  const std::time_t now = std::time(nullptr);
  try {
    id = spool->Commit(queued, now);
  } catch (const CQueueError& error) {
    throw failed(error.what());
  }
  try {
    // The try that failed is the first: the listing shows why, and the timers' flush
    // waits the first back-off (sendmail -q tries at once).
    if (tried) queue->SetState(id, PutOffState(CQueueState{}, now, why));
  } catch (const CQueueError&) {
    // Queued all the same, due at once: a failure here must not make the caller send it again.
  }
  if (tell) WriteErrorLine("queued as " + id + ": " + why);
  return id;
}

void CMessageSpool::AskKeeper() {
  if (!queue) return;
  try {
    queue->AskKeeper();
  } catch (const CQueueError& error) {
    WriteErrorLine(std::string("the keeper of the queue could not be asked to send it now: ") + error.what());
  }
}

bool QueuesAfter(const CException& error, SendmailStatus status) {
  // Only the engine's own failures: a setting that is wrong must not wait in the queue.
  return dynamic_cast<const CTAVSMTPException*>(&error) != nullptr &&
         (status == SendmailTemporary || status == SendmailNoHost);
}

int ListQueue() {
  try {
    const CQueue queue(QueuePlace(UsesSystemSettings()));
    const std::string listing = QueueListing(queue, std::time(nullptr));
    return std::fputs(listing.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? SendmailSent
                                                                                : SendmailInputError;
  } catch (const CQueueError& error) {
    WriteErrorLine(error.what());
    return error.permission ? SendmailNoPermission : SendmailSystemError;
  }
}

// The queue as the sendmail face uses it: the message kept in a spool while it is read,
// queued when it cannot be sent now, the listing of -bp and the flush of -q (and of
// e-mailer --flush).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "app/sendmail/connection.h"
#include "app/sendmail/failure.h"
#include "app/sendmail/message.h"
#include "app/sendmail/options.h"
#include "errors/exceptions.h"
#include "queue/flush.h"
#include "queue/queue.h"

// The message as read from standard input, every byte also written to a spool in the
// queue folder, so that it can still be queued after a try to send it failed.
class CMessageSpool {
 public:
  // queueing: the Queue setting. A queue folder that cannot be used is remembered; it
  // fails only the queueing.
  explicit CMessageSpool(bool queueing);

  // Reads standard input as ReadStandardInput does, and spools what it read. A spool
  // that cannot be written is dropped (the message is then sent, or fails, as it would
  // without a queue).
  long Read(char* buffer, std::size_t capacity);

  // False with the queue off (Queue 0).
  bool On() const { return on; }
  // The bytes read from standard input so far.
  std::uint64_t Size() const { return size; }

  // Queues the message read whole (the caller has read it to its end) for account (""
  // the default), writes "queued as <id>: why" on standard error and returns the id;
  // tried: a try failed
  // with why, which the listing shows, and the entry waits the first back-off. Throws
  // CSendmailFailure 71 when it cannot be queued (the queue folder or the spool cannot
  // be written), naming why, then the failed try.
  // tell: write the "queued as" line (the submission half: only with -v).
  std::string Queue(const SendmailEnvelope& envelope, const SendmailOptions& options, const std::string& account,
                    const std::string& why, bool tried, bool tell = true);
  // Asks the keeper of the shared spool to flush (CQueue::AskKeeper); a failure is named
  // on standard error: the entry waits for the timer's flush.
  void AskKeeper();

 private:
  bool on;
  std::optional<CQueue> queue;
  std::optional<CQueueSpool> spool;
  std::string problem;  // why there is no spool
  std::uint64_t size = 0;
};

// True when a send that failed with error (status: StatusOf it) is queued: the
// server away or slow, a 4xx reply, the server's name not known.
bool QueuesAfter(const CException& error, SendmailStatus status);

// -bp: the queue's listing on standard output. Returns the exit status (77 when the
// folder is not the user's own, 71 when it cannot be read).
int ListQueue();

// -q and e-mailer --flush (FlushChoice::All: every entry now, whatever its back-off),
// e-mailer --flush-due (FlushChoice::Due: the timers): sends those entries, each
// account's over a connection of its own with that account's settings, waiting a
// bounded time for a flush that runs. Returns 0 when every entry chosen was sent, put
// off after a 4xx or given up after a 5xx; else the status of the first account whose
// entries were kept for a later try: 75 when its server could not be reached or the
// connection was lost, 78 when the account is no longer in the settings or its settings
// are wrong, other statuses as the sendmail face for the settings and the server; 75
// also when another flush held the queue for the whole wait; 77 when the folder or an
// entry is not the user's own.
int FlushQueue(FlushChoice choice, bool verbose);

// After a message was sent: sends what is due, unless the queue is off or another
// flush runs. settings: ReadRunSettings'. Never throws: the message sent is the run's
// outcome.
void FlushDue(const SendmailSettings& settings);

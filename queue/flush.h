// A flush of the queue: the entries that are due, grouped by account, each group
// oldest first handed to the engine's batch call over a connection of its own through
// its account's server; no entry ever goes through another account's. An entry is
// removed once the server answered 250 to its end of data, and before anything else is
// done: the time between that end of data and its 250 is the only one in which a lost
// connection can have a message delivered twice (RFC 1047). A 4xx (or a lost
// connection) puts an entry off, a 5xx gives it up.
#pragma once

#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "queue/queue.h"
#include "smtp/message_batch.h"

// The text of a queued message as it goes on the wire, made by the program from the
// entry's message (its reading of the message and its header rules).
class CQueuedText {
 public:
  virtual ~CQueuedText() = default;
  // Sends the text as CBatchSource::SendText does. Raises CQueueError for a message
  // that cannot go as it is, and what send raises.
  virtual void Send(const std::function<void(std::string_view)>& send) = 0;
};

// Makes the text of entry from its message. Raises CQueueError when the message cannot
// go as it is (its header cannot be read).
using QueuedTextMaker =
    std::function<std::unique_ptr<CQueuedText>(const CQueueEntry& entry, std::unique_ptr<CQueueEntryReader> message)>;

// What became of an entry in a flush, for the program's log.
struct CQueueOutcome {
  enum Kind { Sent, PutOff, GivenUp };
  Kind kind;
  std::string reason;  // PutOff and GivenUp: why
};
using QueueOutcomeListener = std::function<void(const CQueueEntry& entry, const CQueueOutcome& outcome)>;

// Which entries a flush sends: every one now, whatever its back-off (a person asked:
// sendmail -q, e-mailer --flush), or those whose back-off has passed (the timers, and
// the flush after a message sent).
enum class FlushChoice { All, Due };

class CQueueFlush : public CBatchSource {
 public:
  // note receives one line for each entry set aside, refused, given up or put off.
  CQueueFlush(const CQueue& queue, std::time_t now, int lifetimeDays, std::function<void(const std::string&)> note);

  // Reads the queue: sets corrupt entries aside, and keeps those that choice sends and
  // those older than the lifetime (given up when their group starts). Raises
  // CQueueError.
  void Prepare(FlushChoice choice);

  // Takes the next group: the kept entries of the account of the oldest one left.
  // Returns that account ("" the default), nullopt when no entry is left.
  std::optional<std::string> NextGroup();
  // Starts the group taken: maker makes its entries' texts, outcome learns of each entry
  // sent, put off or given up, once it is so on disk (both used until the next group). Gives up the entries older than
  // the lifetime; returns how many are left to send.
  std::size_t StartGroup(QueuedTextMaker maker, QueueOutcomeListener outcome);
  // Adds the failure reports queued in this group to it, due at once; false when there
  // are none.
  bool TakeReports();

  bool NextEnvelope(CBatchEnvelope& envelope) override;
  void SendText(const std::function<void(std::string_view)>& send) override;
  void Finished(const CBatchOutcome& outcome) override;

  // The group's connection could not be made or was lost, or its account cannot be
  // used: every entry of the group not finished is put off with reason.
  void PutOffRest(const std::string& reason);

  // How many entries were not the user's own, and so not read.
  std::size_t Refused() const { return refused; }

 private:
  struct Open {
    CQueueEntry entry;
    std::unique_ptr<CQueuedText> text;
    std::string textFailure;  // why its text could not go, when it could not
  };
  void GiveUp(const CQueueEntry& entry, const std::string& reason);
  void PutOff(const CQueueEntry& entry, const std::string& reason);
  bool Expired(const CQueueEntry& entry) const;

  const CQueue& queue;
  std::time_t now;
  int lifetimeDays;
  std::function<void(const std::string&)> note;
  QueuedTextMaker maker;
  QueueOutcomeListener outcome;
  std::vector<CQueueEntry> kept;  // read by Prepare, in no group yet, oldest first
  std::vector<CQueueEntry> due;   // the group's
  std::size_t next = 0;
  std::deque<Open> open;  // envelopes given whose outcome is not in yet, in order
  std::vector<std::string> reports;
  std::size_t refused = 0;  // entries not read: not the user's own
};

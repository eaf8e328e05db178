// The flush of the queue over the engine's batch call: due entries in, outcomes out.
#include "queue/flush.h"

#include <algorithm>
#include <iterator>

#include "queue/entry_text.h"

namespace {

constexpr std::time_t secondsPerDay = 24 * 60 * 60;

// The reason of a failed outcome as one line: the step's text with the server's reply,
// and the recipient a refusal names.
std::string OutcomeReason(const CBatchOutcome& outcome) {
  std::string reason = outcome.failure ? PrintableLine(outcome.failure->what()) : "no reply";
  if (!outcome.refusedRecipient.empty()) reason = "the recipient " + outcome.refusedRecipient + " was refused: " + reason;
  return reason;
}

}  // namespace

CQueueFlush::CQueueFlush(const CQueue& owner, std::time_t flushTime, int days,
                         std::function<void(const std::string&)> noteLine)
    : queue(owner), now(flushTime), lifetimeDays(days), note(std::move(noteLine)) {}

void CQueueFlush::Prepare(FlushChoice choice) {
  queue.RemoveLeftovers();
  CQueue::Scan scan = queue.Read();
  for (const std::string& why : scan.refused) note(why);
  refused += scan.refused.size();
  for (const std::string& id : scan.corrupt) {
    note("the queue entry " + id + " cannot be read and was set aside as " + queue.SetAside(id));
  }
  for (CQueueEntry& entry : scan.entries) {
    if (choice == FlushChoice::All || Expired(entry) || queue.State(entry.id).nextTry <= now) {
      kept.push_back(std::move(entry));
    }
  }
}

std::optional<std::string> CQueueFlush::NextGroup() {
  if (kept.empty()) return std::nullopt;
  std::string account = kept.front().envelope.account;
  const auto others = std::stable_partition(kept.begin(), kept.end(), [&](const CQueueEntry& entry) {
    return entry.envelope.account == account;
  });
  due.assign(std::make_move_iterator(kept.begin()), std::make_move_iterator(others));
  kept.erase(kept.begin(), others);
  next = 0;
  reports.clear();  // the reports of a group that ended early wait for the next flush
  return account;
}

std::size_t CQueueFlush::StartGroup(QueuedTextMaker textMaker, QueueOutcomeListener outcomeListener) {
  maker = std::move(textMaker);
  outcome = std::move(outcomeListener);
  std::vector<CQueueEntry> group = std::move(due);
  due.clear();
  for (CQueueEntry& entry : group) {
    if (!Expired(entry)) {
      due.push_back(std::move(entry));
      continue;
    }
    const std::string last = queue.State(entry.id).reason;
    GiveUp(entry, "not delivered within " + std::to_string(lifetimeDays) + " days" +
                      (last.empty() ? std::string() : "; last: " + last));
  }
  return due.size();
}

bool CQueueFlush::TakeReports() {
  if (reports.empty()) return false;
  // A report goes through the account of the entry it reports: this group's.
  CQueue::Scan scan = queue.Read();
  for (CQueueEntry& entry : scan.entries) {
    if (std::ranges::find(reports, entry.id) != reports.end()) due.push_back(std::move(entry));
  }
  reports.clear();
  return next < due.size();
}

bool CQueueFlush::NextEnvelope(CBatchEnvelope& envelope) {
  while (next < due.size()) {
    CQueueEntry& entry = due[next++];
    Open item{entry, nullptr, {}};
    try {
      item.text = maker(entry, std::make_unique<CQueueEntryReader>(queue, entry));
    } catch (const CQueueError& error) {
      GiveUp(entry, error.what());
      continue;
    }
    const CQueueEnvelope& given = entry.envelope;
    envelope = CBatchEnvelope{};
    envelope.sender = given.sender;
    envelope.recipients = given.recipients;
    envelope.dsnNotify = given.dsnNotify;
    envelope.dsnReturnFull = given.dsnReturnFull;
    envelope.dsnEnvelopeId = given.dsnEnvelopeId;
    open.push_back(std::move(item));
    return true;
  }
  return false;
}

void CQueueFlush::SendText(const std::function<void(std::string_view)>& send) {
  Open& item = open.back();
  try {
    item.text->Send(send);
  } catch (const CQueueError& error) {
    item.textFailure = error.what();
    throw;
  }
}

void CQueueFlush::Finished(const CBatchOutcome& batchOutcome) {
  Open item = std::move(open.front());
  open.pop_front();
  item.text.reset();  // closes the entry before it is removed or moved
  if (batchOutcome.accepted) {
    queue.Remove(item.entry.id);  // first: once sent, never again
    outcome(item.entry, {CQueueOutcome::Sent, ""});
  } else if (!item.textFailure.empty()) {
    GiveUp(item.entry, item.textFailure);
  } else if (batchOutcome.replyCode >= 500 && batchOutcome.replyCode < 600) {
    GiveUp(item.entry, OutcomeReason(batchOutcome));
  } else {
    PutOff(item.entry, OutcomeReason(batchOutcome));
  }
}

void CQueueFlush::PutOffRest(const std::string& reason) {
  for (; !open.empty(); open.pop_front()) {
    const Open& item = open.front();
    if (item.textFailure.empty()) {
      PutOff(item.entry, reason);
    } else {
      GiveUp(item.entry, item.textFailure);
    }
  }
  for (; next < due.size(); ++next) PutOff(due[next], reason);
}

bool CQueueFlush::Expired(const CQueueEntry& entry) const {
  return entry.queued + lifetimeDays * secondsPerDay <= now;
}

void CQueueFlush::GiveUp(const CQueueEntry& entry, const std::string& reason) {
  std::string report = queue.Fail(entry, reason, now);
  outcome(entry, {CQueueOutcome::GivenUp, reason});
  note("the queued message " + entry.id + " was given up: " + reason +
       (report.empty() ? std::string() : " (a report to " + entry.envelope.sender + " is queued)"));
  if (!report.empty()) reports.push_back(report);
}

void CQueueFlush::PutOff(const CQueueEntry& entry, const std::string& reason) {
  const CQueueState state = PutOffState(queue.State(entry.id), now, reason);
  queue.SetState(entry.id, state);
  outcome(entry, {CQueueOutcome::PutOff, reason});
}

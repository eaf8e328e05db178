// The queue as the check reports it: read only, never flushed.
#include "app/mailer/check_queue.h"

#include <chrono>
#include <ctime>
#include <filesystem>

#include "app/run/settings.h"
#include "app/run/settings_checks.h"
#include "queue/queue.h"

std::optional<CheckStep> QueueStep() {
  const auto start = std::chrono::steady_clock::now();
  std::error_code error;
  const CQueuePlace place = QueuePlace(UsesSystemSettings());
  if (ReadDwordSetting("Queue").value_or(1) == 0 || !std::filesystem::is_directory(place.folder, error)) {
    return std::nullopt;
  }
  CheckStep step("queue");
  try {
    const CQueue queue(place);
    CQueue::Scan scan = queue.Read();
    step.found = place.folder + ": " + std::to_string(scan.entries.size()) + " waiting";
    std::optional<CQueueState> next;
    for (const CQueueEntry& entry : scan.entries) {
      CQueueState state = queue.State(entry.id);
      if (!next || state.nextTry < next->nextTry) next = state;
    }
    if (!scan.entries.empty()) {
      step.details.push_back("oldest: " + scan.entries.front().id + ", queued " +
                             UtcTimeText(scan.entries.front().queued));
      step.details.push_back("next try: " + (next->nextTry == 0 ? std::string("now")
                                                                : UtcTimeText(next->nextTry)));
      if (!next->reason.empty()) step.details.push_back("last reason: " + next->reason);
    }
    for (const std::string& why : scan.refused) step.details.push_back("not read: " + why);
    for (const std::string& id : scan.corrupt) step.details.push_back("unreadable: " + id);
  } catch (const CQueueError& e) {
    // The queue's own trouble keeps no new message from going: it is told, not failed.
    step.found = std::string("cannot be read: ") + e.what();
  }
  step.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return step;
}

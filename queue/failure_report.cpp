// The failure report of a message given up: which message, to whom, why, and that it
// is kept. It goes to the envelope sender from the null sender (RFC 5321 4.5.5), so a
// report that fails in turn causes no other.
#include "queue/failure_report.h"

#include "queue/entry_text.h"

std::string FailureReportText(const CQueueEntry& entry, const std::string& reason) {
  std::string text =
      "Subject: Undelivered mail: queued message " + entry.id +
      "\n"
      "Auto-Submitted: auto-replied\n"
      "To: " + entry.envelope.sender + "\n"
      "\n"
      "A message you sent could not be delivered and was given up.\n\n"
      "Message: " + entry.id + " (" + std::to_string(entry.size) + " bytes)\n";
  for (const std::string& recipient : entry.envelope.recipients) text += "Recipient: " + recipient + "\n";
  text += "Reason: " + PrintableLine(reason) + "\n\nThe message is kept among the failed messages of the queue as " +
          entry.id + ".\n";
  return text;
}

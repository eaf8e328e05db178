// The queue's listing for -bp and mailq: each entry's id, age, size, sender, account
// (when not the default) and recipients, when it is tried next and why the last try failed.
#include "queue/queue.h"

#include "platform/code_page.h"
#include "platform/terminal_text.h"
#include "queue/entry_text.h"

namespace {

// A text of the queue's files (an address, a server's reply, a file name) as the
// terminal may show it, on one line: C0 controls become blanks, and what standard error
// escapes (DEL, C1 controls, in a UTF-8 locale bytes of no character) shows as \xHH.
std::string Shown(std::string_view text) { return TerminalText(PrintableLine(text), AnsiCodePageIsUtf8()); }

// "45 s", "12 min", "3 h", "2 d": a span as a person reads it.
std::string Span(std::time_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 60) return std::to_string(seconds) + " s";
  if (seconds < 3600) return std::to_string(seconds / 60) + " min";
  if (seconds < 86400) return std::to_string(seconds / 3600) + " h";
  return std::to_string(seconds / 86400) + " d";
}

std::string EntryBlock(const CQueueEntry& entry, const CQueueState& state, std::time_t now) {
  std::string block = entry.id + "  " + std::to_string(entry.size) + " bytes, queued " +
                      Span(now - entry.queued) + " ago, from <" + Shown(entry.envelope.sender) + ">\n";
  if (!entry.envelope.account.empty()) block += "    account: " + Shown(entry.envelope.account) + "\n";
  for (const std::string& recipient : entry.envelope.recipients) block += "    to <" + Shown(recipient) + ">\n";
  const std::string tries = std::to_string(state.tries) + (state.tries == 1 ? " try" : " tries");
  block += state.nextTry <= now ? "    next try: now (" + tries + ")\n"
                                : "    next try: in " + Span(state.nextTry - now) + " (" + tries + ")\n";
  if (!state.reason.empty()) block += "    last reason: " + Shown(state.reason) + "\n";
  return block;
}

}  // namespace

std::string QueueListing(const CQueue& queue, std::time_t now) {
  const CQueue::Scan scan = queue.Read();
  std::string text;
  for (const CQueueEntry& entry : scan.entries) text += EntryBlock(entry, queue.State(entry.id), now);
  for (const std::string& id : scan.corrupt) text += Shown(id) + "  cannot be read (set aside by the next flush)\n";
  for (const std::string& refused : scan.refused) text += Shown(refused) + "\n";
  const std::size_t count = scan.entries.size();
  text += count == 0 ? "Mail queue is empty\n"
                     : std::to_string(count) + (count == 1 ? " message" : " messages") + " in the queue\n";
  return text;
}

// The queue's files: nothing is queued that would not read back, a listing shows no
// control character of what it holds, and a failure report names no path.
#include "queue/queue.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "queue/failure_report.h"
#include "tests/support/temp_config_home.h"

namespace {

std::size_t Files(const std::string& folder) {
  std::size_t count = 0;
  for (const auto& item : std::filesystem::directory_iterator(folder)) count += item.is_regular_file() ? 1 : 0;
  return count;
}

std::string Queue(const CQueue& queue, const CQueueEnvelope& envelope, const std::string& message) {
  CQueueSpool spool(queue);
  spool.Write(message);
  return spool.Commit(envelope, 1796775300);
}

std::string MessageOf(const CQueue& queue, const CQueueEntry& entry) {
  CQueueEntryReader reader(queue, entry);
  std::string text(entry.size, '\0');
  EXPECT_EQ(reader.Read(text.data(), text.size()), static_cast<long>(text.size()));
  return text;
}

TEST(QueueSpool, AMessageWithoutRecipientsIsNeverQueued) {
  TempConfigHome home;
  const CQueue queue(home.base + "/queue");
  CQueueEnvelope envelope;
  envelope.sender = "a@example.org";
  try {
    Queue(queue, envelope, "Subject: t\n\nx\n");
    ADD_FAILURE() << "queued";
  } catch (const CQueueError& error) {
    EXPECT_STREQ(error.what(), "a message without recipients is not queued");
  }
  EXPECT_EQ(Files(queue.Folder()), 0u);
  EXPECT_TRUE(queue.Read().entries.empty());
}

TEST(QueueListing, ControlCharactersShowEscapedOnOneLine) {
  TempConfigHome home;
  const CQueue queue(home.base + "/queue");
  CQueueEnvelope envelope;
  envelope.sender = "a\xc2\x85" "b@example.org";   // U+0085, NEXT LINE
  envelope.recipients = {"r\x9b" "2J@example.org"};  // an 8-bit CSI: no UTF-8 character
  const std::string id = Queue(queue, envelope, "x\n");
  queue.SetState(id, CQueueState{1, 0, "451 busy\r\n\x1b]0;title\x07"});
  const std::string listing = QueueListing(queue, 1796775300);
  EXPECT_NE(listing.find("from <a\\xC2\\x85b@example.org>\n    to <r\\x9B2J@example.org>\n"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("    last reason: 451 busy   ]0;title \n"), std::string::npos) << listing;
}

TEST(FailureReport, NamesTheEntryButNoPath) {
  TempConfigHome home;
  const CQueue queue(home.base + "/queue");
  CQueueEnvelope envelope;
  envelope.sender = "a@example.org";
  envelope.recipients = {"b@example.org"};
  const std::string id = Queue(queue, envelope, "Subject: t\n\nx\n");
  const CQueueEntry entry = queue.Read().entries.at(0);
  const std::string reportId = queue.Fail(entry, "550 5.1.1 unknown", 1796775400);
  const CQueue::Scan scan = queue.Read();
  ASSERT_EQ(scan.entries.size(), 1u);
  EXPECT_EQ(scan.entries[0].id, reportId);
  const std::string report = MessageOf(queue, scan.entries[0]);
  EXPECT_NE(report.find("Reason: 550 5.1.1 unknown\n"), std::string::npos) << report;
  EXPECT_NE(report.find(id), std::string::npos) << report;
  EXPECT_EQ(report.find(home.base), std::string::npos) << report;
  EXPECT_EQ(report.find('/'), std::string::npos) << report;
}

}  // namespace

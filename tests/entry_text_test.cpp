// The queue's entry and state texts: every value survives the round trip whatever it
// holds, a damaged envelope is refused rather than read loosely, and the back-off.
#include "queue/entry_text.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryText, ValuesThatCouldStartALineComeBackTheSame) {
  CQueueEnvelope envelope;
  envelope.sender = "a@example.org";
  envelope.recipients = {"b@example.org", "c%41@example.org"};
  envelope.fullName = "Ann\nRecipient: evil@example.org\r\x7f%";
  envelope.dsnNotify = 6;
  envelope.dsnEnvelopeId = "ID1";
  envelope.dotEndsInput = false;
  envelope.account = "w\nRecipient: evil@example.org%\\..";
  const std::string text = EnvelopeText(envelope, 1796775300, 42);
  ASSERT_TRUE(text.ends_with("\n\n"));
  CQueueEntry entry;
  ASSERT_TRUE(ParseEnvelopeText(text.substr(0, text.size() - 2), entry));
  EXPECT_EQ(entry.envelope.account, envelope.account);
  EXPECT_EQ(entry.envelope.recipients, envelope.recipients);
  EXPECT_EQ(entry.envelope.fullName, envelope.fullName);
  EXPECT_EQ(entry.envelope.dsnNotify, 6);
  EXPECT_FALSE(entry.envelope.dotEndsInput);
  EXPECT_EQ(entry.queued, 1796775300);
  EXPECT_EQ(entry.size, 42u);

  const CQueueState state{3, 1796775400, "451 4.3.0\r\nnext"};
  const CQueueState back = ParseStateText(StateText(state));
  EXPECT_EQ(back.tries, 3);
  EXPECT_EQ(back.nextTry, 1796775400);
  EXPECT_EQ(back.reason, state.reason);
}

TEST(EntryText, ADamagedEnvelopeIsRefused) {
  CQueueEnvelope envelope;
  envelope.sender = "a@example.org";
  envelope.recipients = {"b@example.org"};
  const std::string good = EnvelopeText(envelope, 1796775300, 42);
  const std::string block = good.substr(0, good.size() - 2);
  struct Case {
    const char* name;
    std::string text;
  };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = block;
    return text.replace(text.find(from), from.size(), to);
  };
  // An entry of the default account has no Account line, as one written before
  // accounts; one with the line reads back its account.
  CQueueEntry withAccount;
  ASSERT_EQ(block.find("Account"), std::string::npos);
  ASSERT_TRUE(ParseEnvelopeText(block + "\nAccount: work", withAccount));
  EXPECT_EQ(withAccount.envelope.account, "work");
  const Case cases[] = {
      {"another version", replaced("entry 1", "entry 2")},
      {"a line missing", replaced("\nSize: 42", "")},
      {"an unknown line", block + "\nPriority: 1"},
      {"a line twice", block + "\nSize: 42"},
      {"an account twice", block + "\nAccount: a\nAccount: b"},
      {"no recipient", replaced("Recipient: b@example.org\n", "")},
      {"a bad number", replaced("Size: 42", "Size: 4x")},
      {"a bad flag", replaced("Report: 0", "Report: yes")},
      {"a cut escape", replaced("Sender: a@example.org", "Sender: a%4")},
      {"no colon", block + "\nRecipient"},
  };
  for (const Case& c : cases) {
    CQueueEntry entry;
    EXPECT_FALSE(ParseEnvelopeText(c.text, entry)) << c.name;
  }
}

TEST(EntryText, TheBackOffDoublesFromAMinuteToAnHour) {
  const int waits[] = {60, 120, 240, 480, 960, 1920, 3600, 3600, 3600};
  CQueueState state;
  for (int wait : waits) {
    state = PutOffState(state, 1000, "451");
    EXPECT_EQ(state.nextTry, 1000 + wait) << state.tries;
  }
  EXPECT_EQ(state.tries, 9);
}

}  // namespace

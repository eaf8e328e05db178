// The log line: its keys, and values that cannot end the line or forge a key whatever
// an address, an account's name or a server's reply holds.
#include "app/sendmail/mail_log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

MailLogSettings Settings() {
  MailLogSettings settings;
  settings.server = "mail.example.org:587";
  settings.tls = "starttls";
  settings.user = "me@example.org";
  return settings;
}

// Issue 46: every line of the face names the user who gave the message, by name and uid.
TEST(MailLogLine, NamesTheSubmitter) {
  const MailLogMessage message{"", "a@x", {"b@x"}, 10, 0, "", {"alice", 1001}};
  EXPECT_TRUE(MailLogLine(Settings(), message, {MailLogOutcome::Queued, "handed in", 0}, 0)
                  .ends_with(" submitter=alice uid=1001 exit=EX_OK"));
  const MailLogMessage odd{"", "a@x", {"b@x"}, 10, 0, "", {"x y", 7}};
  EXPECT_TRUE(MailLogLine(Settings(), odd, {MailLogOutcome::Sent, "250 ok", -1}, 0).ends_with(" submitter='x y' uid=7"));
}

TEST(MailLogLine, KeysOfEachOutcome) {
  MailLogMessage message{"20261209T001500.123456Z-3fa9c1b2", "a@example.org", {"b@example.org", "c@example.org"},
                         1234, 1000, "work", {}};
  EXPECT_EQ(MailLogLine(Settings(), message, {MailLogOutcome::Sent, "250 2.0.0 Ok: queued as 4AB", 0}, 1007),
            "queueid=20261209T001500.123456Z-3fa9c1b2 from=a@example.org to=b@example.org,c@example.org "
            "size=1234 account=work server=mail.example.org:587 tls=starttls auth=on user=me@example.org outcome=sent "
            "reply='250 2.0.0 Ok: queued as 4AB' delay=7 exit=EX_OK");
  message.queueId.clear();
  message.sender.clear();
  message.account.clear();
  MailLogSettings plain = Settings();
  plain.user.clear();
  plain.tls = "off";
  EXPECT_EQ(MailLogLine(plain, message, {MailLogOutcome::Refused, "no recipients", 64}, 999),
            "from=<> to=b@example.org,c@example.org size=1234 server=mail.example.org:587 tls=off auth=off "
            "outcome=refused reason='no recipients' delay=0 exit=EX_USAGE");
  EXPECT_NE(MailLogLine(plain, message, {MailLogOutcome::GaveUp, "550 no", -1}, 1000).find(" outcome=gaveup reason="),
            std::string::npos);
  EXPECT_NE(MailLogLine(plain, message, {MailLogOutcome::Queued, "", -1}, 1000).find(" outcome=queued reason='' "),
            std::string::npos);
}

struct EscapeCase {
  std::string value;
  std::string shown;
};

TEST(MailLogLine, HostileValuesStayOneLineAndOneValue) {
  const EscapeCase cases[] = {
      {"\"john smith\"@example.org", "'\"john smith\"@example.org'"},
      {"a@x\r\nqueueid=forged outcome=sent", "'a@x\\x0D\\x0Aqueueid=forged outcome=sent'"},
      {"it's\\", "'it\\'s\\\\'"},
      {"caf\xc3\xa9@x\x1b[2J\x7f", "'caf\\xC3\\xA9@x\\x1B[2J\\x7F'"},
      {"plain@example.org", "plain@example.org"},
  };
  for (const EscapeCase& c : cases) {
    const MailLogMessage message{"", c.value, {}, 0, 0, c.value, {}};
    const std::string line = MailLogLine(Settings(), message, {MailLogOutcome::Sent, "250 ok", -1}, 0);
    EXPECT_TRUE(line.starts_with("from=" + c.shown + " to='' size=0 account=" + c.shown + " server=")) << line;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  }
  // A reply of any length stays within the bound.
  const MailLogMessage message{"", "a@x", {"b@x"}, 0, 0, "", {}};
  EXPECT_LT(MailLogLine(Settings(), message, {MailLogOutcome::Sent, std::string(100000, 'x'), -1}, 0).size(), 1300u);
}

}  // namespace

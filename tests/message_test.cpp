// The message: recipient lists, the header block (folding, Message-ID), the Date and
// its zone, how SetBody places the text and when the plain body is encoded.
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mime/date_header.h"
#include "mime/message.h"
#include "mime/message_id.h"
#include "tests/support/locale_fixture.h"

namespace {

constexpr std::time_t sunday = 1796595459;  // 2026-12-06 22:17:39 UTC
constexpr std::time_t july = 1784030400;    // 2026-07-14 12:00:00 UTC

void UseZone(const char* tz) {
  setenv("TZ", tz, 1);
}

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_locale::UseUtf8();
    UseZone("UTC0");
  }
};

// The message the program's own run builds: sender, one recipient, subject, body.
void FillLikeTheSendRun(CTAVSMTPMessage& m) {
  m.from = CTAVSMTPAddress("Sender", "sender@example.com");
  m.AppendRecipient(CTAVSMTPAddress("Recipient", "rcpt@example.com"), CTAVSMTPMessage::RecipientTo);
  m.subject = "Disk almost full";
  m.SetBody("Line one\nLine two");
}

// "Www, DD Mmm YYYY HH:MM:SS +0000" with English names.
bool IsUtcDateText(const std::string& text) {
  const std::string shape = "Www, 99 Mmm 9999 99:99:99 +0000";
  const std::string days = "Mon Tue Wed Thu Fri Sat Sun", months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                        : std::string("WwMm").find(shape[i]) == std::string::npos && text[i] != shape[i]) {
      return false;
    }
  }
  return days.find(text.substr(0, 3)) % 4 == 0 && months.find(text.substr(8, 3)) % 4 == 0;
}

std::string AfterLine(const std::string& header, const std::string& prefix) {
  std::size_t p = header.find("\r\n" + prefix);
  return p == std::string::npos ? "" : header.substr(p + 2);
}

}  // namespace

TEST_F(MessageTest, PlainMessageHeaderIsSevenLinesWithTheDateLast) {
  CTAVSMTPMessage m;
  FillLikeTheSendRun(m);
  EXPECT_EQ(m.BuildHeaderAt(sunday),
            "From: Sender <sender@example.com>\r\n"
            "To: Recipient <rcpt@example.com>\r\n"
            "Subject: Disk almost full\r\n"
            "X-Mailer: CTAVSMTPConnection v2.67\r\n"
            "Content-Type: text/plain;\r\n"
            "\tcharset=iso-8859-1\r\n"
            "Date: Sun, 06 Dec 2026 22:17:39 +0000\r\n");
  EXPECT_EQ(m.rootPart.text, "Line one\r\nLine two");
  EXPECT_EQ(m.rootPart.ChildCount(), 0);
}

TEST_F(MessageTest, BuildHeaderReadsTheClock) {
  CTAVSMTPMessage m;
  FillLikeTheSendRun(m);
  const std::string header = m.BuildHeader();
  const std::string dateLine = AfterLine(header, "Date: ");
  ASSERT_TRUE(dateLine.ends_with("\r\n")) << header;
  EXPECT_TRUE(IsUtcDateText(dateLine.substr(6, dateLine.size() - 8))) << header;
}

TEST_F(MessageTest, OptionalLinesAppearOnlyWhenSet) {
  CTAVSMTPMessage m;
  m.from = CTAVSMTPAddress("", "me@example.com");
  m.AppendRecipient(CTAVSMTPAddress("A", "a@example.com"), CTAVSMTPMessage::RecipientTo);
  m.AppendRecipient(CTAVSMTPAddress("", "b@example.com"), CTAVSMTPMessage::RecipientTo);
  m.AppendRecipient(CTAVSMTPAddress("C", "c@example.com"), CTAVSMTPMessage::RecipientCc);
  m.AppendRecipient(CTAVSMTPAddress("Hidden", "bcc@example.com"), CTAVSMTPMessage::RecipientBcc);
  m.mailer.clear();
  m.subject = "S";
  m.replyTo = CTAVSMTPAddress("Desk", "desk@example.com");
  m.extraHeaders = {"X-One: 1", "X-Two: 2"};
  m.priority = CTAVSMTPMessage::PriorityHigh;
  EXPECT_EQ(m.BuildHeaderAt(sunday),
            "From: me@example.com\r\n"
            "To: A <a@example.com>,b@example.com\r\n"
            "Cc: C <c@example.com>\r\n"
            "Subject: S\r\n"
            "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"
            "Reply-To: Desk <desk@example.com>\r\n"
            "Date: Sun, 06 Dec 2026 22:17:39 +0000\r\n"
            "X-Priority: 1\r\n"
            "X-One: 1\r\nX-Two: 2\r\n");
}

TEST_F(MessageTest, EmptyListsAndAReplyToWithoutAddress) {
  CTAVSMTPMessage m;
  m.replyTo.displayName = "Name only";
  const std::string header = m.BuildHeaderAt(sunday);
  EXPECT_EQ(header.substr(0, 20), "From: \r\nTo: \r\nSubjec");
  EXPECT_EQ(header.find("Cc:"), std::string::npos);
  EXPECT_EQ(header.find("Bcc"), std::string::npos);
  EXPECT_EQ(header.find("Reply-To"), std::string::npos);
}

TEST_F(MessageTest, PriorityLines) {
  const std::pair<int, std::string> cases[] = {
      {CTAVSMTPMessage::PriorityNone, ""},           {CTAVSMTPMessage::PriorityLow, "X-Priority: 5\r\n"},
      {CTAVSMTPMessage::PriorityNormal, "X-Priority: 3\r\n"}, {CTAVSMTPMessage::PriorityHigh, "X-Priority: 1\r\n"},
      {4, ""},                                       {-1, ""},
  };
  for (const auto& [priority, line] : cases) {
    CTAVSMTPMessage m;
    m.priority = priority;
    EXPECT_EQ(AfterLine(m.BuildHeaderAt(sunday), "Date: "),
              "Date: Sun, 06 Dec 2026 22:17:39 +0000\r\n" + line)
        << priority;
  }
}

TEST_F(MessageTest, HeaderValuesAreEncodedWithTheRootCharset) {
  test_locale::UseLatin1();
  CTAVSMTPMessage m;
  m.from = CTAVSMTPAddress("J\xFCrgen", "j@example.com");
  m.AppendRecipient(CTAVSMTPAddress("Ren\xE9", "r@example.com"), CTAVSMTPMessage::RecipientTo);
  m.subject = "Gr\xFC\xDF" "e";
  m.rootPart.charset = "UTF-8";
  const std::string header = m.BuildHeaderAt(sunday);
  EXPECT_EQ(header.substr(0, header.find("X-Mailer")),
            "From: =?UTF-8?q?J=C3=BCrgen?= <j@example.com>\r\n"
            "To: =?UTF-8?q?Ren=C3=A9?= <r@example.com>\r\n"
            "Subject: =?UTF-8?q?Gr=C3=BC=C3=9Fe?=\r\n");
  // The German locale's day and month names do not reach the Date line.
  EXPECT_NE(header.find("Date: Sun, 06 Dec 2026"), std::string::npos) << header;
}

TEST_F(MessageTest, ContentLinesFollowMimeMode) {
  CTAVSMTPMessage m;
  m.rootPart.boundary = "B";
  m.mime = true;
  EXPECT_NE(m.BuildHeaderAt(sunday).find("\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\nDate"),
            std::string::npos);
  m.SetBody("text");
  EXPECT_NE(m.BuildHeaderAt(sunday).find(
                "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\nDate"),
            std::string::npos);
  m.mime = false;  // children or not, no MIME-Version without mime
  EXPECT_NE(m.BuildHeaderAt(sunday).find("\r\nContent-Type: multipart/mixed;\r\n\tcharset=iso-8859-1\r\nDate"),
            std::string::npos);
}

TEST_F(MessageTest, SetBodyInMimeModeTwiceKeepsOneTextChild) {
  CTAVSMTPMessage m;
  m.mime = true;
  m.rootPart.charset = "UTF-8";
  m.SetBody("first");
  m.SetBody("second\nline");
  EXPECT_EQ(m.rootPart.text, "This is a multi-part message in MIME format");
  EXPECT_EQ(m.rootPart.contentType, "multipart/mixed");
  ASSERT_EQ(m.rootPart.ChildCount(), 1);
  const CTAVSMTPBodyPart& child = *m.rootPart.ChildAt(0);
  EXPECT_EQ(child.text, "second\r\nline");
  EXPECT_EQ(child.charset, "UTF-8");
  EXPECT_EQ(child.parent, &m.rootPart);
  EXPECT_TRUE(child.quotedPrintable);
}

TEST_F(MessageTest, SetBodyInMimeModeAddsTheTextAfterEarlierChildren) {
  CTAVSMTPMessage m;
  m.mime = true;
  CTAVSMTPBodyPart attachment;
  attachment.contentType = "application/pdf";
  attachment.attachmentPath = "/tmp/report.pdf";
  m.rootPart.AddChild(attachment);
  m.SetBody("the text");
  ASSERT_EQ(m.rootPart.ChildCount(), 2);
  EXPECT_EQ(m.rootPart.ChildAt(0)->contentType, "application/pdf");
  EXPECT_EQ(m.rootPart.ChildAt(1)->text, "the text");
  EXPECT_EQ(m.rootPart.ChildAt(1)->contentType, "text/plain");
}

TEST_F(MessageTest, RecipientListsByKind) {
  CTAVSMTPMessage m;
  const CTAVSMTPAddress a("A", "a@example.com");
  EXPECT_EQ(m.AppendRecipient(a, CTAVSMTPMessage::RecipientTo), 0);
  EXPECT_EQ(m.AppendRecipient(a, CTAVSMTPMessage::RecipientTo), 1);
  EXPECT_EQ(m.AppendRecipient(a, CTAVSMTPMessage::RecipientBcc), 0);
  EXPECT_EQ(m.AppendRecipient(a, 3), -1);
  EXPECT_EQ(m.AppendRecipient(a, -1), -1);
  EXPECT_EQ(m.RecipientCount(CTAVSMTPMessage::RecipientTo), 2);
  EXPECT_EQ(m.RecipientCount(CTAVSMTPMessage::RecipientCc), 0);
  EXPECT_EQ(m.RecipientCount(CTAVSMTPMessage::RecipientBcc), 1);
  EXPECT_EQ(m.RecipientCount(3), 0);
  EXPECT_EQ(m.RecipientAt(0, 3), nullptr);
  CTAVSMTPAddress* stored = m.RecipientAt(1, CTAVSMTPMessage::RecipientTo);
  ASSERT_NE(stored, nullptr);
  EXPECT_NE(stored, &a);  // a copy the message owns
  EXPECT_EQ(stored->emailAddress, "a@example.com");
}

TEST(ZoneText, OffsetIsMinusTheBias) {
  const std::pair<int, std::string> cases[] = {
      {0 + -60, "+0100"},  // daylight time: Bias 0 plus DaylightBias -60
      {-330, "+0530"}, {300, "-0500"}, {0, "+0000"}, {-345, "+0545"},
      {210, "-0330"},  {720, "-1200"}, {-840, "+1400"}, {-1, "+0001"},
  };
  for (const auto& [bias, zone] : cases) EXPECT_EQ(ZoneText(bias), zone) << bias;
}

TEST(DateText, LocalTimeAndZoneOfTheTimeZoneRules) {
  struct DateCase {
    const char* tz;
    std::time_t when;
    std::string expected;
  };
  const DateCase cases[] = {
      {"UTC0", sunday, "Sun, 06 Dec 2026 22:17:39 +0000"},
      {"GMT0BST,M3.5.0/1,M10.5.0", july, "Tue, 14 Jul 2026 13:00:00 +0100"},
      {"GMT0BST,M3.5.0/1,M10.5.0", sunday, "Sun, 06 Dec 2026 22:17:39 +0000"},
      {"IST-5:30", sunday, "Mon, 07 Dec 2026 03:47:39 +0530"},
      {"EST5", sunday, "Sun, 06 Dec 2026 17:17:39 -0500"},
  };
  for (const auto& c : cases) {
    UseZone(c.tz);
    EXPECT_EQ(DateText(c.when), c.expected) << c.tz;
  }
}

namespace {

// Each line of a header block, without its CR LF.
std::vector<std::string> HeaderLines(const std::string& header) {
  std::vector<std::string> lines;
  for (std::size_t from = 0, p; (p = header.find("\r\n", from)) != header.npos; from = p + 2) {
    lines.push_back(header.substr(from, p - from));
  }
  return lines;
}

}  // namespace

// The Message-ID stands right after the Date line, unless an extra line sets its own.
TEST_F(MessageTest, MessageIdFollowsTheDateUnlessAnExtraLineSetsOne) {
  CTAVSMTPMessage m;
  FillLikeTheSendRun(m);
  m.priority = CTAVSMTPMessage::PriorityHigh;
  m.messageId = "1234@example.com";
  EXPECT_TRUE(m.BuildHeaderAt(sunday).ends_with("Date: Sun, 06 Dec 2026 22:17:39 +0000\r\n"
                                                "Message-ID: <1234@example.com>\r\n"
                                                "X-Priority: 1\r\n"));
  for (const char* own : {"Message-ID: <own@x>", "message-id:<own@x>", "Message-Id  : <own@x>"}) {
    m.extraHeaders = {own};
    EXPECT_TRUE(m.BuildHeaderAt(sunday).ends_with("X-Priority: 1\r\n" + std::string(own) + "\r\n")) << own;
  }
  m.extraHeaders = {"X-Message-ID: <x@y>", "Message-IDs: x"};
  EXPECT_NE(m.BuildHeaderAt(sunday).find("Message-ID: <1234@example.com>\r\n"), std::string::npos);
}

TEST(MessageId, FreshIdsAtTheSendersDomainElseTheHeloNameElseLocalhost) {
  const std::string longest = std::string(251, 'd') + ".com";  // 255 octets, as DNS allows
  const std::string sender255 = "a@" + longest, sender256 = "a@d" + longest;
  const std::pair<std::pair<const char*, const char*>, std::string> cases[] = {
      {{sender255.c_str(), "helo.test"}, longest},
      {{sender256.c_str(), "helo.test"}, "helo.test"},
      {{"a@example.com", "helo.test"}, "example.com"},
      {{"a@b@Mail.Example.org", "helo.test"}, "Mail.Example.org"},
      {{"a@[192.0.2.1]", "helo.test"}, "[192.0.2.1]"},
      {{"nobody", "helo.test"}, "helo.test"},
      {{"a@", "helo.test"}, "helo.test"},
      {{"a@bad..domain", "helo.test"}, "helo.test"},
      {{"a@bad domain", "[::1]"}, "[::1]"},
      {{"", "bad name"}, "localhost"},
      {{"a@exa\xE9mple.com", ""}, "localhost"},
  };
  for (const auto& [inputs, domain] : cases) {
    const std::string id = MakeMessageId(inputs.first, inputs.second);
    const std::size_t at = id.find('@');
    ASSERT_EQ(at, 44u) << id;
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), 44u) << id;
    EXPECT_EQ(id.substr(45), domain) << inputs.first;
  }
  EXPECT_NE(MakeMessageId("a@example.com", ""), MakeMessageId("a@example.com", ""));
  EXPECT_FALSE(IsMessageIdLine("Message-ID"));
  EXPECT_FALSE(IsMessageIdLine("X-Message-ID: <x@y>"));
}

// Long values fold into lines of at most 78 characters; encoded words stay within 68.
TEST_F(MessageTest, LongValuesFoldWithinTheLineLength) {
  std::string words, cyrillic;
  for (int i = 0; i < 60; ++i) words += "word" + std::to_string(i) + " ";
  for (int i = 0; i < 170; ++i) cyrillic += i % 10 == 9 ? " " : "\xD0\x96";
  const std::string subjects[] = {words, cyrillic, std::string(100000, 'a'), "Re: " + cyrillic};
  for (const std::string& subject : subjects) {
    CTAVSMTPMessage m;
    m.rootPart.charset = "UTF-8";
    FillLikeTheSendRun(m);
    m.subject = subject;
    for (int i = 0; i < 20; ++i) {
      m.AppendRecipient(CTAVSMTPAddress("", "r" + std::to_string(i) + "@example.com"), CTAVSMTPMessage::RecipientTo);
      m.AppendRecipient(CTAVSMTPAddress("Smith, J" + std::to_string(i), "s@x"), CTAVSMTPMessage::RecipientCc);
    }
    for (const std::string& line : HeaderLines(m.BuildHeaderAt(sunday))) {
      EXPECT_LE(line.size(), 78u) << line;
      EXPECT_FALSE(line.find_first_not_of(" \t") == std::string::npos) << "a line of white space alone";
    }
  }
}

// Short values keep their bytes; two recipients stay joined by a bare comma.
TEST_F(MessageTest, ShortListsKeepTheCommaWithoutSpace) {
  CTAVSMTPMessage m;
  FillLikeTheSendRun(m);
  m.AppendRecipient(CTAVSMTPAddress("", "two@example.com"), CTAVSMTPMessage::RecipientTo);
  EXPECT_NE(m.BuildHeaderAt(sunday).find("\r\nTo: Recipient <rcpt@example.com>,two@example.com\r\n"),
            std::string::npos);
}

// Without mime, 8-bit bytes, a NUL or a line over 998 octets make the plain body
// quoted-printable, and the header says so; other bodies go out as they are.
TEST_F(MessageTest, PlainBodyGoesQuotedPrintableOnlyWhenItMust) {
  const std::string typeLines = "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n";
  const std::string qpLines = "MIME-Version: 1.0\r\n" + typeLines + "Content-Transfer-Encoding: quoted-printable\r\n";
  struct BodyCase {
    std::string body, sent, contentLines;
  };
  const BodyCase cases[] = {
      {"plain\nlines ", "plain\r\nlines ", typeLines},
      {std::string(998, 'x'), std::string(998, 'x'), typeLines},
      {"caf\xE9 \n.", "caf=E9=20\r\n.", qpLines},
      {std::string("a\0b", 3), "a=00b", qpLines},
      {std::string(999, 'x'), std::string(75, 'x') + "=\r\n" + std::string(75, 'x') + "=\r\n", qpLines},
  };
  for (const auto& c : cases) {
    CTAVSMTPMessage m;
    FillLikeTheSendRun(m);
    m.SetBody(c.body);
    EXPECT_NE(m.BuildHeaderAt(sunday).find("X-Mailer: CTAVSMTPConnection v2.67\r\n" + c.contentLines + "Date: "),
              std::string::npos);
    EXPECT_TRUE(m.PlainBodyText().starts_with(c.sent)) << m.PlainBodyText().substr(0, 200);
  }
  // A text set directly, not through SetBody, still goes out with CR LF line ends.
  CTAVSMTPMessage m;
  m.rootPart.text = "a\n.\rb";
  EXPECT_EQ(m.PlainBodyText(), "a\r\n.\r\nb");
}

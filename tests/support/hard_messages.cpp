#include "tests/support/hard_messages.h"

#include <clocale>
#include <string_view>

#include <gtest/gtest.h>

#include "tests/support/locale_fixture.h"
#include "tests/support/parse_message.h"

namespace {

// What the readers print for the text of a case.
std::string Utf8Of(const HardCase& hard, const std::string& text) {
  return std::string(hard.locale) == "Latin-1" ? Latin1ToUtf8(text) : text;
}

// The trace fields a server puts in front of a message it takes (RFC 5321 section 4.4)
// and that a delivery agent adds.
bool IsTraceField(std::string_view line) {
  for (std::string_view name : {"Return-Path:", "Received:", "Delivered-To:", "X-Original-To:"}) {
    if (line.starts_with(name)) return true;
  }
  return false;
}

// Where the header block as sent begins: after the trace fields and their continuation
// lines.
std::size_t SentHeaderStart(const std::string& stored, const std::string& lineEnd) {
  std::size_t from = 0;
  for (bool trace = false;;) {
    const std::size_t end = stored.find(lineEnd, from);
    if (end == stored.npos) return from;
    std::string_view line(stored.data() + from, end - from);
    const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    trace = continuation ? trace : IsTraceField(line);
    if (!trace) return from;
    from = end + lineEnd.size();
  }
}

void ExpectLineLengths(const std::string& stored, const std::string& lineEnd) {
  const std::size_t headerStart = SentHeaderStart(stored, lineEnd);
  const std::size_t headerEnd = stored.find(lineEnd + lineEnd, headerStart);
  for (std::size_t from = 0, p; (p = stored.find(lineEnd, from)) != stored.npos;
       from = p + lineEnd.size()) {
    const bool sentHeader = from >= headerStart && from < headerEnd;
    EXPECT_LE(p - from, sentHeader ? 78u : 998u) << stored.substr(from, 100);
  }
}

}  // namespace

std::vector<HardCase> HardCases() {
  const std::string e = "\xC3\xA9", euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
  std::string ascii300, utf8300, cyrillic170, longLine = std::string(1500, 'x');
  for (int i = 0; ascii300.size() < 300; ++i) ascii300 += "word" + std::to_string(i) + " ";
  ascii300.resize(300);
  for (int i = 0; i < 300; ++i) utf8300 += i % 7 == 6 ? " " : i % 3 == 0 ? e : i % 3 == 1 ? euro : smile;
  for (int i = 0; i < 170; ++i) cyrillic170 += "\xD0\x96";
  for (int i = 0; i < 100; ++i) longLine.insert(longLine.size() - 15 * i, " ");
  std::string line10000;
  for (int i = 0; line10000.size() < 10000; ++i) line10000 += "w" + std::to_string(i) + (i % 50 ? "" : " ");
  return {
      {"300 ASCII characters", "C.UTF-8", ascii300, "Sender", "short"},
      {"300 UTF-8 characters", "C.UTF-8", utf8300, "Sender", "short"},
      {"170 Cyrillic characters", "C.UTF-8", cyrillic170, "Sender", "short"},
      {"a character at the 70th byte", "C.UTF-8", std::string(69, 'a') + e + " " + std::string(68, 'a') + euro,
       "Sender", "short"},
      {"a four-byte character at the 70th byte", "C", std::string(67, 'a') + smile + "b", "Sender", "short"},
      {"a 1,500-character line", "C.UTF-8", "Long", "Sender", "first\n" + longLine + "\nlast"},
      {"a 10,000-character line", "C", "Longer", "Sender", line10000},
      {"trailing blanks", "C.UTF-8", "Blanks", "Sender", "end   \nline\t\n \nlast "},
      {"trailing blanks in 8-bit text", "C.UTF-8", "Blanks", "Sender", "caf" + e + "   \nline\t\n \n"},
      {"8-bit text in C", "C", "Gr" + e, "Sender", "Gr\xC3\xBC\xC3\x9F" "e " + smile + "\n.\nbye"},
      {"8-bit text in C.UTF-8", "C.UTF-8", "Gr" + e, "J" + e + "r", "Gr\xC3\xBC\xC3\x9F" "e\n.\nbye"},
      {"8-bit text in Latin-1", "Latin-1", "Gr\xFC\xDF" "e", "J\xFCrgen", "Gr\xFC\xDF" "e\n.\nbye"},
      {"a name with a comma and quotes", "C.UTF-8", "Names", "Smith, John \"JJ\" \\ Jr.", "short"},
      {"a name with brackets", "C.UTF-8", "Names", "Ops; <team>", "short"},
      {"an 8-bit name with a comma", "C.UTF-8", "Names", "M\xC3\xBCller, J\xC3\xB6rg", "short"},
      {"a long 8-bit line in a MIME part", "Latin-1", "Part", "Sender", std::string(2000, '\xE9'), true},
  };
}

void UseLocaleOf(const HardCase& hard) {
  if (std::string(hard.locale) == "Latin-1") {
    test_locale::UseLatin1();
  } else {
    ASSERT_NE(std::setlocale(LC_ALL, hard.locale), nullptr);
  }
}

void ComposeHardMessage(const HardCase& hard, const CTAVSMTPAddress& recipient, CTAVSMTPMessage& m) {
  m.mime = hard.mime;
  m.rootPart.charset = std::string(hard.locale) == "Latin-1" ? "iso-8859-1" : "UTF-8";
  m.from = CTAVSMTPAddress(hard.senderName, "sender@example.com");
  m.AppendRecipient(recipient, CTAVSMTPMessage::RecipientTo);
  m.subject = hard.subject;
  m.SetBody(hard.body);
}

void ExpectReadBackAsSent(const HardCase& hard, const CTAVSMTPAddress& recipient,
                          const std::string& stored, const std::string& lineEnd,
                          const std::string& path) {
  ExpectLineLengths(stored, lineEnd);
  const auto lines = ParseMessageFileWithBothReaders(path);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_NE(lines[0].find(",date,message-id"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "subject " + Hex(Utf8Of(hard, hard.subject)));
  EXPECT_EQ(lines[2], "from " + Hex(Utf8Of(hard, hard.senderName)) + " " + Hex("sender@example.com"));
  EXPECT_EQ(lines[3], "to " + Hex(recipient.displayName) + " " + Hex(recipient.emailAddress));
  const std::string text = CrLfToLf(Utf8Of(hard, hard.body)) + (hard.mime ? "" : "\n");
  EXPECT_EQ(lines[lines.size() - 2], "part text/plain - " + Hex(text));
  EXPECT_EQ(lines.back(), "defects 0");
}

#include "app/sendmail/message_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/sendmail/failure.h"

namespace {

// Input that arrives in reads of at most step bytes, so that line ends fall across
// reads; a failure after the text when failAtEnd is set.
CInputLines::ReadFunction Reads(std::string text, std::size_t step, bool failAtEnd = false) {
  auto position = std::make_shared<std::size_t>(0);
  return [text = std::move(text), step, failAtEnd, position](char* buffer, std::size_t capacity) -> long {
    std::size_t count = std::min({step, capacity, text.size() - *position});
    if (count == 0) return failAtEnd ? -1 : 0;
    std::memcpy(buffer, text.data() + *position, count);
    *position += count;
    return static_cast<long>(count);
  };
}

std::vector<std::string> Pieces(const std::string& text, std::size_t step, std::size_t maxPiece) {
  CInputLines input(Reads(text, step));
  std::vector<std::string> pieces;
  const char* const names[] = {"ended", "goes on", "last", "input ended", "failed"};
  for (std::string piece;;) {
    CInputLines::Status status = input.Next(piece, maxPiece);
    pieces.push_back(piece + "|" + names[status]);
    if (status >= CInputLines::LastLine) return pieces;
  }
}

TEST(InputLines, EveryLineEndAcrossEveryReadSize) {
  const std::vector<std::string> expected{"a|ended", "b|ended", "|ended", "c|ended", "|ended",
                                          "dddd|goes on", "ee|ended", "f|last"};
  for (std::size_t step = 1; step <= 8; ++step) {
    EXPECT_EQ(Pieces("a\r\nb\n\nc\r\rddddee\nf", step, 4), expected) << step;
  }
  EXPECT_EQ(Pieces("x\n", 1, 4), (std::vector<std::string>{"x|ended", "|input ended"}));
}

MessageHeader Header(const std::string& text, bool dotEnds = false, std::string* rest = nullptr) {
  CInputLines input(Reads(text, 3));
  MessageHeader header = ReadMessageHeader(input, dotEnds);
  if (rest != nullptr) input.Next(*rest, 100);
  return header;
}

TEST(ReadMessageHeader, FoldedFieldsInAnyCase) {
  std::string rest;
  MessageHeader header = Header("From ignored Mon Jan  1 10:00:00 2026\nsubject : a\n\tb\nTO: x@y.z\n\nbody\n",
                                false, &rest);
  ASSERT_EQ(header.fields.size(), 2u);
  EXPECT_EQ(header.fields[0].name, "subject");
  EXPECT_EQ(header.Find("SUBJECT")->Value(), " a\tb");
  EXPECT_EQ(header.Find("to")->text, "TO: x@y.z");
  EXPECT_EQ(header.Text(), "subject : a\r\n\tb\r\nTO: x@y.z\r\n");
  EXPECT_EQ(header.lines, 5u);
  EXPECT_FALSE(header.inputEnded);
  EXPECT_EQ(rest, "body");
}

// A field the program adds may hold what the input's lines never do: a bare CR or LF
// still ends its line in CR LF, and the line after it is dot-stuffed.
TEST(MessageHeader, TextEndsEveryLineInCrLf) {
  MessageHeader header;
  header.fields.push_back({"X-A", "X-A: one\n.\r\nRSET"});
  header.fields.push_back({"X-B", "X-B: two\r.three"});
  EXPECT_EQ(header.Text(), "X-A: one\r\n..\r\nRSET\r\nX-B: two\r\n..three\r\n");
}

TEST(ReadMessageHeader, WhereTheHeaderEnds) {
  std::string rest;
  EXPECT_TRUE(Header("Subject: a\n.\nX: y\n", true).inputEnded);
  EXPECT_TRUE(Header("Subject: a").inputEnded);
  // A first line that is no field starts the body, and the message has no header.
  MessageHeader none = Header("hello world\nSubject: no\n", false, &rest);
  EXPECT_TRUE(none.fields.empty());
  EXPECT_EQ(rest, "hello world");
}

TEST(ReadMessageHeader, BadHeadersAreRefusedNamingTheLine) {
  const std::pair<std::string, const char*> cases[] = {
      {"Subject: a\nbroken\n\n", "line 2 of the header is not a header field (it has no colon)"},
      {"Subject: a\n.\n\n", "line 2 of the header is not a header field (it has no colon)"},
      {std::string("Subject: a\nX: \0\n\n", 17), "line 2 of the header holds a NUL byte"},
      {"Subject: " + std::string(990, 'a') + "\n\n", "line 1 of the header is longer than 998 octets"},
      {std::string(2 * 1024 * 1024, 'X') + ": a\n\n", "the header is longer than 1 MiB"},
  };
  for (const auto& [text, message] : cases) {
    try {
      Header(text);
      ADD_FAILURE() << message;
    } catch (const CSendmailFailure& failure) {
      EXPECT_EQ(failure.status, SendmailDataError);
      EXPECT_EQ(failure.text, message);
    }
  }
  try {
    CInputLines input(Reads("Subject: a\n", 100, true));
    ReadMessageHeader(input, false);
    ADD_FAILURE();
  } catch (const CSendmailFailure& failure) {
    EXPECT_EQ(failure.status, SendmailInputError);
  }
}

TEST(AddressesOf, AddressListsAsRfc5322HasThem) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"a@x.y", {"a@x.y"}},
      {" a@x.y , Name <b@x.y>,\"Doe, J\" <c@x.y>", {"a@x.y", "b@x.y", "c@x.y"}},
      {"a@x.y (Comment, with (nested) comma), d@x.y", {"a@x.y", "d@x.y"}},
      {"team: e@x.y, f@x.y;, g@x.y", {"e@x.y", "f@x.y", "g@x.y"}},
      {"undisclosed-recipients:;", {}},
      {"<@route,@r2:h@x.y>", {"h@x.y"}},
      {"root (Cron Daemon)", {"root"}},
      {"b <c@d", {"<c@d"}},
      {"", {}},
      // A quoted local part keeps its blanks; those between words go.
      {"\"john smith\"@example.org", {"\"john smith\"@example.org"}},
      {"John <\"j  s\\\" x\"@x.y>,\r\n \"a b\" <c@x.y>", {"\"j  s\\\" x\"@x.y", "c@x.y"}},
      {" first . last @ x.y", {"first.last@x.y"}},
  };
  for (const auto& [list, addresses] : cases) EXPECT_EQ(AddressesOf(list), addresses) << list;
}

}  // namespace

#include "app/sendmail/body_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "app/sendmail/failure.h"

namespace {

CInputLines::ReadFunction Reads(std::string text, bool failAtEnd = false) {
  auto position = std::make_shared<std::size_t>(0);
  return [text = std::move(text), failAtEnd, position](char* buffer, std::size_t capacity) -> long {
    std::size_t count = std::min(capacity, text.size() - *position);
    if (count == 0) return failAtEnd ? -1 : 0;
    std::memcpy(buffer, text.data() + *position, count);
    *position += count;
    return static_cast<long>(count);
  };
}

CBodyFacts Facts(const std::string& body) {
  CInputLines input(Reads(body));
  return CBodyStream(input, false, false).LookAhead();
}

std::string Wire(const std::string& body, bool quotedPrintable, bool dotEnds = false) {
  CInputLines input(Reads(body));
  CBodyStream stream(input, dotEnds, false);
  stream.LookAhead();
  stream.Start(quotedPrintable, 1);
  std::string wire;
  for (std::string text; stream.Next(text);) wire += text;
  return wire;
}

// The bytes of quoted-printable text (soft line breaks removed, CR LF kept).
std::string DecodeQuotedPrintable(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      bytes += text[i];
    } else if (text.compare(i + 1, 2, "\r\n") == 0) {
      i += 2;
    } else {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return bytes;
}

TEST(BodyStream, LineEndsDotsAndTheEndOfTheInput) {
  EXPECT_EQ(Wire("a\n.b\r\n..\rlast", false), "a\r\n..b\r\n...\r\nlast\r\n");
  EXPECT_EQ(Wire("a\n.\nafter\n", false, true), "a\r\n");
  EXPECT_EQ(Wire("a\n.\nafter\n", false, false), "a\r\n..\r\nafter\r\n");
  EXPECT_EQ(Wire("", false), "");
}

TEST(BodyStream, FactsOfWhatTheWireCannotTake) {
  struct Case {
    std::string body;
    bool eightBit;
    bool validUtf8;
    std::size_t firstBadLine;
  };
  const Case cases[] = {
      {"plain\n", false, true, 0},
      {"caf\xc3\xa9\n", true, true, 0},
      {"caf\xe9\n", true, false, 0},
      {"cut \xe2\x82\nnext\n", true, false, 0},
      {"a\nb" + std::string(1, '\0') + "\n", false, true, 2},
      {"a\n" + std::string(999, 'x') + "\n", false, true, 2},
      {std::string(998, 'x') + "\n", false, true, 0},
  };
  for (const Case& c : cases) {
    const CBodyFacts facts = Facts(c.body);
    EXPECT_EQ(facts.eightBit, c.eightBit) << c.body.substr(0, 20);
    EXPECT_EQ(facts.validUtf8, c.validUtf8) << c.body.substr(0, 20);
    EXPECT_EQ(facts.firstBadLine, c.firstBadLine) << c.body.substr(0, 20);
  }
}

// A line far longer than a piece, with 8-bit bytes, blanks and dots at every place a
// piece or an encoded line could end: the encoded lines stay within 76 characters and
// decode to the very bytes.
TEST(BodyStream, QuotedPrintableAcrossPiecesDecodesToTheSameBytes) {
  std::string line;
  for (std::size_t i = 0; line.size() < 3 * bodyPieceBytes + 17; ++i) line += "ab. \xc3\xa9=\t."[i % 10];
  const std::string body = line + "\n.short \n" + line;
  const std::string wire = Wire(body, true);
  std::string unstuffed;
  std::size_t start = 0;
  while (start < wire.size()) {
    std::size_t end = wire.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    std::string encoded = wire.substr(start, end - start);
    EXPECT_LE(encoded.size(), 77u);  // a stuffed dot may come first
    if (encoded.starts_with('.')) {
      ASSERT_TRUE(encoded.starts_with(".."));
      encoded.erase(0, 1);
    }
    EXPECT_LE(encoded.size(), 76u);
    unstuffed += encoded + "\r\n";
    start = end + 2;
  }
  EXPECT_EQ(DecodeQuotedPrintable(unstuffed), line + "\r\n.short \r\n" + line + "\r\n");
}

TEST(BodyStream, AsItIsALineOverTheLimitIsRefusedNamingIt) {
  CInputLines input(Reads("ok\n" + std::string(2 * bodyLookaheadBytes, 'x') + "\n"));
  CBodyStream stream(input, false, false);
  stream.LookAhead();
  stream.Start(false, 7);
  try {
    for (std::string text; stream.Next(text);) {
    }
    ADD_FAILURE();
  } catch (const CSendmailFailure& failure) {
    EXPECT_EQ(failure.status, SendmailDataError);
    EXPECT_TRUE(failure.text.starts_with("line 8 of the message")) << failure.text;
  }
}

TEST(BodyStream, AFailedReadIsAnInputError) {
  CInputLines input(Reads("ok\n", true));
  CBodyStream stream(input, false, false);
  try {
    stream.LookAhead();
    ADD_FAILURE();
  } catch (const CSendmailFailure& failure) {
    EXPECT_EQ(failure.status, SendmailInputError);
  }
}

}  // namespace

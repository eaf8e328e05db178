// Fuzzes the SMTP reply reader (RFC 5321 section 4.2) with any bytes a server may send,
// read by the connection's own ReadReply over a socket pair. All the input is there at
// once, so every read takes as much as the buffer has room for (255 bytes, then 4096
// more after each growth), and the outcome follows from the input alone: the reply is
// complete at the first read after which the text holds a line ended by CR LF with a
// blank after its code, and ends with that line; at the end of the input the read
// fails. The reader must keep no larger buffer than the bytes it took need, and report
// the text and code of the first reply the bytes hold.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/fuzz_check.h"
#include "fuzz/socket_feed.h"
#include "smtp/connection.h"

namespace {

constexpr std::size_t firstBuffer = 256;
constexpr std::size_t growStep = 4096;
constexpr int codeBefore = -12345;  // a failed read must leave the code as it was

struct Outcome {
  bool complete;
  std::size_t taken;          // bytes read from the input
  std::size_t replyEnd;       // when complete: just past the CR LF that ends the reply
  std::size_t lastLineStart;  // when complete: where the line that ends it starts
};

// The first line of text (ended by LF) that ends a reply: CR before its LF, at least four
// characters before the CR and a blank after the code. Its start and the offset past its
// LF; npos for both while there is none.
std::pair<std::size_t, std::size_t> ReplyEndingLine(std::string_view text) {
  for (std::size_t start = 0, lf; (lf = text.find('\n', start)) != std::string_view::npos; start = lf + 1) {
    if (lf - start >= 5 && text[lf - 1] == '\r' && text[start + 3] == ' ') return {start, lf + 1};
  }
  return {std::string_view::npos, std::string_view::npos};
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The number that the three bytes start with, as "%d" reads it: blanks, a sign, digits;
// 0 when there is none. A NUL ends the field.
int Code(std::string_view field) {
  field = field.substr(0, field.find('\0'));
  std::size_t i = 0;
  while (i < field.size() && IsSpace(field[i])) ++i;
  bool negative = i < field.size() && field[i] == '-';
  if (i < field.size() && (field[i] == '-' || field[i] == '+')) ++i;
  if (i == field.size() || !IsDigit(field[i])) return 0;
  int code = 0;
  for (; i < field.size() && IsDigit(field[i]); ++i) code = code * 10 + (field[i] - '0');
  return negative ? -code : code;
}

Outcome Expected(std::string_view in) {
  std::size_t capacity = firstBuffer;
  std::size_t received = 0;
  for (;;) {
    std::size_t room = capacity - received - 1;
    std::size_t count = std::min(room, in.size() - received);
    if (count == 0) return {false, received, 0, 0};
    received += count;
    if (count == room) capacity += growStep;
    auto [lineStart, end] = ReplyEndingLine(in.substr(0, received));
    if (end != std::string_view::npos) return {true, received, end, lineStart};
  }
}

// The text up to its first NUL, as the last reply keeps it.
std::string UpToNul(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > SocketFeed::maxInput) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const Outcome expected = Expected(in);
  CTAVSMTPConnection connection;
  connection.m_dwTimeout = SocketFeed::timeout;
  connection.m_nLastReplyCode = codeBefore;
  SocketFeed feed(in, connection.m_socket);
  char buffer[firstBuffer];
  CReplyOverflow overflow;
  bool complete = connection.ReadReply(buffer, sizeof buffer, overflow, growStep);

  FUZZ_CHECK(complete == expected.complete);
  FUZZ_CHECK(feed.Rest() == in.substr(expected.taken));
  // Only a read that filled the buffer made it grow, by one step past what it held.
  FUZZ_CHECK(static_cast<std::size_t>(overflow.capacity) <= expected.taken + 1 + growStep);
  FUZZ_CHECK((overflow.data == nullptr) == (expected.taken < firstBuffer - 1));
  if (!complete) {
    FUZZ_CHECK(connection.GetLastReply() == UpToNul(in.substr(0, expected.taken)));
    FUZZ_CHECK(connection.m_nLastReplyCode == codeBefore);
    return 0;
  }
  FUZZ_CHECK(connection.GetLastReply() == UpToNul(in.substr(0, expected.replyEnd - 2)));
  FUZZ_CHECK(connection.m_nLastReplyCode == Code(in.substr(expected.lastLineStart, 3)));
  return 0;
}

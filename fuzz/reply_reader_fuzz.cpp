// Fuzzes the SMTP reply reader (RFC 5321 section 4.2) with any bytes a server may send,
// read by the connection's own ReadReply over a socket pair, once as the reply to a
// command sent alone and once as the first reply of pipelined commands. All the input
// is there at once, so every read takes as much as the buffer has room for (255 bytes,
// then 4096 more after each growth), and the outcome follows from the input alone. A
// line ends a reply when it ends with CR LF and has a blank after its code, or is the
// code alone (three digits). Alone, the reply is complete at the first read after
// which the text ends with CR LF and its last line ends a reply, and it is all that
// text; pipelined, at the first read after which the text holds a line that ends a
// reply, and it ends with that line. At the end of the input the read fails. The
// reader must keep no larger buffer than the bytes it took need, and report the text
// and code of the reply the bytes hold.
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

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A line without its CR LF that ends a reply: a blank after the code, or the code alone.
bool EndsReply(std::string_view line) {
  if (line.size() == 3) return IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
  return line.size() >= 4 && line[3] == ' ';
}

// The first line of text (ended by CR LF) that ends a reply: its start and the offset
// past its LF; npos for both while there is none.
std::pair<std::size_t, std::size_t> ReplyEndingLine(std::string_view text) {
  for (std::size_t start = 0, lf; (lf = text.find('\n', start)) != std::string_view::npos; start = lf + 1) {
    if (lf > start && text[lf - 1] == '\r' && EndsReply(text.substr(start, lf - 1 - start))) {
      return {start, lf + 1};
    }
  }
  return {std::string_view::npos, std::string_view::npos};
}

// Whether text, all that has arrived, is a whole reply: it ends with CR LF and its last
// line ends a reply. The last line starts after the last CR LF that ends at least four
// bytes before the text does; without one, it starts where an earlier read found it.
bool IsWholeReply(std::string_view text, std::size_t& lastLineStart) {
  if (text.size() < 5 || !text.ends_with("\r\n")) return false;
  const std::size_t pair = text.substr(0, text.size() - 4).rfind("\r\n");
  if (pair != std::string_view::npos) lastLineStart = pair + 2;
  return EndsReply(text.substr(lastLineStart, text.size() - 2 - lastLineStart));
}

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

Outcome Expected(std::string_view in, bool pipelined) {
  std::size_t capacity = firstBuffer;
  std::size_t received = 0;
  std::size_t lastLineStart = 0;
  for (;;) {
    std::size_t room = capacity - received - 1;
    std::size_t count = std::min(room, in.size() - received);
    if (count == 0) return {false, received, 0, 0};
    received += count;
    if (count == room) capacity += growStep;
    if (!pipelined) {
      if (IsWholeReply(in.substr(0, received), lastLineStart)) return {true, received, received, lastLineStart};
      continue;
    }
    auto [lineStart, end] = ReplyEndingLine(in.substr(0, received));
    if (end != std::string_view::npos) return {true, received, end, lineStart};
  }
}

// A connection whose replies are read as those of pipelined commands when asked.
class Reader : public CTAVSMTPConnection {
 public:
  explicit Reader(bool pipelined) { m_bRepliesPipelined = pipelined; }
};

// The text up to its first NUL, as the last reply keeps it.
std::string UpToNul(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

void CheckReader(std::string_view in, bool pipelined) {
  const Outcome expected = Expected(in, pipelined);
  Reader connection(pipelined);
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
    return;
  }
  FUZZ_CHECK(connection.GetLastReply() == UpToNul(in.substr(0, expected.replyEnd - 2)));
  FUZZ_CHECK(connection.m_nLastReplyCode == Code(in.substr(expected.lastLineStart, 3)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > SocketFeed::maxInput) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  CheckReader(in, false);
  CheckReader(in, true);
  return 0;
}

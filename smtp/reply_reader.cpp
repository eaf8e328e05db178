// The command and response channel of CTAVSMTPConnection: a command goes out whole, and
// a reply (RFC 5321 section 4.2: lines "ddd-text" ended by a line "ddd text" or "ddd")
// comes back whole into a buffer that grows as it fills; replies of commands sent
// together are told apart line by line.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "smtp/connection.h"
#include "smtp/guards.h"

namespace {

constexpr int firstReplyBufferSize = 256;  // on the stack: almost every reply fits
constexpr int replyGrowStep = 4096;
// A server that never ends its reply must not take all memory: past this the read
// fails like one that ran dry.
constexpr int maxReplyLength = 1 << 20;

// The shortest line that ends a reply: a code alone with its CR LF (RFC 5321 4.2).
constexpr int codeAloneLength = 5;

// Where the reading of a reply stands: the start of the line being read, how far the
// text has been searched for its end, and the start of the line that ended the reply.
struct ReplyScan {
  int lineStart = 0;
  int scanned = 0;
  int lastLineStart = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when the line (without its CR LF) ends a reply: a blank after the code, or the
// code alone, three digits.
bool EndsReply(const char* line, int length) {
  if (length >= 4) return line[3] == ' ';
  return length == 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

// The end of the first reply in the text received so far, where replies of commands
// sent together may arrive together: the offset just past the CR LF of its first line
// that ends a reply, or -1 while there is none. Bytes past the end belong to the
// replies that follow.
int FirstReplyEnd(const char* text, int received, ReplyScan& scan) {
  for (;;) {
    const auto unscanned = static_cast<std::size_t>(received - scan.scanned);
    const void* found = std::memchr(text + scan.scanned, '\n', unscanned);
    if (found == nullptr) {
      scan.scanned = received;
      return -1;
    }
    const int lineEnd = static_cast<int>(static_cast<const char*>(found) - text);
    const int start = std::exchange(scan.lineStart, lineEnd + 1);
    scan.scanned = lineEnd + 1;
    if (lineEnd > start && text[lineEnd - 1] == '\r' && EndsReply(text + start, lineEnd - 1 - start)) {
      scan.lastLineStart = start;
      return lineEnd + 1;
    }
  }
}

// The end of a reply to a command sent alone: the text received so far is the reply
// when it ends in CR LF and its last line ends a reply; -1 otherwise. The last line
// starts after the last CR LF before its own; with none, its start stays as an earlier
// read found it.
int WholeReplyEnd(const char* text, int received, ReplyScan& scan) {
  if (received < codeAloneLength || text[received - 2] != '\r' || text[received - 1] != '\n') return -1;
  for (int i = received - codeAloneLength - 1; i >= 0; --i) {
    if (text[i] == '\r' && text[i + 1] == '\n') {
      scan.lastLineStart = i + 2;
      break;
    }
  }
  const int lastLineLength = received - 2 - scan.lastLineStart;
  return EndsReply(text + scan.lastLineStart, lastLineLength) ? received : -1;
}

// The code at the start of the last line, read as "%d" reads it (leading blanks and a
// sign allowed). A line that does not begin with a number gives 0, which no step
// expects, so that an older reply's code never answers for this one.
int ScanReplyCode(const char* lastLine) {
  // Three digits, as every well-formed reply has, read directly.
  if (IsDigit(lastLine[0]) && IsDigit(lastLine[1]) && IsDigit(lastLine[2])) {
    return (lastLine[0] - '0') * 100 + (lastLine[1] - '0') * 10 + (lastLine[2] - '0');
  }
  const char field[4] = {lastLine[0], lastLine[1], lastLine[2], '\0'};
  char* end = nullptr;
  const long code = std::strtol(field, &end, 10);
  return end == field ? 0 : static_cast<int>(code);
}

using Clock = std::chrono::steady_clock;

// Milliseconds from now until deadline, 0 once it has passed.
std::uint32_t TimeLeft(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<std::uint32_t>(std::max<decltype(left)>(left, 0));
}

}  // namespace

void CTAVSMTPConnection::OnSendCommand(std::string_view) {}

void CTAVSMTPConnection::SendCommand(std::string_view text, bool more) {
  OnSendCommand(text);
  ConvertSocketError([&] { TransportSend(text.data(), static_cast<int>(text.size()), more); });
}

void CTAVSMTPConnection::SendHeldCommands() {
  ConvertSocketError([&] { TransportSend("", 0); });
}

void CTAVSMTPConnection::ExpectReplyOrRaise(int code, std::uint32_t message) {
  if (!ExpectReply(code)) RaiseSmtpError(message, FACILITY_ITF, GetLastReply());
}

bool CTAVSMTPConnection::ReadReply(char* buffer, int initialSize, CReplyOverflow& overflow,
                                   int growStep) {
  char* text = buffer;
  int capacity = initialSize;
  int received = 0;
  ReplyScan scan;
  auto grow = [&](int needed) {
    while (capacity <= needed) capacity += growStep;
    auto grown = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(capacity));
    std::memcpy(grown.get(), text, static_cast<std::size_t>(received) + 1);
    overflow.data = std::move(grown);
    overflow.capacity = capacity;
    text = overflow.data.get();
  };
  // The bytes that came behind the previous reply begin this one.
  if (!m_sReadAhead.empty()) {
    const int ahead = static_cast<int>(m_sReadAhead.size());
    text[0] = '\0';
    if (ahead >= capacity) grow(ahead);
    std::memcpy(text, m_sReadAhead.data(), m_sReadAhead.size());
    received = ahead;
    m_sReadAhead.clear();
  }
  text[received] = '\0';
  // A failed read keeps what had arrived as the last reply.
  auto fail = [&] {
    text[received] = '\0';
    m_sLastReply = text;
    m_bReplyIncomplete = true;
    return false;
  };
  // The whole reply, not each wait, is bounded: a server that trickles its reply a
  // byte at a time must not hold the client for longer than a silent one.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_dwTimeout);
  bool first = true;
  auto replyEnd = [&] {
    return m_bRepliesPipelined ? FirstReplyEnd(text, received, scan) : WholeReplyEnd(text, received, scan);
  };
  int end = replyEnd();
  while (end < 0) {
    int room = std::max(capacity - received - 1, 0);
    int count = 0;
    if (!ReceiveReplyBytes(text + received, room, std::exchange(first, false), deadline, count)) {
      return fail();
    }
    if (count == 0) return fail();  // closed
    if (count < 0) continue;        // TLS has no application data yet
    received += count;
    text[received] = '\0';
    if (received > maxReplyLength) return fail();
    // A full buffer grows at once, even when the reply is already complete.
    if (count == room) grow(received + 1);
    end = replyEnd();
  }
  m_sReadAhead.assign(text + end, static_cast<std::size_t>(received - end));
  text[end - 2] = '\0';
  m_nLastReplyCode = ScanReplyCode(text + scan.lastLineStart);
  m_sLastReply = text;
  m_bReplyIncomplete = false;
  return true;
}

bool CTAVSMTPConnection::ReceiveReplyBytes(char* buffer, int capacity, bool first,
                                           Clock::time_point deadline, int& count) {
  return ConvertSocketError([&] {
    // The reply's whole bound is the socket's receive timeout; a bound of 0 is no wait
    // at all, which a receive timeout can't express.
    if (first && !m_bSSL && m_bConnected && m_dwTimeout != 0) {
      return TransportReceiveWaiting(buffer, capacity, count);
    }
    if (!TransportIsReadable(TimeLeft(deadline))) return false;
    count = TransportReceive(buffer, capacity);
    return true;
  });
}

bool CTAVSMTPConnection::ReadOneReply() {
  char buffer[firstReplyBufferSize];
  CReplyOverflow overflow;
  return ReadReply(buffer, sizeof buffer, overflow, replyGrowStep);
}

bool CTAVSMTPConnection::ExpectReply(int code) { return ReadOneReply() && m_nLastReplyCode == code; }

bool CTAVSMTPConnection::ExpectEitherReply(int code1, int code2) {
  return ReadOneReply() && (m_nLastReplyCode == code1 || m_nLastReplyCode == code2);
}

std::string CTAVSMTPConnection::GetLastReply() const { return m_sLastReply; }

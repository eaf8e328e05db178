// The reply reader against a scripted peer: when a reply is complete, alone and among
// the replies of pipelined commands, its code and text, the partial text of a failed
// read, and the growth of the reply buffer.
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "smtp/connection.h"
#include "tests/support/catch_error.h"
#include "tests/support/scripted_peer.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t shortTimeout = 300;  // ms; bounds each wait for data

// A connection that may read its replies as those of pipelined commands.
class Connection : public CTAVSMTPConnection {
 public:
  using CTAVSMTPConnection::m_bRepliesPipelined;
};

// A connection whose transport is connected to a peer playing script.
class ReaderSession {
 public:
  explicit ReaderSession(PeerScript script) : peer(std::move(script)) {
    connection.m_dwTimeout = shortTimeout;
    connection.CreateTransport();
    connection.TransportConnect("127.0.0.1", peer.Port());
    connection.m_bConnected = true;  // as Connect leaves it
  }
  ~ReaderSession() { connection.Disconnect(false); }

  // A command between two replies, so that the peer sends the next one only after the
  // last has been read.
  void Noop() { connection.TransportSend("NOOP\r\n", 6); }

  // ReadReply with the sizes ExpectReply uses: 256 bytes first, steps of 4096.
  bool Read() {
    char buffer[256];
    return connection.ReadReply(buffer, sizeof buffer, overflow, 4096);
  }

  ScriptedPeer peer;
  Connection connection;
  CReplyOverflow overflow;
};

// The text sent in two writes, cut before byte at.
PeerScript SplitAt(const std::string& text, std::size_t at) {
  return PeerScript().Send(text.substr(0, at)).Pause(5ms).Send(text.substr(at));
}

// A one-line reply of exactly length bytes, CR LF included.
std::string ReplyOfLength(std::size_t length) {
  return "250 " + std::string(length - 6, 'x') + "\r\n";
}

// A multi-line reply of exactly length bytes, in lines of up to 100 bytes.
std::string MultiLineReplyOfLength(std::size_t length) {
  std::string reply;
  while (length - reply.size() > 100) reply += "250-" + std::string(94, 'e') + "\r\n";
  return reply + ReplyOfLength(length - reply.size());
}

}  // namespace

TEST(ReplyReader, SixByteReplyIsCompleteWhereverItIsSplit) {
  const std::string reply = "354 \r\n";
  for (std::size_t at = 1; at < reply.size(); ++at) {
    SCOPED_TRACE("split before byte " + std::to_string(at));
    ReaderSession s(SplitAt(reply, at));
    EXPECT_TRUE(s.Read());
    EXPECT_EQ(s.connection.m_nLastReplyCode, 354);
    EXPECT_EQ(s.connection.GetLastReply(), "354 ");
  }
}

// A last line of the code alone ends a reply (RFC 5321 4.2), with or without a blank,
// however the bytes are split; three characters that are not all digits do not.
TEST(ReplyReader, LastLineOfTheCodeAloneCompletes) {
  struct Case {
    const char* reply;
    bool complete;
    int code;
  };
  for (bool pipelined : {false, true}) {
    for (Case c : {Case{"250\r\n", true, 250}, Case{"250 \r\n", true, 250}, Case{"354\r\n", true, 354},
                   Case{"250-a\r\n221\r\n", true, 221}, Case{"25x\r\n", false, 220},
                   Case{"250-a\r\n2 5\r\n", false, 220}}) {
      const std::string reply = c.reply;
      // Whole, then split before each byte; an incomplete one waits out the timeout once.
      for (std::size_t at = 0; at < (c.complete ? reply.size() : 1); ++at) {
        SCOPED_TRACE(reply + (pipelined ? " pipelined" : " alone") + ", split before byte " + std::to_string(at));
        const PeerScript bytes = at == 0 ? PeerScript().Send(reply) : SplitAt(reply, at);
        ReaderSession s(PeerScript().Send("220 hello\r\n").Expect("NOOP\r\n").Then(bytes));
        ASSERT_TRUE(s.Read());
        s.connection.m_bRepliesPipelined = pipelined;
        s.Noop();
        EXPECT_EQ(s.Read(), c.complete);  // a read that is not complete runs into the timeout
        EXPECT_EQ(s.connection.GetLastReply(), reply.substr(0, reply.size() - (c.complete ? 2 : 0)));
        EXPECT_EQ(s.connection.m_nLastReplyCode, c.code);  // only a complete reply sets the code
      }
    }
  }
}

// Lines that each have a blank after the code, in one segment: a command sent alone gets
// one reply, all of them, and its last line's code; pipelined commands get one reply each.
TEST(ReplyReader, EveryLineWithABlankIsOneReplyAloneAndOneEachPipelined) {
  const std::string lines = "250 test.local\r\n250 8BITMIME\r\n221 HELP\r\n";
  {
    ReaderSession s(PeerScript().Send(lines));
    EXPECT_TRUE(s.Read());
    EXPECT_EQ(s.connection.GetLastReply(), "250 test.local\r\n250 8BITMIME\r\n221 HELP");
    EXPECT_EQ(s.connection.m_nLastReplyCode, 221);
  }
  ReaderSession s(PeerScript().Send(lines));
  s.connection.m_bRepliesPipelined = true;
  for (const char* reply : {"250 test.local", "250 8BITMIME", "221 HELP"}) {
    EXPECT_TRUE(s.Read());
    EXPECT_EQ(s.connection.GetLastReply(), reply);
  }
  EXPECT_EQ(s.connection.m_nLastReplyCode, 221);
}

TEST(ReplyReader, MultiLineReplyCompletesOnlyWithItsLastLine) {
  const std::string reply = "250-mail.example.com\r\n250-AUTH LOGIN PLAIN\r\n251 HELP\r\n";
  for (std::size_t at = 1; at < reply.size(); ++at) {
    SCOPED_TRACE("split before byte " + std::to_string(at));
    ReaderSession s(SplitAt(reply, at));
    EXPECT_TRUE(s.Read());
    EXPECT_EQ(s.connection.m_nLastReplyCode, 251);
    EXPECT_EQ(s.connection.GetLastReply(), reply.substr(0, reply.size() - 2));
  }
}

TEST(ReplyReader, MultiLineReplyOneLinePerRead) {
  ReaderSession s(PeerScript()
                      .Send("250-mail.example.com\r\n")
                      .Pause(20ms)
                      .Send("250-SIZE 1000\r\n")
                      .Pause(20ms)
                      .Send("250 HELP\r\n"));
  EXPECT_TRUE(s.Read());
  EXPECT_EQ(s.connection.m_nLastReplyCode, 250);
  EXPECT_EQ(s.connection.GetLastReply(), "250-mail.example.com\r\n250-SIZE 1000\r\n250 HELP");
}

TEST(ReplyReader, ReplyUnder255BytesNeedsNoHeapBuffer) {
  ReaderSession s(PeerScript().Send(ReplyOfLength(254)));
  EXPECT_TRUE(s.Read());
  EXPECT_EQ(s.overflow.data, nullptr);
  EXPECT_EQ(s.connection.GetLastReply().size(), 252u);
}

TEST(ReplyReader, ReplyOf255BytesGrowsTheBufferOnce) {
  const std::string reply = ReplyOfLength(255);
  for (std::size_t at : {std::size_t{0}, std::size_t{100}, std::size_t{254}}) {
    SCOPED_TRACE("split before byte " + std::to_string(at));
    ReaderSession s(at == 0 ? PeerScript().Send(reply) : SplitAt(reply, at));
    EXPECT_TRUE(s.Read());
    EXPECT_NE(s.overflow.data, nullptr);
    EXPECT_EQ(s.overflow.capacity, 4352);
    EXPECT_EQ(s.connection.GetLastReply(), reply.substr(0, 253));
  }
}

TEST(ReplyReader, ReplyOf10000BytesEndsInABufferOf12544) {
  const std::string reply = MultiLineReplyOfLength(10000);
  ASSERT_EQ(reply.size(), 10000u);
  ReaderSession s(PeerScript().SendSplit(reply, 777, 1ms));
  EXPECT_TRUE(s.Read());
  EXPECT_EQ(s.overflow.capacity, 12544);
  EXPECT_EQ(s.connection.m_nLastReplyCode, 250);
  EXPECT_EQ(s.connection.GetLastReply(), reply.substr(0, reply.size() - 2));
}

TEST(ReplyReader, ExpectReplyReadsLongRepliesAndFreesTheirBuffers) {
  ReaderSession s(
      PeerScript().Send(MultiLineReplyOfLength(10000)).Expect("NOOP\r\n").Send("221 bye\r\n"));
  EXPECT_TRUE(s.connection.ExpectReply(250));
  s.Noop();
  EXPECT_TRUE(s.connection.ExpectReply(221));
}

// A server that never ends its reply cannot make the reader hold more than 1 MiB.
TEST(ReplyReader, ReplyPast1MiBIsAFailedRead) {
  constexpr std::size_t limit = 1 << 20;
  {
    ReaderSession s(PeerScript().Send(MultiLineReplyOfLength(limit)));
    EXPECT_TRUE(s.Read());
  }
  ReaderSession s(PeerScript().Send(std::string(limit + 1, 'x')));
  EXPECT_FALSE(s.Read());
  EXPECT_EQ(s.connection.GetLastReply().size(), limit + 1);
}

TEST(ReplyReader, CloseMidReplyKeepsThePartialText) {
  ReaderSession s(PeerScript().Send("250-first\r\n250 sec").Close());
  EXPECT_FALSE(s.Read());
  EXPECT_EQ(s.connection.GetLastReply(), "250-first\r\n250 sec");
}

// The wait ends without an error of its own: the thread's last error stays as it was.
TEST(ReplyReader, SilenceGivesFalseWithAnEmptyText) {
  ReaderSession s(PeerScript().Send("220 hello\r\n"));
  ASSERT_TRUE(s.Read());
  WSASetLastError(1234);
  EXPECT_FALSE(s.Read());
  EXPECT_EQ(s.connection.GetLastReply(), "");
  EXPECT_EQ(WSAGetLastError(), 1234);
}

// Each byte comes well within the timeout, the whole reply does not: the bound is the
// reply's, so a trickling server fails like a silent one.
TEST(ReplyReader, ReplyTrickledPastTheTimeoutIsAFailedRead) {
  ReaderSession s(PeerScript().SendSplit("250 " + std::string(60, 'x') + "\r\n", 1, 20ms));
  EXPECT_FALSE(s.Read());
  EXPECT_EQ(s.connection.GetLastReply().substr(0, 4), "250 ");
  EXPECT_LT(s.connection.GetLastReply().size(), 66u);
}

TEST(ReplyReader, ResetRaisesTheSocketErrorAndKeepsTheLastReply) {
  ReaderSession s(PeerScript().Send("220 hello\r\n").Pause(50ms).Reset());
  ASSERT_TRUE(s.Read());
  auto error = SmtpErrorOf([&] { s.Read(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, static_cast<HRESULT>(0x80072746));  // 10054
  EXPECT_EQ(error->m_sLastResponseText, "");
  EXPECT_EQ(s.connection.GetLastReply(), "220 hello");
}

// A last line that does not begin with a number must not answer with an older code.
TEST(ReplyReader, LastLineWithoutANumberGivesCodeZero) {
  ReaderSession s(
      PeerScript().Send("250 ok\r\n").Expect("NOOP\r\n").Send("250-ok\r\nabc ok\r\n"));
  EXPECT_TRUE(s.connection.ExpectReply(250));
  s.Noop();
  EXPECT_FALSE(s.connection.ExpectReply(250));
  EXPECT_EQ(s.connection.m_nLastReplyCode, 0);
  EXPECT_EQ(s.connection.GetLastReply(), "250-ok\r\nabc ok");
}

// The code is read as a number is: blanks and a sign may come first, and the first byte
// that is not a digit ends it.
TEST(ReplyReader, CodeIsTheNumberAtTheStartOfTheLastLine) {
  struct Case {
    const char* reply;
    int code;
  };
  for (Case c : {Case{"250 ok\r\n", 250}, Case{" 25 ok\r\n", 25}, Case{"\t+5 ok\r\n", 5},
                 Case{"-50 no\r\n", -50}, Case{"2x0 ok\r\n", 2}, Case{"+x0 ok\r\n", 0},
                 Case{"250-a\r\n  1 b\r\n", 1}}) {
    SCOPED_TRACE(c.reply);
    ReaderSession s(PeerScript().Send(c.reply));
    ASSERT_TRUE(s.Read());
    EXPECT_EQ(s.connection.m_nLastReplyCode, c.code);
  }
}

TEST(ReplyReader, ExpectEitherReplyTakesBothCodesAndNothingElse) {
  struct Case {
    const char* reply;
    bool accepted;
  };
  for (Case c : {Case{"250 ok\r\n", true}, Case{"251 forwarded\r\n", true},
                 Case{"252 maybe\r\n", false}, Case{"550 no\r\n", false}}) {
    SCOPED_TRACE(c.reply);
    ReaderSession s(PeerScript().Send(c.reply));
    EXPECT_EQ(s.connection.ExpectEitherReply(250, 251), c.accepted);
  }
}

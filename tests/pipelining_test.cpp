// Pipelining (RFC 2920) against a scripted peer that offers it: the commands that go
// out before any reply, replies that arrive together or byte by byte, each step
// refused in turn with the same id and text as one command at a time, the end of data
// and QUIT in one send, and the batch call across messages.
#include <array>
#include <cctype>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "errors/message_table.h"
#include "smtp/message_batch.h"
#include "tests/support/catch_error.h"
#include "tests/support/fixed_date_message.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_client.h"

namespace {

constexpr std::int32_t ehloWithoutAuth = 99;  // says EHLO and authenticates nothing

enum class Mode { OneAtATime, Pipelined, PipelinedRepliesByteByByte };
const char* Name(Mode mode) {
  return mode == Mode::OneAtATime ? "one at a time" : mode == Mode::Pipelined ? "pipelined" : "byte by byte";
}

// The peer offers PIPELINING in every test: Pipelining off must not use it.
PeerScript Greeting() {
  return PeerScript().Send("220 hi\r\n").Expect("EHLO client\r\n").Send("250-hi\r\n250 PIPELINING\r\n");
}

PeerScript Step(std::string command, std::string reply) {
  return PeerScript().Expect(std::move(command)).Send(std::move(reply) + "\r\n");
}

PeerScript Quit() { return Step("QUIT\r\n", "221 bye").ExpectClosed(); }

class Client : public TestClient {
 public:
  Client(std::uint16_t port, Mode mode) {
    m_bPipelining = mode != Mode::OneAtATime;
    ConnectTo(port, ehloWithoutAuth);
  }
};

// From a@example.com to B, C and D at b, c and d at example.com, with a fixed Date.
class Message : public FixedDateMessage {
 public:
  Message() {
    from = CTAVSMTPAddress("", "a@example.com");
    for (const char* to : {"b@example.com", "c@example.com", "d@example.com"}) {
      AppendRecipient(CTAVSMTPAddress(std::string(1, static_cast<char>(std::toupper(to[0]))), to), RecipientTo);
    }
    SetBody("Hello");
  }
  // MAIL FROM, the three RCPT TO and DATA; then the text with its end of data.
  static std::array<std::string, 6> Commands(const Message& m) {
    return {"MAIL FROM:<a@example.com>\r\n", "RCPT TO:<b@example.com>\r\n", "RCPT TO:<c@example.com>\r\n",
            "RCPT TO:<d@example.com>\r\n",   "DATA\r\n", m.FixedHeader() + "\r\nHello\r\n.\r\n"};
  }
};

// The replies to MAIL FROM, the three RCPT TO, DATA and the end of data; "" where the
// command is not reached one at a time.
struct Refusal {
  const char* name;
  std::array<const char*, 6> replies;
  HRESULT error;
  const char* text;     // raised, and GetLastReply afterwards
  const char* refused;  // m_sRefusedRecipient
};

const Refusal refusals[] = {
    {"MAIL FROM refused",
     {"550-sender\r\n550 rejected", "503 need MAIL", "503 need MAIL", "503 need MAIL", "503 need RCPT", ""},
     Itf(msgMailFrom), "550-sender\r\n550 rejected", ""},
    {"one of three recipients refused",
     {"250 ok", "250 ok", "550 no such user c", "250 ok", "", ""},
     Itf(msgRcptTo), "550 no such user c", "c@example.com"},
    {"every recipient refused",
     {"250 ok", "550 no b", "550 no c", "550 no d", "", ""},
     Itf(msgRcptTo), "550 no b", "b@example.com"},
    {"DATA refused", {"250 ok", "250 ok", "251 forwarded", "250 ok", "451 try later", ""}, Itf(msgData),
     "451 try later", ""},
    {"end of data refused", {"250 ok", "250 ok", "250 ok", "250 ok", "354 go", "554 spam"},
     Itf(msgEndOfMessage), "554 spam", ""},
};

bool Accepted(std::size_t step, const std::string& reply) {
  if (step == 4) return reply.starts_with("354");
  return reply.starts_with("250") || (step >= 1 && step <= 3 && reply.starts_with("251"));
}

// What the peer sees and says for t in mode. Pipelined, MAIL FROM and the three RCPT TO
// go together and DATA waits for their replies.
PeerScript Exchange(const Refusal& t, Mode mode, const std::array<std::string, 6>& commands) {
  PeerScript script;
  std::size_t step = 0;
  if (mode != Mode::OneAtATime) {
    std::string group, replies;
    bool refused = false;
    for (; step < 4; ++step) {
      group += commands[step];
      replies += std::string(t.replies[step]) + "\r\n";
      refused = refused || !Accepted(step, t.replies[step]);
    }
    script.Expect(group);
    if (mode == Mode::Pipelined) {
      script.Send(replies);
    } else {
      script.SendSplit(replies, 1, std::chrono::milliseconds(1));
    }
    if (refused) return script.Then(Quit());
  }
  for (; step < 6; ++step) {
    script.Then(Step(commands[step], t.replies[step]));
    if (!Accepted(step, t.replies[step])) break;
  }
  return script.Then(Quit());
}

}  // namespace

// Every refusal raises the same id and text, whether the commands went one at a time
// or together, and leaves the connection established.
TEST(Pipelining, EachRefusalRaisesWhatOneCommandAtATimeRaises) {
  for (const Refusal& t : refusals) {
    for (Mode mode : {Mode::OneAtATime, Mode::Pipelined, Mode::PipelinedRepliesByteByByte}) {
      SCOPED_TRACE(std::string(t.name) + ", " + Name(mode));
      Message m;
      ScriptedPeer peer{Greeting().Then(Exchange(t, mode, Message::Commands(m)))};
      Client c(peer.Port(), mode);
      auto error = SmtpErrorOf([&] { c.SendMailMessage(m); });
      ASSERT_TRUE(error);
      EXPECT_EQ(error->m_hrError, t.error);
      EXPECT_EQ(error->m_sLastResponseText, t.text);
      EXPECT_EQ(c.GetLastReply(), t.text);
      EXPECT_EQ(c.m_sRefusedRecipient, t.refused);
      EXPECT_FALSE(c.Closed());
      c.Disconnect(true);
      EXPECT_EQ(peer.Finish(), "");
    }
  }
}

// The end of data and QUIT leave together and their replies are read in order; a
// refused end of data still raises 521 with its reply once the QUIT is answered.
TEST(Pipelining, EndOfDataAndQuitShareOneSend) {
  struct Case {
    Mode mode;
    const char* endReply;
  };
  for (const Case& t : {Case{Mode::Pipelined, "250 queued"}, Case{Mode::OneAtATime, "250 queued"},
                        Case{Mode::Pipelined, "554 spam"}}) {
    SCOPED_TRACE(std::string(Name(t.mode)) + ", " + t.endReply);
    Message m;
    const auto commands = Message::Commands(m);
    PeerScript script = Greeting();
    if (t.mode == Mode::OneAtATime) {
      for (std::size_t i = 0; i < 5; ++i) script.Then(Step(commands[i], i == 4 ? "354 go" : "250 ok"));
      script.Then(Step(commands[5], t.endReply)).Then(Quit());
    } else {
      script.Expect(commands[0] + commands[1] + commands[2] + commands[3])
          .Send("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n")
          .Then(Step(commands[4], "354 go"))
          .Expect(commands[5] + "QUIT\r\n")
          .Send(std::string(t.endReply) + "\r\n221 bye\r\n")
          .ExpectClosed();
    }
    ScriptedPeer peer{script};
    Client c(peer.Port(), t.mode);
    if (std::string(t.endReply).starts_with("250")) {
      EXPECT_FALSE(c.SendMailMessageAndQuit(m));
    } else {
      auto error = SmtpErrorOf([&] { c.SendMailMessageAndQuit(m); });
      ASSERT_TRUE(error);
      EXPECT_EQ(error->m_hrError, Itf(msgEndOfMessage));
      EXPECT_EQ(c.GetLastReply(), t.endReply);
    }
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(peer.Finish(), "");
  }
}

namespace {

// MAIL FROM and the three RCPT TO of commands, each answered reply: one at a time, or
// together with their replies together (or byte by byte).
PeerScript EnvelopeAnswered(Mode mode, const std::array<std::string, 6>& commands, const std::string& reply) {
  PeerScript script;
  if (mode == Mode::OneAtATime) {
    for (std::size_t i = 0; i < 4; ++i) script.Then(Step(commands[i], reply));
    return script;
  }
  script.Expect(commands[0] + commands[1] + commands[2] + commands[3]);
  std::string replies;
  for (std::size_t i = 0; i < 4; ++i) replies += reply + "\r\n";
  if (mode == Mode::Pipelined) return script.Send(replies);
  return script.SendSplit(replies, 1, std::chrono::milliseconds(1));
}

// A subclass that replaces the steps a caller may override and notes each call: the
// codes ExpectReply is given, the calls of ExpectEitherReply, and the display names of
// the recipients SendRcptTo is given.
class CountingClient : public Client {
 public:
  using Client::Client;
  void SendRcptTo(std::int32_t notify, const CTAVSMTPAddress& recipient) override {
    rcptNames.push_back(recipient.displayName);
    Client::SendRcptTo(notify, recipient);
  }
  bool ExpectReply(int code) override {
    expected.push_back(code);
    return Client::ExpectReply(code);
  }
  bool ExpectEitherReply(int code1, int code2) override {
    ++either;
    return Client::ExpectEitherReply(code1, code2);
  }
  std::vector<std::string> rcptNames;
  std::vector<int> expected;
  int either = 0;
};

}  // namespace

// Without pipelining a subclass sees the classic sequence, each recipient through
// SendRcptTo with its own object; pipelined, the same expect steps check every reply,
// and SendRcptTo is not called.
TEST(Pipelining, VirtualStepsCheckEveryReply) {
  for (Mode mode : {Mode::OneAtATime, Mode::Pipelined}) {
    SCOPED_TRACE(Name(mode));
    Message m;
    const auto commands = Message::Commands(m);
    ScriptedPeer peer{Greeting()
                          .Then(EnvelopeAnswered(mode, commands, "250 ok"))
                          .Then(Step(commands[4], "354 go"))
                          .Then(Step(commands[5], "250 queued"))
                          .Then(Quit())};
    CountingClient c(peer.Port(), mode);
    c.SendMailMessage(m);
    c.Disconnect(true);
    EXPECT_EQ(peer.Finish(), "");
    EXPECT_EQ(c.expected, (std::vector<int>{250, 354, 250, 221}));
    EXPECT_EQ(c.either, 3);
    const std::vector<std::string> names =
        mode == Mode::OneAtATime ? std::vector<std::string>{"B", "C", "D"} : std::vector<std::string>{};
    EXPECT_EQ(c.rcptNames, names);
  }
}

// A refused recipient leaves the connection established, pipelined or not: the next
// message on it begins with RSET and is delivered.
TEST(Pipelining, MessageAfterARefusedRecipientGoesOverTheSameConnection) {
  for (Mode mode : {Mode::OneAtATime, Mode::Pipelined}) {
    SCOPED_TRACE(Name(mode));
    Message m;
    const auto commands = Message::Commands(m);
    PeerScript script = Greeting();
    if (mode == Mode::OneAtATime) {
      script.Then(Step(commands[0], "250 ok")).Then(Step(commands[1], "250 ok")).Then(Step(commands[2], "550 no c"));
      script.Then(Step("RSET\r\n", "250 reset"));
      for (std::size_t i = 0; i < 4; ++i) script.Then(Step(commands[i], "250 ok"));
    } else {
      const std::string envelope = commands[0] + commands[1] + commands[2] + commands[3];
      script.Expect(envelope).Send("250 ok\r\n250 ok\r\n550 no c\r\n250 ok\r\n");
      script.Expect("RSET\r\n" + envelope).Send("250 reset\r\n250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n");
    }
    script.Then(Step(commands[4], "354 go")).Then(Step(commands[5], "250 queued")).Then(Quit());
    ScriptedPeer peer{script};
    Client c(peer.Port(), mode);
    auto error = SmtpErrorOf([&] { c.SendMailMessage(m); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(msgRcptTo));
    EXPECT_EQ(c.m_sRefusedRecipient, "c@example.com");
    ASSERT_FALSE(c.Closed());
    Message second;
    c.SendMailMessage(second);
    c.Disconnect(true);
    EXPECT_EQ(peer.Finish(), "");
  }
}

// DATA rides with a sole recipient; a server that answers it 354 though it refused the
// recipient (RFC 2920 forbids it) gets the connection closed without the end of data.
TEST(Pipelining, SoleRecipientRefusedWith354BehindItCloses) {
  Message m;
  m.toList.resize(1);
  const auto commands = Message::Commands(m);
  ScriptedPeer peer{Greeting()
                        .Expect(commands[0] + commands[1] + commands[4])
                        .Send("250 ok\r\n550 no b\r\n354 go\r\n")
                        .ExpectClosed()};
  Client c(peer.Port(), Mode::Pipelined);
  auto error = SmtpErrorOf([&] { c.SendMailMessage(m); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(msgRcptTo));
  EXPECT_EQ(c.GetLastReply(), "550 no b");
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(peer.Finish(), "");
}

// Replies of the code alone (RFC 5321 4.2) to every step, alone and pipelined, together
// or byte by byte; and any 2xx to the end of data, with or without text, is a delivery.
TEST(Pipelining, RepliesOfTheCodeAloneAnswerEveryStep) {
  for (Mode mode : {Mode::OneAtATime, Mode::Pipelined, Mode::PipelinedRepliesByteByByte}) {
    for (const char* endReply : {"250", "250 ", "252"}) {
      SCOPED_TRACE(std::string(Name(mode)) + ", end of data " + endReply);
      Message m;
      const auto commands = Message::Commands(m);
      PeerScript script = Greeting().Then(EnvelopeAnswered(mode, commands, "250")).Then(Step(commands[4], "354"));
      if (mode == Mode::OneAtATime) {
        script.Then(Step(commands[5], endReply)).Then(Step("QUIT\r\n", "221"));
      } else {
        script.Expect(commands[5] + "QUIT\r\n").Send(std::string(endReply) + "\r\n221\r\n");
      }
      ScriptedPeer peer{script.ExpectClosed()};
      Client c(peer.Port(), mode);
      EXPECT_FALSE(c.SendMailMessageAndQuit(m));
      EXPECT_TRUE(c.Closed());
      EXPECT_EQ(peer.Finish(), "");
    }
  }
}

// A server that offers PIPELINING but reads one command, answers it, then reads the
// next: the client sends at most a window of commands before it reads their replies,
// so thousands of recipients go through without either side blocking the other.
TEST(Pipelining, ServerThatAnswersEachCommandBeforeReadingTheNextGetsThemAll) {
  Message m;
  constexpr int extra = 2000;
  for (int i = 0; i < extra; ++i) {
    m.AppendRecipient(CTAVSMTPAddress("", "r" + std::to_string(i) + "@example.com"), CTAVSMTPMessage::RecipientCc);
  }
  const auto commands = Message::Commands(m);
  PeerScript script = Greeting().Then(Step(commands[0], "250 ok"));
  for (std::size_t i = 1; i < 4; ++i) script.Then(Step(commands[i], "250 ok"));
  for (int i = 0; i < extra; ++i) script.Then(Step("RCPT TO:<r" + std::to_string(i) + "@example.com>\r\n", "250 ok"));
  ScriptedPeer peer{script.Then(Step(commands[4], "354 go")).Then(Step(commands[5], "250 queued")).Then(Quit())};
  Client c(peer.Port(), Mode::Pipelined);
  c.SendMailMessage(m);
  c.Disconnect(true);
  EXPECT_EQ(peer.Finish(), "");
}

namespace {

// Messages from a@example.com to one recipient each, or two for "b+c"; text i is
// "Subject: i" and a body line.
class Source : public CBatchSource {
 public:
  explicit Source(std::vector<std::string> recipients) : to(std::move(recipients)) {}

  static std::string Text(std::size_t i) { return "Subject: " + std::to_string(i) + "\r\n\r\nBody\r\n"; }

  bool NextEnvelope(CBatchEnvelope& envelope) override {
    if (given == to.size()) return false;
    envelope.sender = "a@example.com";
    if (to[given] == "b+c") {
      envelope.recipients = {"b@example.com", "c@example.com"};
    } else {
      envelope.recipients = {to[given]};
    }
    ++given;
    return true;
  }
  void SendText(const std::function<void(std::string_view)>& send) override {
    const std::string text = Text(given - 1);
    send(text.substr(0, 10));  // in pieces, as a stream gives them
    send(text.substr(10));
  }
  void Finished(const CBatchOutcome& outcome) override { outcomes.push_back(outcome); }

  std::vector<std::string> to;
  std::size_t given = 0;
  std::vector<CBatchOutcome> outcomes;
};

std::string Envelope(const std::string& to) {
  return "MAIL FROM:<a@example.com>\r\nRCPT TO:<" + to + ">\r\n";
}

}  // namespace

// The second message's recipient is refused: the others are delivered, the refused
// one is reported with its reply, and the transaction it left open is reset. Pipelined,
// each envelope rides behind the previous end of data; DATA waits for the RCPT TO
// replies of a message with two recipients.
TEST(Pipelining, BatchReportsEachMessageAndGoesOnPastARefusedOne) {
  for (Mode mode : {Mode::OneAtATime, Mode::Pipelined}) {
    SCOPED_TRACE(Name(mode));
    PeerScript script = Greeting();
    if (mode == Mode::OneAtATime) {
      script.Then(Step("MAIL FROM:<a@example.com>\r\n", "250 ok"))
          .Then(Step("RCPT TO:<b@example.com>\r\n", "250 ok"))
          .Then(Step("DATA\r\n", "354 go"))
          .Then(Step(Source::Text(0) + ".\r\n", "250 queued 0"))
          .Then(Step("MAIL FROM:<a@example.com>\r\n", "250 ok"))
          .Then(Step("RCPT TO:<nobody@example.com>\r\n", "550 no such user"))
          .Then(Step("RSET\r\n", "250 reset"))
          .Then(Step("MAIL FROM:<a@example.com>\r\n", "250 ok"))
          .Then(Step("RCPT TO:<b@example.com>\r\n", "250 ok"))
          .Then(Step("RCPT TO:<c@example.com>\r\n", "250 ok"));
    } else {
      script.Expect(Envelope("b@example.com") + "DATA\r\n")
          .Send("250 ok\r\n250 ok\r\n354 go\r\n")
          .Expect(Source::Text(0) + ".\r\n" + Envelope("nobody@example.com") + "DATA\r\n")
          .Send("250 queued 0\r\n250 ok\r\n550 no such user\r\n554 no valid recipients\r\n")
          .Expect("RSET\r\n" + Envelope("b@example.com") + "RCPT TO:<c@example.com>\r\n")
          .Send("250 reset\r\n250 ok\r\n250 ok\r\n250 ok\r\n");
    }
    script.Then(Step("DATA\r\n", "354 go")).Then(Step(Source::Text(2) + ".\r\n", "250 queued 2")).Then(Quit());
    ScriptedPeer peer{script};
    Client c(peer.Port(), mode);
    Source source({"b@example.com", "nobody@example.com", "b+c"});
    c.SendBatch(source);
    c.Disconnect(true);
    EXPECT_EQ(peer.Finish(), "");
    ASSERT_EQ(source.outcomes.size(), 3u);
    EXPECT_TRUE(source.outcomes[0].accepted);
    EXPECT_TRUE(source.outcomes[2].accepted);
    const CBatchOutcome& refused = source.outcomes[1];
    EXPECT_FALSE(refused.accepted);
    ASSERT_TRUE(refused.failure);
    EXPECT_EQ(refused.failure->m_hrError, Itf(msgRcptTo));
    EXPECT_EQ(refused.failure->m_sLastResponseText, "550 no such user");
    EXPECT_EQ(refused.replyCode, 550);
    EXPECT_EQ(refused.refusedRecipient, "nobody@example.com");
  }
}

// A server that answers 354 behind a refused recipient gets the connection closed
// without the end of data: the batch ends there, that message and the one whose end of
// data was still unanswered are reported, and no further message is taken.
TEST(Pipelining, BatchEndsWhen354FollowsARefusedRecipient) {
  ScriptedPeer peer{Greeting()
                        .Expect(Envelope("b@example.com") + "DATA\r\n")
                        .Send("250 ok\r\n250 ok\r\n354 go\r\n")
                        .Expect(Source::Text(0) + ".\r\n" + Envelope("nobody@example.com") + "DATA\r\n")
                        .Send("250 queued 0\r\n250 ok\r\n550 no such user\r\n354 go\r\n")
                        .ExpectClosed()};
  Client c(peer.Port(), Mode::Pipelined);
  Source source({"b@example.com", "nobody@example.com", "b@example.com"});
  auto error = SmtpErrorOf([&] { c.SendBatch(source); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(msgRcptTo));
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_EQ(source.given, 2u);
  ASSERT_EQ(source.outcomes.size(), 2u);
  EXPECT_TRUE(source.outcomes[0].accepted);
  EXPECT_EQ(source.outcomes[1].refusedRecipient, "nobody@example.com");
}

// A source that fails to give the second message: one at a time, the first one's end of
// data has gone out, so its reply is read and reported before the failure goes on;
// pipelined, that end of data was held back and the connection closes without it.
TEST(Pipelining, BatchSourceThatFailsReportsTheMessageBeforeAsTheServerDid) {
  struct FailingSource : Source {
    using Source::Source;
    bool NextEnvelope(CBatchEnvelope& envelope) override {
      if (given == 1) throw std::runtime_error("no message");
      return Source::NextEnvelope(envelope);
    }
  };
  for (Mode mode : {Mode::OneAtATime, Mode::Pipelined}) {
    SCOPED_TRACE(Name(mode));
    PeerScript script = Greeting();
    if (mode == Mode::OneAtATime) {
      script.Then(Step("MAIL FROM:<a@example.com>\r\n", "250 ok"))
          .Then(Step("RCPT TO:<b@example.com>\r\n", "250 ok"))
          .Then(Step("DATA\r\n", "354 go"))
          .Then(Step(Source::Text(0) + ".\r\n", "250 queued 0"));
    } else {
      script.Expect(Envelope("b@example.com") + "DATA\r\n").Send("250 ok\r\n250 ok\r\n354 go\r\n");
    }
    ScriptedPeer peer{script.ExpectClosed()};
    Client c(peer.Port(), mode);
    FailingSource source({"b@example.com", "b@example.com"});
    EXPECT_THROW(c.SendBatch(source), std::runtime_error);
    EXPECT_EQ(peer.Finish(), "");
    ASSERT_EQ(source.outcomes.size(), 1u);
    EXPECT_EQ(source.outcomes[0].accepted, mode == Mode::OneAtATime);
  }
}

namespace {

// A message whose header block cannot be made: BuildHeader throws, as an override or an
// allocation may.
class HeaderlessMessage : public Message {
 public:
  std::string BuildHeader() override { throw std::runtime_error("no header block"); }
};

}  // namespace

// The header block is made while the server answers MAIL FROM. Where it throws, the
// answers still due are read before the exception reaches the caller: the connection
// stays in step, and the next message begins with RSET and is delivered. Where DATA was
// answered 354 already, the connection is closed without the end of data.
TEST(Pipelining, HeaderBlockThatThrowsLeavesTheConnectionInStep) {
  struct Case {
    const char* name;
    Mode mode;
    std::size_t recipients;
    bool closes;
  };
  const Case cases[] = {
      {"one at a time", Mode::OneAtATime, 3, false},
      {"pipelined, three recipients", Mode::Pipelined, 3, false},
      {"pipelined, DATA behind the sole recipient", Mode::Pipelined, 1, true},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    HeaderlessMessage failing;
    failing.toList.resize(t.recipients);
    Message m;
    const auto commands = Message::Commands(m);
    PeerScript script = Greeting();
    if (t.mode == Mode::OneAtATime) {
      script.Then(Step(commands[0], "250 ok")).Then(Step("RSET\r\n", "250 reset"));
      for (std::size_t i = 0; i < 5; ++i) script.Then(Step(commands[i], i == 4 ? "354 go" : "250 ok"));
      script.Then(Step(commands[5], "250 queued")).Then(Quit());
    } else if (!t.closes) {
      const std::string envelope = commands[0] + commands[1] + commands[2] + commands[3];
      script.Expect(envelope).Send("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n");
      script.Expect("RSET\r\n" + envelope).Send("250 reset\r\n250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n");
      script.Then(Step(commands[4], "354 go")).Then(Step(commands[5], "250 queued")).Then(Quit());
    } else {
      script.Expect(commands[0] + commands[1] + commands[4]).Send("250 ok\r\n250 ok\r\n354 go\r\n").ExpectClosed();
    }
    ScriptedPeer peer{script};
    Client c(peer.Port(), t.mode);
    EXPECT_THROW(c.SendMailMessage(failing), std::runtime_error);
    EXPECT_EQ(c.Closed(), t.closes);
    if (!t.closes) {
      c.SendMailMessage(m);
      c.Disconnect(true);
    }
    EXPECT_EQ(peer.Finish(), "");
  }
}

// The engine and the program against a hostile server. At every step of the dialogue
// (greeting, HELO, EHLO, each leg of LOGIN, PLAIN and CRAM-MD5 and the first of NTLM,
// MAIL FROM, RCPT TO, DATA, end of data, QUIT) a scripted peer closes, resets, goes
// silent, answers one byte per wait, sends a 10 MB reply, or sends NUL and 8-bit
// garbage; TLS servers break the handshake or leave a record unfinished. Every case
// must end with the step's message (or the socket error) after at most a few waits of
// 300 ms, with the reply reader holding no more than its 1 MiB cap needs, and with the
// connection closed where the step says: a failed connect or QUIT closes it, a failed
// transfer leaves it established and the destructor says QUIT. The program's exit code
// says "sent" only when the server accepted the end of data.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/run/exit_codes.h"
#include "tests/support/catch_error.h"
#include "tests/support/fixed_date_message.h"
#include "tests/support/mailer_program.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_client.h"
#include "tests/support/tls_server.h"

namespace {

using namespace std::chrono_literals;

// The reply reader stops past 1 MiB; its buffer grows from 256 bytes in steps of 4096,
// so the largest it may reach is the first such size past the cap.
constexpr std::size_t replyCap = 1 << 20;
constexpr int largestReplyBuffer = 256 + 4096 * 256;

// A reply that never ends within 10 MB: continuation lines, and its last line far away.
const std::string& TenMegabyteReply() {
  static const std::string reply = [] {
    std::string line = "250-" + std::string(94, 'x') + "\r\n";
    std::string text;
    text.reserve(10'000'000);
    while (text.size() + line.size() < 10'000'000) text += line;
    return text + "250 end\r\n";
  }();
  return reply;
}

// A line of NUL and 8-bit bytes with a blank where a reply's code ends: a complete
// reply without a code. The last reply keeps it up to its first NUL.
const std::string garbage("\xC3\x00\xFF \x80\x00garbage\x7F\xFE\r\n", 17);
const std::string garbageText = "\xC3";

// The operation a step belongs to, which decides what a failure there leaves behind.
enum class Operation { Connect, Send, Disconnect };

// One exchange of the dialogue: how the server takes the command (nothing for the
// greeting), the reply that lets the dialogue go on, and what the step raises when that
// reply does not come.
struct Exchange {
  std::string name;
  PeerScript command;
  std::string reply;
  Operation operation;
  HRESULT error;
};

// From a@example.com to b@example.com, with a fixed Date.
class Message : public FixedDateMessage {
 public:
  Message() {
    from = CTAVSMTPAddress("", "a@example.com");
    AppendRecipient(CTAVSMTPAddress("", "b@example.com"), RecipientTo);
    subject = "Hi";
    SetBody("Hello");
  }
};

PeerScript Reads(std::string command) { return PeerScript().Expect(std::move(command)); }

// The greeting, HELO or EHLO and the legs of the mechanism, the transfer of a Message
// and QUIT. NTLM ends at its first leg, as a scripted peer cannot make a challenge the
// client would take.
std::vector<Exchange> Dialogue(std::int32_t mechanism) {
  std::vector<Exchange> d{{"Greeting", PeerScript(), "220 hi\r\n", Operation::Connect, Itf(512)}};
  auto connect = [&](std::string name, PeerScript command, std::string reply,
                     std::uint32_t message) {
    d.push_back({std::move(name), std::move(command), std::move(reply), Operation::Connect,
                 Itf(message)});
  };
  if (mechanism == AuthNone) {
    connect("Helo", Reads("HELO client\r\n"), "250 ok\r\n", 517);
  } else {
    connect("Ehlo", Reads("EHLO client\r\n"), "250-server\r\n250 HELP\r\n", 516);
  }
  switch (mechanism) {
    case AuthLogin:
      connect("AuthLogin", Reads("AUTH LOGIN\r\n"), "334 VXNlcm5hbWU6\r\n", 525);
      connect("LoginUser", Reads("dXNlcg==\r\n"), "334 UGFzc3dvcmQ6\r\n", 527);
      connect("LoginPassword", Reads("c2VjcmV0\r\n"), "235 ok\r\n", 529);
      break;
    case AuthPlain:
      connect("AuthPlain", Reads("AUTH PLAIN\r\n"), "334 username:\r\n", 530);
      connect("PlainUser", Reads("user\r\n"), "334 password:\r\n", 532);
      connect("PlainPassword", Reads("secret\r\n"), "235 ok\r\n", 534);
      break;
    case AuthCramMd5:
      connect("AuthCramMd5", Reads("AUTH CRAM-MD5\r\n"), "334 PDEyMzQ+\r\n", 535);
      connect("CramMd5Answer", PeerScript().ReadLine(), "235 ok\r\n", 536);
      break;
    case AuthNtlm:
      connect("AuthNtlm", Reads("AUTH NTLM ").ReadLine(), "", 538);
      return d;
  }
  auto send = [&](std::string name, std::string command, std::string reply,
                  std::uint32_t message) {
    d.push_back({std::move(name), Reads(std::move(command)), std::move(reply), Operation::Send,
                 Itf(message)});
  };
  send("MailFrom", "MAIL FROM:<a@example.com>\r\n", "250 ok\r\n", 519);
  send("RcptTo", "RCPT TO:<b@example.com>\r\n", "250 ok\r\n", 524);
  send("Data", "DATA\r\n", "354 go ahead\r\n", 520);
  send("EndOfData", Message().FixedHeader() + "\r\nHello\r\n.\r\n", "250 queued\r\n", 521);
  d.push_back({"Quit", Reads("QUIT\r\n"), "221 bye\r\n", Operation::Disconnect, Itf(518)});
  return d;
}

enum class Behaviour { Close, Reset, Silence, OneBytePerWait, TenMegabyteReply, Garbage };

const char* Name(Behaviour b) {
  switch (b) {
    case Behaviour::Close: return "Close";
    case Behaviour::Reset: return "Reset";
    case Behaviour::Silence: return "Silence";
    case Behaviour::OneBytePerWait: return "OneBytePerWait";
    case Behaviour::TenMegabyteReply: return "TenMegabyteReply";
    case Behaviour::Garbage: return "Garbage";
  }
  return "?";
}

// The dialogue of mechanism up to the step at index, where the server behaves so.
PeerScript Script(const std::vector<Exchange>& d, std::size_t index, Behaviour behaviour) {
  PeerScript s;
  for (std::size_t i = 0; i < index; ++i) s.Then(d[i].command).Send(d[i].reply);
  s.Then(d[index].command);
  // A failed step is followed by QUIT, unless QUIT is the step.
  const bool atQuit = d[index].operation == Operation::Disconnect;
  const PeerScript quit = atQuit ? PeerScript() : Reads("QUIT\r\n");
  switch (behaviour) {
    case Behaviour::Close:
      return s.Close();
    case Behaviour::Reset:
      return s.Reset();
    case Behaviour::Silence:
      return s.Then(quit).ExpectClosed();
    case Behaviour::OneBytePerWait:
      s.SendSplit(d[index].reply, 1, 2ms);
      for (std::size_t i = index + 1; i < d.size(); ++i) s.Then(d[i].command).Send(d[i].reply);
      return s.ExpectClosed();
    case Behaviour::TenMegabyteReply:
      // Fed in pieces, as a slow server would; the reader's cap ends the wait.
      return s.SendSplit(TenMegabyteReply(), 64 << 10, 1ms).Then(quit).ExpectClosed();
    case Behaviour::Garbage:
      s.Send(garbage);
      if (!atQuit) s.Then(quit).Send("221 bye\r\n");
      return s.ExpectClosed();
  }
  return s;
}

// A session client that notes the largest reply buffer its reader held.
class MeasuredClient : public TestClient {
 public:
  bool ReadReply(char* buffer, int initialSize, CReplyOverflow& overflow,
                 int growStep) override {
    bool complete = TestClient::ReadReply(buffer, initialSize, overflow, growStep);
    largestBuffer = std::max(largestBuffer, overflow.capacity);
    return complete;
  }

  int largestBuffer = 0;
};

// The first failure of a session run as the send run runs it, where it happened, and
// whether the connection was closed right after it.
struct Outcome {
  std::optional<CTAVSMTPException> error;
  Operation failedIn = Operation::Connect;
  bool closed = false;
};

Outcome RunSession(MeasuredClient& c, std::uint16_t port, std::int32_t mechanism) {
  const char* user = mechanism == AuthNtlm ? "DOM\\bob" : "user";
  Message m;
  Outcome outcome;
  auto attempt = [&](Operation operation, const auto& step) {
    if (outcome.error) return;
    try {
      step();
    } catch (const CTAVSMTPException& e) {
      outcome = {e, operation, c.Closed()};
    }
  };
  attempt(Operation::Connect, [&] { c.ConnectTo(port, mechanism, user, "secret"); });
  attempt(Operation::Send, [&] { c.SendMailMessage(m); });
  attempt(Operation::Disconnect, [&] { c.Disconnect(true); });
  return outcome;
}

// A step: the dialogue of a mechanism and the exchange in it.
struct Step {
  std::int32_t mechanism;
  std::size_t index;
};

struct Case {
  Step step;
  Behaviour behaviour;
};

// Every step once: the whole dialogue with HELO, then EHLO (in LOGIN's dialogue) and
// the legs of each mechanism.
std::vector<Step> AllSteps() {
  std::vector<Step> steps;
  for (std::size_t i = 0; i < Dialogue(AuthNone).size(); ++i) steps.push_back({AuthNone, i});
  for (std::int32_t mechanism : {AuthLogin, AuthPlain, AuthCramMd5, AuthNtlm}) {
    const auto d = Dialogue(mechanism);
    for (std::size_t i = mechanism == AuthLogin ? 1 : 2;
         i < d.size() && d[i].operation == Operation::Connect; ++i) {
      steps.push_back({mechanism, i});
    }
  }
  return steps;
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (Step step : AllSteps()) {
    for (Behaviour b : {Behaviour::Close, Behaviour::Reset, Behaviour::Silence,
                        Behaviour::OneBytePerWait, Behaviour::TenMegabyteReply,
                        Behaviour::Garbage}) {
      // The NTLM leg has no reply that would let the dialogue go on.
      if (step.mechanism == AuthNtlm && b == Behaviour::OneBytePerWait) continue;
      cases.push_back({step, b});
    }
  }
  return cases;
}

std::string CaseName(const testing::TestParamInfo<Case>& info) {
  const Case& c = info.param;
  return Dialogue(c.step.mechanism)[c.step.index].name + "_" + Name(c.behaviour);
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << Dialogue(c.step.mechanism)[c.step.index].name << " " << Name(c.behaviour);
}

// The error's text for a behaviour other than OneBytePerWait and Reset.
void ExpectText(Behaviour behaviour, const std::string& text) {
  switch (behaviour) {
    case Behaviour::Garbage:
      EXPECT_EQ(text, garbageText);
      break;
    case Behaviour::TenMegabyteReply:
      EXPECT_GT(text.size(), replyCap);
      EXPECT_LT(text.size(), static_cast<std::size_t>(largestReplyBuffer));
      EXPECT_EQ(TenMegabyteReply().compare(0, text.size(), text), 0);
      break;
    default:
      EXPECT_EQ(text, "");
  }
}

// The peer's script ran to its end. A 10 MB reply may have been cut short: the client
// closes once it has given up, and the rest cannot be sent.
void ExpectPeerDone(ScriptedPeer& peer) {
  std::string report = peer.Finish();
  if (report.find("could not send \"" + EscapeBytes(TenMegabyteReply())) != report.npos) return;
  EXPECT_EQ(report, "");
}

class HostileServer : public testing::TestWithParam<Case> {};

}  // namespace

TEST_P(HostileServer, EndsWithTheStepsErrorAndClosesWhereTheStepSays) {
  const auto [step, behaviour] = GetParam();
  const std::vector<Exchange> dialogue = Dialogue(step.mechanism);
  const Exchange& at = dialogue[step.index];
  ScriptedPeer peer{Script(dialogue, step.index, behaviour)};
  int largestBuffer;
  {
    MeasuredClient c;
    Outcome outcome = RunSession(c, peer.Port(), step.mechanism);
    largestBuffer = c.largestBuffer;
    if (behaviour == Behaviour::OneBytePerWait) {
      // Each byte comes within its wait: the reply is slow, not lost.
      EXPECT_FALSE(outcome.error) << outcome.error->what();
      EXPECT_TRUE(c.Closed());
    } else {
      ASSERT_TRUE(outcome.error);
      EXPECT_EQ(outcome.failedIn, at.operation);
      EXPECT_EQ(outcome.error->m_hrError, behaviour == Behaviour::Reset ? Win32(10054) : at.error)
          << outcome.error->what();
      ExpectText(behaviour, outcome.error->m_sLastResponseText);
      EXPECT_EQ(outcome.closed, at.operation != Operation::Send);
      if (at.operation == Operation::Send) {
        EXPECT_TRUE(c.m_bConnected);
      }
    }
  }  // a connection still established says QUIT here
  EXPECT_LE(largestBuffer, largestReplyBuffer);
  ExpectPeerDone(peer);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, HostileServer, testing::ValuesIn(AllCases()), CaseName);

namespace {

// NUL and 8-bit bytes where the server's first handshake record belongs.
std::string HandshakeGarbage() {
  std::string bytes(300, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 151 % 256);
  return bytes;
}

// A TLS session with HELO against port.
void ConnectTls(TestClient& c, std::uint16_t port) {
  c.Connect("127.0.0.1", AuthNone, "", "", port, true);
}

}  // namespace

// A server that breaks off the handshake fails it with 545; one that goes silent in
// the middle of it fails the wait for its next bytes like a silent proxy (10060). The
// connection is closed either way.
TEST(HostileTlsServer, BrokenHandshakeFailsTheConnectAndCloses) {
  IgnoreSigpipe();
  struct HandshakeCase {
    const char* name;
    PeerScript script;
    HRESULT error;
  };
  const HandshakeCase cases[] = {
      {"close", PeerScript().ReadAny().Close(), Itf(545)},
      {"reset", PeerScript().ReadAny().Reset(), Itf(545)},
      {"garbage", PeerScript().ReadAny().Send(HandshakeGarbage()).ReadUntilClosed(), Itf(545)},
      {"10 MB reply", PeerScript().ReadAny().SendSplit(TenMegabyteReply(), 64 << 10, 1ms),
       Itf(545)},
      {"silence", PeerScript().ReadAny().ReadUntilClosed(), Win32(10060)},
  };
  for (const HandshakeCase& h : cases) {
    SCOPED_TRACE(h.name);
    ScriptedPeer peer{h.script};
    TestClient c;
    auto error = SmtpErrorOf([&] { ConnectTls(c, peer.Port()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, h.error) << error->what();
    EXPECT_TRUE(c.Closed());
    ExpectPeerDone(peer);
  }
}

// Every byte of the handshake and of each record comes alone, each within its wait: the
// session is slow, and completes.
TEST(HostileTlsServer, OneBytePerWaitCompletesTheSession) {
  IgnoreSigpipe();
  TlsStubServer server(TlsStubServer::Trickle);
  TestClient c;
  ConnectTls(c, server.Port());
  Message m;
  c.SendMailMessage(m);
  EXPECT_EQ(c.GetLastReply(), "250 queued");
  c.Disconnect(true);
  EXPECT_TRUE(c.Closed());
}

// Part of a record makes the socket readable, but the reply cannot be decrypted until
// the rest arrives; a server that never sends it is waited for no longer than a silent
// one.
TEST(HostileTlsServer, UnfinishedRecordEndsTheWaitLikeSilence) {
  IgnoreSigpipe();
  TlsStubServer server(TlsStubServer::PartialRecord);
  TestClient c;
  auto error = SmtpErrorOf([&] { ConnectTls(c, server.Port()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(512)) << error->what();
  EXPECT_EQ(error->m_sLastResponseText, "");
  EXPECT_TRUE(c.Closed());
}

namespace {

// The program's dialogue with a server on port up to the message's end, which it sends
// with the date of the moment; then the server answers as endOfData says.
PeerScript ProgramDialogue(const PeerScript& endOfData) {
  return PeerScript()
      .Send("220 hi\r\n")
      .ReadLine()  // HELO with the local host name
      .Send("250 ok\r\n")
      .Expect("MAIL FROM:<a@example.com>\r\n")
      .Send("250 ok\r\n")
      .Expect("RCPT TO:<b@example.com>\r\n")
      .Send("250 ok\r\n")
      .Expect("DATA\r\n")
      .Send("354 go ahead\r\n")
      .ReadUntil("\r\n.\r\n")
      .Then(endOfData);
}

PeerScript Accepted() { return PeerScript().Send("250 queued\r\n").Expect("QUIT\r\n"); }

MailerRun RunProgramAgainst(std::uint16_t port) {
  return RunMailer(SmtpSettings({{"Server", "127.0.0.1"},
                                 {"Port", std::to_string(port)},
                                 {"SenderEMail", "a@example.com"},
                                 {"RecipientEMail", "b@example.com"}}),
                   {"Subject", "Body"});
}

}  // namespace

// The exit code says "sent" (0) only when the server accepted the end of data, and "sent
// but QUIT failed" (3) only after that; everything else is a failed send (2) or connect
// (1), whatever the server says or does after the failure.
TEST(HostileServerToTheProgram, ExitCodeClaimsOnlyADeliveryTheServerAccepted) {
  struct ProgramCase {
    const char* name;
    PeerScript script;
    int exitCode;
    const char* says;  // the start of what the program prints, with no display
  };
  const ProgramCase cases[] = {
      {"accepted", ProgramDialogue(Accepted().Send("221 bye\r\n")), ExitSent, ""},
      {"close at end of data", ProgramDialogue(PeerScript().Close()), ExitSendFailed,
       "e-mailer: Failed to send the SMTP message\n"},
      {"reset at end of data", ProgramDialogue(PeerScript().Reset()), ExitSendFailed,
       "e-mailer: Failed to send the SMTP message\n"},
      {"554 at end of data",
       ProgramDialogue(PeerScript().Send("554 rejected\r\n").Expect("QUIT\r\n").Send("221 bye\r\n")),
       ExitSendFailed, "e-mailer: Failed to send the SMTP message\n554 rejected"},
      {"250 cut short at end of data", ProgramDialogue(PeerScript().Send("250 que").Close()),
       ExitSendFailed, "e-mailer: Failed to send the SMTP message\n250 que"},
      {"garbage at end of data",
       ProgramDialogue(PeerScript().Send(garbage).Expect("QUIT\r\n").Send("221 bye\r\n")),
       // Standard error gets the reply's bytes escaped, up to the NUL that ends its text.
       ExitSendFailed, "e-mailer: Failed to send the SMTP message\n\\xC3\n"},
      {"10 MB reply at end of data",
       ProgramDialogue(PeerScript().SendSplit(TenMegabyteReply(), 64 << 10, 1ms)),
       ExitSendFailed, "e-mailer: Failed to send the SMTP message\n250-xxx"},
      {"close at QUIT", ProgramDialogue(Accepted().Close()), ExitQuitFailed, ""},
      {"garbage at QUIT", ProgramDialogue(Accepted().Send(garbage)), ExitQuitFailed, ""},
      {"close at the greeting", PeerScript().Close(), ExitConnectFailed,
       "e-mailer: Unexpected SMTP Login response, Last Response: \n"
       "e-mailer: Failed to connect to SMTP server\n\n"},
  };
  for (const ProgramCase& p : cases) {
    SCOPED_TRACE(p.name);
    ScriptedPeer peer{p.script};
    MailerRun run = RunProgramAgainst(peer.Port());
    EXPECT_EQ(run.exitCode, p.exitCode) << run.output.substr(0, 2000);
    EXPECT_EQ(run.output.substr(0, std::string(p.says).size()), p.says);
    if (p.exitCode == ExitSent || p.exitCode == ExitQuitFailed) {
      EXPECT_EQ(run.output, "");
    }
    ExpectPeerDone(peer);
  }
}

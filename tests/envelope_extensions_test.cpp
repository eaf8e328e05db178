// SIZE (RFC 1870) and SMTPUTF8 (RFC 6531) on the wire, against a scripted peer whose
// EHLO reply offers them: SIZE= is the exact count of the text that follows DATA
// (stuffing dots and the end of data left out), a message over the declared limit fails
// with 563 before MAIL FROM, SMTPUTF8 goes out only when an address needs it, and an
// address that needs it fails with 564 where the server does not offer it.
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "smtp/message_batch.h"
#include "tests/support/catch_error.h"
#include "tests/support/fixed_date_message.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_client.h"

namespace {

// Greets with EHLO (a mechanism that authenticates nothing) and offers extensions, each
// line given without its "250-".
constexpr std::int32_t ehloOnly = 8;

PeerScript Ehlo(const std::vector<std::string>& extensions) {
  std::string reply = "250-peer\r\n";
  for (const std::string& line : extensions) reply += "250-" + line + "\r\n";
  reply += "250 HELP\r\n";
  return PeerScript().Send("220 hi\r\n").Expect("EHLO client\r\n").Send(reply);
}

PeerScript Quit() { return PeerScript().Expect("QUIT\r\n").Send("221 bye\r\n").ExpectClosed(); }

// MAIL FROM and one RCPT TO taken as they come, DATA, the text up to its end, accepted.
PeerScript AnyTransfer() {
  return PeerScript()
      .ReadLine().Send("250 ok\r\n")
      .ReadLine().Send("250 ok\r\n")
      .Expect("DATA\r\n").Send("354 go ahead\r\n")
      .ReadUntil("\r\n.\r\n").Send("250 queued\r\n");
}

// Runs send over an EHLO session offering extensions, then QUIT; the peer's report,
// and what it received in received.
std::string Session(const std::vector<std::string>& extensions, const PeerScript& transfer,
                    const std::function<void(TestClient&)>& send, std::string& received) {
  ScriptedPeer peer{Ehlo(extensions).Then(transfer).Then(Quit())};
  TestClient c;
  c.ConnectTo(peer.Port(), ehloOnly);
  send(c);
  c.Disconnect(true);
  std::string report = peer.Finish();
  received = peer.Received();
  return report;
}

std::string Between(const std::string& text, const std::string& start, const std::string& end) {
  const std::size_t from = text.find(start);
  if (from == std::string::npos) return {};
  const std::size_t to = text.find(end, from + start.size());
  return text.substr(from + start.size(), to == std::string::npos ? std::string::npos : to - from - start.size());
}

// The text after the 354 as the server stores it: the end-of-data line gone, every
// stuffing dot removed.
std::string StoredText(const std::string& received) {
  std::string data = Between(received, "DATA\r\n", "\r\n.\r\n") + "\r\n";
  std::string stored;
  for (std::size_t at = 0; at < data.size();) {
    std::size_t end = data.find("\r\n", at) + 2;
    stored += data.substr(data[at] == '.' ? at + 1 : at, end - (data[at] == '.' ? at + 1 : at));
    at = end;
  }
  return stored;
}

class Message : public FixedDateMessage {
 public:
  Message(const std::string& sender, const std::string& recipient) {
    from = CTAVSMTPAddress("Sender", sender);
    AppendRecipient(CTAVSMTPAddress("", recipient), RecipientTo);
    subject = "Hi";
  }
};

void Attach(CTAVSMTPMessage& m, const std::string& path) {
  CTAVSMTPBodyPart attachment;
  attachment.contentType = "application/octet-stream";
  attachment.attachmentTitle = "a.bin";
  attachment.attachmentPath = path;
  m.rootPart.AddChild(attachment);
}

}  // namespace

// Plain, quoted-printable, dot-stuffed and MIME texts with attachments whose Base64 ends
// on a line's end or within one: SIZE= counts what the server stores.
TEST(Size, MailFromCarriesTheExactSizeOfTheTextThatFollowsData) {
  ScratchDirectory dir;
  struct Case {
    const char* name;
    std::function<void(CTAVSMTPMessage&)> compose;
  };
  const std::vector<Case> cases = {
      {"plain", [](CTAVSMTPMessage& m) { m.SetBody("Hello"); }},
      {"plain ending in a line end", [](CTAVSMTPMessage& m) { m.SetBody("Hello\r\n"); }},
      {"stuffed dots", [](CTAVSMTPMessage& m) { m.SetBody(".\r\n..x\r\n.end\r\n."); }},
      {"quoted-printable", [](CTAVSMTPMessage& m) { m.SetBody("caf\xc3\xa9 " + std::string(1200, 'x')); }},
      {"MIME text", [](CTAVSMTPMessage& m) { m.mime = true; m.SetBody(".x\r\ny"); }},
      {"attachments", [&](CTAVSMTPMessage& m) {
         m.mime = true;
         Attach(m, dir.Write("57", std::string(57, 'a')));     // one full line
         Attach(m, dir.Write("58", std::string(58, '.')));     // a line and a short one
         Attach(m, dir.Write("0", ""));
         Attach(m, dir.Write("big", std::string(200000, '\xff')));
         m.SetBody("see attached");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Message m("a@example.com", "b@example.com");
    c.compose(m);
    std::string received;
    EXPECT_EQ(Session({"SIZE 0", "PIPELINING"}, AnyTransfer(),
                      [&](TestClient& client) { client.SendMailMessage(m); }, received),
              "");
    const std::string size = Between(received, "MAIL FROM:<a@example.com> SIZE=", "\r\n");
    EXPECT_EQ(size, std::to_string(StoredText(received).size()));
  }
}

// A limit of n octets takes a message of n and refuses one of n + 1 with 563 before
// MAIL FROM, the connection standing; a server without SIZE gets no parameter.
TEST(Size, MessageOverTheDeclaredLimitFailsWith563BeforeMailFrom) {
  Message m("a@example.com", "b@example.com");
  m.SetBody("Hello");
  const std::uint64_t size = m.FixedHeader().size() + 2 + 5 + 2;
  std::string received;
  const std::string sized = "MAIL FROM:<a@example.com> SIZE=" + std::to_string(size) + "\r\n";
  EXPECT_EQ(Session({"SIZE " + std::to_string(size)}, AnyTransfer(),
                    [&](TestClient& c) { c.SendMailMessage(m); }, received),
            "");
  EXPECT_NE(received.find(sized), std::string::npos);
  EXPECT_EQ(Session({"8BITMIME"}, AnyTransfer(), [&](TestClient& c) { c.SendMailMessage(m); }, received), "");
  EXPECT_NE(received.find("MAIL FROM:<a@example.com>\r\n"), std::string::npos);

  std::optional<CTAVSMTPException> raised;
  EXPECT_EQ(Session({"SIZE " + std::to_string(size - 1)}, PeerScript(),
                    [&](TestClient& c) {
                      raised = SmtpErrorOf([&] { c.SendMailMessage(m); });
                      EXPECT_TRUE(c.m_bConnected);
                    },
                    received),
            "");
  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->m_hrError, Itf(563));
  EXPECT_EQ(received.find("MAIL FROM"), std::string::npos);
  EXPECT_EQ(raised->m_sLastResponseText, "the message has " + std::to_string(size) +
                                             " octets, and the server takes at most " +
                                             std::to_string(size - 1) + " (SIZE " +
                                             std::to_string(size - 1) + ")");

  // A server that finds the message too large itself still gets 519 with its reply.
  const PeerScript refused = PeerScript().ReadLine().Send("552 5.3.4 Message size exceeds fixed limit\r\n");
  EXPECT_EQ(Session({"SIZE " + std::to_string(size)}, refused,
                    [&](TestClient& c) { raised = SmtpErrorOf([&] { c.SendMailMessage(m); }); }, received),
            "");
  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->m_hrError, Itf(519));
  EXPECT_EQ(raised->m_sLastResponseText, "552 5.3.4 Message size exceeds fixed limit");
}

// Each case: the extensions offered, the sender and recipient, and the MAIL FROM and
// RCPT TO lines and header lines that go out, or the 564 text when nothing may.
TEST(SmtpUtf8, UsedOnlyWhenAnAddressNeedsItElseALabelsOr564BeforeMailFrom) {
  struct Case {
    std::vector<std::string> extensions;
    std::string from, to;
    std::string mailFrom, rcptTo, fromLine, toLine;  // empty mailFrom: refused
    std::string refusal;
  };
  const std::string utf8Local = "j\xc3\xbcrgen@example.com";
  const std::string utf8Domain = "anna@b\xc3\xbc" "cher.example";
  const std::vector<Case> cases = {
      {{"SMTPUTF8"}, "a@example.com", "b@example.com", "MAIL FROM:<a@example.com>\r\n",
       "RCPT TO:<b@example.com>\r\n", "From: Sender <a@example.com>\r\n", "To: b@example.com\r\n", ""},
      {{"SMTPUTF8"}, utf8Local, "b@example.com", "MAIL FROM:<" + utf8Local + "> SMTPUTF8\r\n",
       "RCPT TO:<b@example.com>\r\n", "From: Sender <" + utf8Local + ">\r\n", "To: b@example.com\r\n", ""},
      {{"SMTPUTF8"}, "a@example.com", utf8Domain, "MAIL FROM:<a@example.com> SMTPUTF8\r\n",
       "RCPT TO:<" + utf8Domain + ">\r\n", "From: Sender <a@example.com>\r\n", "To: " + utf8Domain + "\r\n", ""},
      {{"8BITMIME"}, "a@example.com", utf8Domain, "MAIL FROM:<a@example.com>\r\n",
       "RCPT TO:<anna@xn--bcher-kva.example>\r\n", "From: Sender <a@example.com>\r\n",
       "To: anna@xn--bcher-kva.example\r\n", ""},
      {{"8BITMIME"}, utf8Domain, utf8Local, "", "", "", "",
       utf8Local + ": its local part is not ASCII, which needs SMTPUTF8, and the server does not "
                   "offer SMTPUTF8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from + " to " + c.to + " offering " + c.extensions[0]);
    Message m(c.from, c.to);
    m.SetBody("Hello");
    std::optional<CTAVSMTPException> raised;
    std::string received;
    const PeerScript transfer = c.mailFrom.empty() ? PeerScript() : AnyTransfer();
    EXPECT_EQ(Session(c.extensions, transfer,
                      [&](TestClient& client) {
                        if (c.mailFrom.empty()) {
                          raised = SmtpErrorOf([&] { client.SendMailMessage(m); });
                        } else {
                          client.SendMailMessage(m);
                        }
                      },
                      received),
              "");
    // The caller's addresses are back as given, sent or refused.
    EXPECT_EQ(m.from.emailAddress, c.from);
    EXPECT_EQ(m.RecipientAt(0, CTAVSMTPMessage::RecipientTo)->emailAddress, c.to);
    if (c.mailFrom.empty()) {
      ASSERT_TRUE(raised);
      EXPECT_EQ(raised->m_hrError, Itf(564));
      EXPECT_EQ(raised->m_sLastResponseText, c.refusal);
      continue;
    }
    for (const std::string& line : {c.mailFrom, c.rcptTo, "\r\n" + c.fromLine, "\r\n" + c.toLine}) {
      EXPECT_NE(received.find(line), std::string::npos) << line << " in " << EscapeBytes(received);
    }
  }
}

// In a batch, a message over the limit (563) or with an address the server cannot take
// (564) is that message's outcome before any of its commands goes out; the others go
// out with SIZE= as SendMailMessage sends them.
TEST(Size, BatchMessagesRefusedBeforeTheirCommandsLeaveTheOthersGoing) {
  Message small("a@example.com", "b@example.com"), large("a@example.com", "b@example.com"),
      international("a@example.com", "j\xc3\xbcrgen@example.com"), last("a@example.com", "b@example.com");
  small.SetBody("Hello");
  large.SetBody(std::string(2000, 'x'));
  international.SetBody("Hello");
  last.SetBody("Bye");
  std::vector<CTAVSMTPMessage*> messages{&small, &large, &international, &last};
  std::vector<CBatchOutcome> outcomes;
  std::string received;
  EXPECT_EQ(Session({"SIZE 1000"}, AnyTransfer().Then(AnyTransfer()),
                    [&](TestClient& c) {
                      std::size_t next = 0;
                      CMessageBatchSource source(
                          c, [&] { return next < messages.size() ? messages[next++] : nullptr; },
                          [&](CTAVSMTPMessage&, const CBatchOutcome& outcome) { outcomes.push_back(outcome); });
                      c.SendBatch(source);
                    },
                    received),
            "");
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_TRUE(outcomes[0].accepted && outcomes[3].accepted);
  EXPECT_EQ(outcomes[1].failure->m_hrError, Itf(563));
  EXPECT_EQ(outcomes[2].failure->m_hrError, Itf(564));
  EXPECT_EQ(international.RecipientAt(0, CTAVSMTPMessage::RecipientTo)->emailAddress, "j\xc3\xbcrgen@example.com");
  EXPECT_NE(received.find("MAIL FROM:<a@example.com> SIZE=" + std::to_string(small.FixedHeader().size() + 9)),
            std::string::npos);
}

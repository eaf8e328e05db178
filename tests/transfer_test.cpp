// The message transfer against a scripted peer: the envelope with and without DSN
// parameters, the recipients' order, the text after DATA for plain and MIME messages,
// the refusal of line breaks and of lines over their limits, each failure in the
// envelope with the connection left standing, and each one in the message text with
// the connection closed.
#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mime/attachment_stream.h"
#include "tests/support/catch_error.h"
#include "tests/support/fixed_date_message.h"
#include "tests/support/locale_fixture.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_client.h"

namespace {

// From a@example.com to b@example.com, with a fixed Date.
class Message : public FixedDateMessage {
 public:
  explicit Message(const std::string& body = "Hello") {
    from = CTAVSMTPAddress("Sender", "a@example.com");
    AppendRecipient(CTAVSMTPAddress("", "b@example.com"), RecipientTo);
    subject = "Hi";
    SetBody(body);
  }
};

// 32 digits 0-9 and A-F.
bool IsEnvelopeId(const std::string& id) {
  return id.size() == 32 && id.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

PeerScript Helo() {
  return PeerScript().Send("220 hi\r\n").Expect("HELO client\r\n").Send("250 ok\r\n");
}

PeerScript Step(std::string command, std::string reply) {
  return PeerScript().Expect(std::move(command)).Send(std::move(reply) + "\r\n");
}

PeerScript Quit() { return Step("QUIT\r\n", "221 bye").ExpectClosed(); }

// From DATA to the reply to the end of data; body is the text as it goes out.
PeerScript Data(const Message& m, const std::string& body) {
  return Step("DATA\r\n", "354 go ahead")
      .Then(Step(m.FixedHeader() + "\r\n" + body + "\r\n.\r\n", "250 queued"));
}

// The whole transfer of a Message with its one recipient and no DSN.
PeerScript PlainTransfer(const Message& m, const std::string& body) {
  return Step("MAIL FROM:<a@example.com>\r\n", "250 ok")
      .Then(Step("RCPT TO:<b@example.com>\r\n", "250 ok"))
      .Then(Data(m, body));
}

// Connects, runs transfer, says QUIT, and returns the peer's report.
std::string Session(const PeerScript& script, const std::function<void(TestClient&)>& transfer) {
  ScriptedPeer peer{Helo().Then(script).Then(Quit())};
  TestClient c;
  c.ConnectTo(peer.Port());
  transfer(c);
  c.Disconnect(true);
  return peer.Finish();
}

// Session with a send of m as the transfer.
std::string SendInSession(const PeerScript& script, CTAVSMTPMessage& m) {
  return Session(script, [&](TestClient& c) { c.SendMailMessage(m); });
}

// Session with a send of m that fails with error and text; the connection stands after
// the failure, so QUIT follows.
void ExpectFailedSend(const PeerScript& script, CTAVSMTPMessage& m, HRESULT error,
                      const std::string& text) {
  std::optional<CTAVSMTPException> raised;
  EXPECT_EQ(Session(script,
                    [&](TestClient& c) {
                      raised = SmtpErrorOf([&] { c.SendMailMessage(m); });
                      EXPECT_TRUE(c.m_bConnected);
                    }),
            "");
  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->m_hrError, error);
  EXPECT_EQ(raised->m_sLastResponseText, text);
}

}  // namespace

// Lines that hold a single dot, or begin with one, get one more dot.
TEST(Transfer, PlainMessageGoesOutWithoutDsnParametersAndDotsStuffed) {
  Message m("Hello\r\n.\r\n..x\r\n.end");
  EXPECT_EQ(SendInSession(PlainTransfer(m, "Hello\r\n..\r\n...x\r\n..end"), m),
            "");
}

TEST(Transfer, EmptyBodySendsHeaderEmptyLineAndEndOfData) {
  Message m("");
  EXPECT_EQ(SendInSession(PlainTransfer(m, ""), m), "");
}

TEST(Transfer, DsnRequestMakesOneEnvelopeIdAndKeepsItForTheNextTransfer) {
  Message m;
  m.dsnNotify = 3;
  const PeerScript transfer = PeerScript()
                                  .ReadLine()
                                  .Send("250 ok\r\n")
                                  .Then(Step("RCPT TO:<b@example.com> NOTIFY=SUCCESS,FAILURE\r\n",
                                             "250 ok"))
                                  .Then(Data(m, "Hello"));
  ScriptedPeer peer{Helo().Then(transfer).Then(transfer).Then(Quit())};
  TestClient c;
  c.ConnectTo(peer.Port());
  c.SendMailMessage(m);
  const std::string id = m.dsnEnvelopeId;
  c.SendMailMessage(m);
  c.Disconnect(true);
  ASSERT_EQ(peer.Finish(), "");
  EXPECT_TRUE(IsEnvelopeId(id)) << id;
  EXPECT_EQ(m.dsnEnvelopeId, id);
  const std::string mailFrom = "MAIL FROM:<a@example.com> RET=HDRS ENVID=" + id + "\r\n";
  const std::string& received = peer.Received();
  const auto first = received.find(mailFrom);
  ASSERT_NE(first, std::string::npos) << EscapeBytes(received);
  EXPECT_NE(received.find(mailFrom, first + 1), std::string::npos);
}

TEST(Transfer, EnvelopeIdsAreFreshUpperCaseDigits) {
  const std::string a = MakeEnvelopeId(), b = MakeEnvelopeId();
  EXPECT_TRUE(IsEnvelopeId(a)) << a;
  EXPECT_NE(a, b);
}

TEST(Transfer, MailFromCarriesReturnTypeAndAGivenEnvelopeId) {
  TestClient c;
  struct Case {
    std::int32_t notify;
    bool returnFull;
    const char* command;
  };
  for (Case t : {Case{-1, true, "MAIL FROM:<a@b>\r\n"},
                 Case{0, true, "MAIL FROM:<a@b> RET=FULL ENVID=ID-1\r\n"},
                 Case{4, false, "MAIL FROM:<a@b> RET=HDRS ENVID=ID-1\r\n"}}) {
    std::string id = "ID-1";
    EXPECT_EQ(c.FormatMailFrom("a@b", t.notify, t.returnFull, id), t.command);
    EXPECT_EQ(id, "ID-1");
  }
  std::string none;
  c.FormatMailFrom("a@b", -1, false, none);
  EXPECT_EQ(none, "") << "no envelope id without DSN";
}

TEST(Transfer, NotifyListsItsItemsInOrderAndNeverForNone) {
  struct Case {
    std::int32_t notify;
    const char* command;
  };
  const Case cases[] = {
      {-1, "RCPT TO:<r@x>\r\n"},
      {0, "RCPT TO:<r@x> NOTIFY=NEVER\r\n"},
      {1, "RCPT TO:<r@x> NOTIFY=SUCCESS\r\n"},
      {3, "RCPT TO:<r@x> NOTIFY=SUCCESS,FAILURE\r\n"},
      {4, "RCPT TO:<r@x> NOTIFY=DELAY\r\n"},
      {6, "RCPT TO:<r@x> NOTIFY=FAILURE,DELAY\r\n"},
      {7, "RCPT TO:<r@x> NOTIFY=SUCCESS,FAILURE,DELAY\r\n"},
      {8, "RCPT TO:<r@x> NOTIFY=NEVER\r\n"},  // bits past DELAY are not items
  };
  PeerScript script;
  for (const Case& t : cases) script.Then(Step(t.command, "250 ok"));
  EXPECT_EQ(Session(script,
                    [&](TestClient& c) {
                      for (const Case& t : cases) c.SendRcptTo(t.notify, CTAVSMTPAddress("R", "r@x"));
                    }),
            "");
}

// Bcc recipients are in the envelope, after To and Cc; 251 counts as acceptance.
TEST(Transfer, RecipientsGoInTheOrderToCcBccAnd251IsAccepted) {
  Message m;
  m.AppendRecipient(CTAVSMTPAddress("", "b2@example.com"), CTAVSMTPMessage::RecipientTo);
  m.AppendRecipient(CTAVSMTPAddress("", "cc@example.com"), CTAVSMTPMessage::RecipientCc);
  m.AppendRecipient(CTAVSMTPAddress("", "bcc@example.com"), CTAVSMTPMessage::RecipientBcc);
  const PeerScript script = Step("MAIL FROM:<a@example.com>\r\n", "250 ok")
                                .Then(Step("RCPT TO:<b@example.com>\r\n", "251 forwarded"))
                                .Then(Step("RCPT TO:<b2@example.com>\r\n", "250 ok"))
                                .Then(Step("RCPT TO:<cc@example.com>\r\n", "251 forwarded"))
                                .Then(Step("RCPT TO:<bcc@example.com>\r\n", "250 ok"))
                                .Then(Data(m, "Hello"));
  EXPECT_EQ(SendInSession(script, m), "");
}

// Without recipients DATA follows MAIL FROM at once, and the server's answer decides.
TEST(Transfer, WithoutRecipientsDataFollowsMailFrom) {
  Message m;
  m.toList.clear();
  const PeerScript script = Step("MAIL FROM:<a@example.com>\r\n", "250 ok")
                                .Then(Step("DATA\r\n", "554 no valid recipients"));
  ExpectFailedSend(script, m, Itf(520), "554 no valid recipients");
}

namespace {

// Makes m a MIME message whose root, with the boundary "ROOT", has the file at path as
// its first part.
void AttachFile(Message& m, const std::string& title, const std::string& path) {
  m.mime = true;
  m.rootPart = CTAVSMTPBodyPart();
  m.rootPart.boundary = "ROOT";
  CTAVSMTPBodyPart attachment;
  attachment.contentType = "application/octet-stream";
  attachment.attachmentTitle = title;
  attachment.attachmentPath = path;
  m.rootPart.AddChild(attachment);
}

}  // namespace

// The root's text is the preamble; each part follows with its header, its body, its
// children and, when it has children, its closing boundary.
TEST(Transfer, MimeTreeGoesOutPartByPartInTreeOrder) {
  ScratchDirectory dir;
  Message m;
  AttachFile(m, "a.bin", dir.Write("a.bin", "abc"));
  CTAVSMTPBodyPart alternative, html;
  alternative.contentType = "multipart/alternative";
  alternative.boundary = "ALT";
  alternative.quotedPrintable = false;
  html.contentType = "text/html";
  html.contentId = "<h@x>";
  html.text = "<p>x=1</p>";
  alternative.AddChild(html);
  m.rootPart.AddChild(alternative);
  m.SetBody(".\r\nbye");

  const std::string body =
      "This is a multi-part message in MIME format"
      "\r\n\r\n--ROOT\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n"
      "\r\nYWJj"
      "\r\n--ROOT\r\nContent-Type: multipart/alternative; charset=iso-8859-1; Boundary=\"ALT\"\r\n\r\n"
      "\r\n--ALT\r\nContent-Type: text/html; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\nContent-ID: <h@x>\r\n\r\n<p>x=3D1</p>"
      "\r\n--ALT--"
      "\r\n--ROOT\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n..\r\nbye"
      "\r\n--ROOT--";
  EXPECT_EQ(SendInSession(PlainTransfer(m, body), m), "");
}

// An attachment goes out block by block as its file is read; on the wire its text is
// RenderBody's, byte for byte, across block boundaries and to a last short line.
TEST(Transfer, StreamedAttachmentIsRenderBodysTextOnTheWire) {
  ScratchDirectory dir;
  std::string bytes(2 * CAttachmentStream::blockBytes + 100, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  Message m;
  AttachFile(m, "a.bin", dir.Write("a.bin", bytes));
  m.SetBody("text");
  CTAVSMTPBodyPart rendered(*m.rootPart.ChildAt(0));
  const std::string body = "This is a multi-part message in MIME format" +
                           m.rootPart.ChildAt(0)->RenderHeader() + *rendered.RenderBody(true) +
                           m.rootPart.ChildAt(1)->RenderHeader() + "text" +
                           m.rootPart.RenderFooter();
  EXPECT_EQ(SendInSession(PlainTransfer(m, body), m), "");
}

// A bare text with 8-bit bytes goes out quoted-printable (the header says so); with
// the charset "UTF-8" it is converted from the code page first, as the header says
// UTF-8. Other charsets keep its bytes.
TEST(Transfer, PlainBodyIsSentInTheRootCharset) {
  test_locale::UseLatin1();
  struct Case {
    const char* charset;
    const char* body;
  };
  for (Case t : {Case{"UTF-8", "Caf=C3=A9\r\n..x"}, Case{"iso-8859-1", "Caf=E9\r\n..x"}}) {
    SCOPED_TRACE(t.charset);
    Message m;
    m.rootPart.charset = t.charset;
    m.SetBody("Caf\xE9\r\n.x");
    EXPECT_EQ(SendInSession(PlainTransfer(m, t.body), m), "");
  }
  std::setlocale(LC_ALL, "C");
}

namespace {

// From MAIL FROM to the 354 for a Message, then the steps of text, then whatever comes
// until the client closes.
PeerScript DataUntilClosed(const PeerScript& text = PeerScript()) {
  return Step("MAIL FROM:<a@example.com>\r\n", "250 ok")
      .Then(Step("RCPT TO:<b@example.com>\r\n", "250 ok"))
      .Then(Step("DATA\r\n", "354 go ahead"))
      .Then(text)
      .ReadUntilClosed();
}

// A send of m that fails with error past the 354: the connection is closed at once, and
// neither the end of data nor a QUIT (from Disconnect or the destructor, which follow
// as in a caller) reaches the server. Returns what the server got after the 354.
std::string ExpectSendClosedPastData(CTAVSMTPMessage& m, HRESULT error, TestClient& c,
                                     ScriptedPeer& peer) {
  c.ConnectTo(peer.Port());
  auto raised = SmtpErrorOf([&] { c.SendMailMessage(m); });
  EXPECT_TRUE(c.Closed());
  c.Disconnect(true);
  EXPECT_EQ(peer.Finish(), "");
  EXPECT_TRUE(raised && raised->m_hrError == error) << (raised ? raised->m_hrError : 0);
  const std::string& received = peer.Received();
  const std::string text = received.substr(received.find("DATA\r\n") + 6);
  EXPECT_EQ(text.find("QUIT"), std::string::npos) << EscapeBytes(text);
  EXPECT_FALSE(text.ends_with("\r\n.\r\n")) << EscapeBytes(text);
  return text;
}

}  // namespace

// An attachment that turns out unreadable once the server takes message text: the
// connection closes, where a QUIT would be read as text and its reply awaited in vain.
TEST(Transfer, AttachmentThatCannotBeReadPast354ClosesTheConnectionWithoutQuit) {
  ScratchDirectory dir;
  struct Case {
    const char* name;
    std::string path;
    std::uint32_t maxSize;
  };
  const Case cases[] = {
      {"missing", "/nonexistent/gone", CTAVSMTPBodyPart::defaultMaxAttachmentSize},
      {"a directory", dir.path.string(), CTAVSMTPBodyPart::defaultMaxAttachmentSize},
      {"over its size limit", dir.Write("ten.bin", "0123456789"), 9},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.name);
    Message m;
    AttachFile(m, "a.bin", t.path);
    m.rootPart.ChildAt(0)->maxAttachmentSize = t.maxSize;
    m.SetBody("text");
    ScriptedPeer peer{Helo().Then(DataUntilClosed())};
    TestClient c;
    ExpectSendClosedPastData(m, Itf(514), c, peer);
  }
}

// A file written over in place, at the same size, after its first block went out: the
// client's reads mix old and new bytes, so the message ends without its end of data.
// The file is larger than what the sockets can hold, so the client is still reading it
// when it is written; its times are set back first, so the write changes them whatever
// the file system's tick.
TEST(Transfer, AttachmentRewrittenInPlaceWhileSentRaises514AndCloses) {
  ScratchDirectory dir;
  const std::string path = dir.Write("big.bin", "");
  constexpr std::uintmax_t size = 64 << 20;
  std::filesystem::resize_file(path, size);
  std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - std::chrono::hours(1));
  Message m;
  AttachFile(m, "big.bin", path);
  m.rootPart.ChildAt(0)->maxAttachmentSize = size;
  m.SetBody("text");
  const std::string start = m.FixedHeader() + "\r\nThis is a multi-part message in MIME format" +
                            m.rootPart.ChildAt(0)->RenderHeader() + "AAAA";
  auto rewrite = [&] {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(size - 4096));
    file << std::string(4096, 'x');
    return file.good() ? "" : "the file could not be written";
  };
  ScriptedPeer peer{Helo().Then(DataUntilClosed(PeerScript().Expect(start).Do(rewrite)))};
  TestClient c;
  c.m_dwTimeout = 5000;  // the peer writes the file while the client waits to send
  const std::string text = ExpectSendClosedPastData(m, Itf(514), c, peer);
  EXPECT_NE(text.find("eHh4eHh4"), std::string::npos) << "the new bytes were read";
}

// Each rejection ends the transfer with its step's message and the whole reply; the
// recipients after a rejected one are not tried, and the connection stays.
TEST(Transfer, EachRejectedStepRaisesItsMessageWithTheReply) {
  Message m;
  m.AppendRecipient(CTAVSMTPAddress("", "c@example.com"), CTAVSMTPMessage::RecipientCc);
  const PeerScript mail = Step("MAIL FROM:<a@example.com>\r\n", "250 ok");
  const PeerScript rcpts = Step("RCPT TO:<b@example.com>\r\n", "250 ok")
                               .Then(Step("RCPT TO:<c@example.com>\r\n", "250 ok"));
  struct Case {
    const char* step;
    PeerScript script;
    HRESULT error;
    const char* reply;
  };
  const Case cases[] = {
      {"MAIL FROM", Step("MAIL FROM:<a@example.com>\r\n", "550-no\r\n550 sender refused"), Itf(519),
       "550-no\r\n550 sender refused"},
      {"RCPT TO", PeerScript(mail).Then(Step("RCPT TO:<b@example.com>\r\n", "550 no such user")),
       Itf(524), "550 no such user"},
      {"DATA", PeerScript(mail).Then(rcpts).Then(Step("DATA\r\n", "451 later")), Itf(520),
       "451 later"},
      {"end of data",
       PeerScript(mail).Then(rcpts).Then(Step("DATA\r\n", "354 go")).Then(
           Step(m.FixedHeader() + "\r\nHello\r\n.\r\n", "552 too big")),
       Itf(521), "552 too big"},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.step);
    ExpectFailedSend(t.script, m, t.error, t.reply);
  }
}

// Text that goes into a command or header line unencoded may not end the line: the
// message is refused before its first command. Display names and the subject are
// encoded words, and go out.
TEST(Transfer, LineBreaksInUnencodedFieldsAreRefusedBeforeAnythingIsSent) {
  using Change = std::function<void(CTAVSMTPMessage&)>;
  const std::vector<std::pair<const char*, Change>> changes = {
      {"sender", [](auto& m) { m.from.emailAddress = "a@x\r\nRSET"; }},
      {"reply-to", [](auto& m) { m.replyTo.emailAddress = "r@x\n"; }},
      {"to", [](auto& m) { m.toList[0]->emailAddress = "b@x\rDATA"; }},
      {"cc", [](auto& m) { m.AppendRecipient(CTAVSMTPAddress("", std::string("c@x\0y", 5)), 1); }},
      {"bcc", [](auto& m) { m.AppendRecipient(CTAVSMTPAddress("", "d@x\r\n"), 2); }},
      {"envelope id", [](auto& m) { m.dsnEnvelopeId = "ID\r\nRCPT TO:<x@y>"; m.dsnNotify = 1; }},
      {"extra header", [](auto& m) { m.extraHeaders.push_back("X-A: 1\r\nBcc: e@x"); }},
      {"mailer", [](auto& m) { m.mailer = "m\nBcc: e@x"; }},
      {"root type", [](auto& m) { m.rootPart.contentType = "text/plain\r\nBcc: e@x"; }},
      {"root charset", [](auto& m) { m.rootPart.charset = "x\n"; }},
      {"part title", [](auto& m) {
         CTAVSMTPBodyPart p;
         p.attachmentTitle = "a\r\nb";
         m.rootPart.AddChild(p);
       }},
      {"grandchild id", [](auto& m) {
         CTAVSMTPBodyPart p, q;
         q.contentId = std::string("<\0>", 3);
         p.AddChild(q);
         m.rootPart.AddChild(p);
       }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    Message m;
    change(m);
    ExpectFailedSend(PeerScript(), m, Win32(87), "");
  }

  Message encoded;
  encoded.subject = "a\r\nBcc: e@x";
  encoded.from.displayName = "Evil\r\nBcc: e@x";
  EXPECT_EQ(SendInSession(PlainTransfer(encoded, "Hello"), encoded),
            "");
}

// What would close an address's angle brackets early, end the header block or the data,
// or make a header line no server accepts, is refused before the first command.
TEST(Transfer, BracketsInAddressesAndDataEndingHeaderLinesAreRefusedBeforeAnythingIsSent) {
  using Change = std::function<void(CTAVSMTPMessage&)>;
  const std::vector<std::pair<const char*, Change>> changes = {
      {"sender", [](auto& m) { m.from.emailAddress = "a@x> SIZE=1"; }},
      {"reply-to", [](auto& m) { m.replyTo.emailAddress = "<r@x"; }},
      {"to", [](auto& m) { m.toList[0]->emailAddress = "b@x> NOTIFY=NEVER"; }},
      {"bcc", [](auto& m) { m.AppendRecipient(CTAVSMTPAddress("", "d@x>"), 2); }},
      {"message id", [](auto& m) { m.messageId = "x@y>, <z@w"; }},
      {"envelope id with a blank", [](auto& m) { m.dsnEnvelopeId = "ID RET=FULL"; m.dsnNotify = 1; }},
      {"envelope id with 8-bit", [](auto& m) { m.dsnEnvelopeId = "ID\xE9"; m.dsnNotify = 1; }},
      {"empty extra line", [](auto& m) { m.extraHeaders.push_back(""); }},
      {"lone dot", [](auto& m) { m.extraHeaders.push_back("."); }},
      {"leading dot", [](auto& m) { m.extraHeaders.push_back(".X-A: 1"); }},
      {"unfoldable extra line", [](auto& m) { m.extraHeaders.push_back("X-A: " + std::string(998, 'a')); }},
      {"unfoldable mailer", [](auto& m) { m.mailer = std::string(998, 'm'); }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    Message m;
    change(m);
    std::optional<CTAVSMTPException> error;
    EXPECT_EQ(Session(PeerScript(), [&](TestClient& c) { error = SmtpErrorOf([&] { c.SendMailMessage(m); }); }),
              "");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Win32(87));
  }

  // Long extra lines and mailers that can be folded go out folded.
  Message folded;
  folded.extraHeaders.push_back("X-A: " + std::string(997, 'a'));  // folds after "X-A:"
  folded.extraHeaders.push_back("X-B: " + std::string(60, 'b') + " " + std::string(60, 'b'));
  folded.mailer = std::string(900, 'm') + " 2.0";
  const std::string header = folded.FixedHeader();
  EXPECT_NE(header.find("\r\nX-B: " + std::string(60, 'b') + "\r\n " + std::string(60, 'b') + "\r\n"),
            std::string::npos);
  EXPECT_EQ(Session(PlainTransfer(folded, "Hello"), [&](TestClient& c) { c.SendMailMessage(folded); }), "");
}

// A message without its own Message-ID gets a fresh one, right after the Date line, at
// the sender's domain, else at the HELO name; one set by an extra line stays alone.
TEST(Transfer, MessageIdIsFreshAtTheSendersDomainElseTheHeloName) {
  struct Case {
    std::string sender;
    std::vector<std::string> extra;
    std::string domain;  // empty: no Message-ID line of ours
  };
  const Case cases[] = {
      {"a@example.com", {}, "example.com"},
      {"postmaster", {}, "client"},
      {"a@example.com", {"Message-Id: <own@example.com>"}, ""},
  };
  std::vector<std::string> ids;
  for (const Case& t : cases) {
    SCOPED_TRACE(t.sender);
    CTAVSMTPMessage m;
    m.from.emailAddress = t.sender;
    m.extraHeaders = t.extra;
    m.SetBody("Hello");
    const PeerScript script = Step("MAIL FROM:<" + t.sender + ">\r\n", "250 ok")
                                  .Then(Step("DATA\r\n", "354 go ahead"))
                                  .Then(PeerScript().ReadUntil("\r\n.\r\n").Send("250 queued\r\n"));
    ScriptedPeer peer{Helo().Then(script).Then(Quit())};
    TestClient c;
    c.ConnectTo(peer.Port());
    c.SendMailMessage(m);
    c.Disconnect(true);
    ASSERT_EQ(peer.Finish(), "");
    const std::string& wire = peer.Received();
    const std::size_t date = wire.find("\r\nDate: ");
    ASSERT_NE(date, std::string::npos);
    const std::size_t next = wire.find("\r\n", date + 2) + 2;
    if (t.domain.empty()) {
      EXPECT_EQ(wire.find("Message-ID:"), std::string::npos);
      EXPECT_NE(wire.find("\r\nMessage-Id: <own@example.com>\r\n"), std::string::npos);
      continue;
    }
    const std::string line = wire.substr(next, wire.find("\r\n", next) - next);
    ASSERT_EQ(line.size(), std::string("Message-ID: <>").size() + 44 + 1 + t.domain.size()) << line;
    EXPECT_TRUE(line.starts_with("Message-ID: <")) << line;
    EXPECT_EQ(line.substr(13, 44).find_first_not_of("0123456789abcdef"), std::string::npos) << line;
    EXPECT_TRUE(line.ends_with("@" + t.domain + ">")) << line;
    EXPECT_EQ(line, "Message-ID: <" + m.messageId + ">");
    ids.push_back(m.messageId);
  }
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[0].substr(0, 44), ids[1].substr(0, 44));
}

// A server that answers 354 and then takes nothing more: the send ends by the timeout
// whatever the size of the message, and the connection is closed, as a QUIT would be
// message text.
TEST(Transfer, ServerThatStopsReadingAfter354EndsTheSendWith10060AndCloses) {
  Message m(std::string(64 << 20, 'x'));
  ScriptedPeer peer{Helo()
                        .Then(Step("MAIL FROM:<a@example.com>\r\n", "250 ok"))
                        .Then(Step("RCPT TO:<b@example.com>\r\n", "250 ok"))
                        .Then(Step("DATA\r\n", "354 go ahead"))
                        .Pause(std::chrono::seconds(10))};
  TestClient c;
  c.ConnectTo(peer.Port());
  auto error = SmtpErrorOf([&] { c.SendMailMessage(m); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Win32(10060));
  EXPECT_TRUE(c.Closed());
}

namespace {

// The length of the longest line of text, without its CR LF.
std::size_t LongestLine(const std::string& text) {
  std::size_t longest = 0;
  for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    longest = std::max(longest, end - at);
  }
  return longest;
}

// An address of n octets.
std::string AddressOf(std::size_t n) { return std::string(n - 12, 'x') + "@example.com"; }

}  // namespace

// An address, an envelope id or a Message-ID cannot be folded: at the limit of the line
// that holds it (512 octets for a command with its CR LF, 998 for a header line without)
// the message goes out, one octet more and it is refused before anything is sent.
TEST(Transfer, LinesThatCannotFoldGoOutAtTheirLimitAndAreRefusedPastIt) {
  using Change = std::function<void(Message&, std::size_t)>;
  struct Case {
    const char* field;
    Change change;
    std::size_t within;       // the longest that goes out
    std::size_t longestLine;  // then, without CR LF
  };
  const Case cases[] = {
      {"sender", [](Message& m, std::size_t n) { m.from.emailAddress = AddressOf(n); }, 498, 510},
      {"sender, DSN with a given envelope id",
       [](Message& m, std::size_t n) {
         m.from.emailAddress = AddressOf(n);
         m.dsnNotify = 2;
         m.dsnEnvelopeId = "ENV1";
       },
       478, 510},
      {"sender, DSN with a new envelope id",
       [](Message& m, std::size_t n) {
         m.from.emailAddress = AddressOf(n);
         m.dsnNotify = 2;
       },
       450, 510},
      {"envelope id",
       [](Message& m, std::size_t n) {
         m.dsnNotify = 2;
         m.dsnEnvelopeId = std::string(n, 'E');
       },
       469, 510},
      {"To", [](Message& m, std::size_t n) { m.toList[0]->emailAddress = AddressOf(n); }, 500, 510},
      {"Cc, NOTIFY=NEVER",
       [](Message& m, std::size_t n) {
         m.AppendRecipient(CTAVSMTPAddress("Name", AddressOf(n)), CTAVSMTPMessage::RecipientCc);
         m.dsnNotify = 0;
       },
       487, 510},
      {"Bcc, NOTIFY=SUCCESS,FAILURE,DELAY",
       [](Message& m, std::size_t n) {
         m.AppendRecipient(CTAVSMTPAddress("", AddressOf(n)), CTAVSMTPMessage::RecipientBcc);
         m.dsnNotify = 7;
       },
       471, 510},
      {"Reply-To", [](Message& m, std::size_t n) { m.replyTo.emailAddress = AddressOf(n); }, 988, 998},
      {"Message-ID", [](Message& m, std::size_t n) { m.messageId = AddressOf(n); }, 984, 998},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.field);
    Message within;
    t.change(within, t.within);
    PeerScript envelope = PeerScript().ReadLine().Send("250 ok\r\n");
    for (int kind : {0, 1, 2}) {
      for (int i = 0; i < within.RecipientCount(kind); ++i) envelope.ReadLine().Send("250 ok\r\n");
    }
    ScriptedPeer peer{Helo()
                          .Then(envelope)
                          .Then(Step("DATA\r\n", "354 go ahead"))
                          .ReadUntil("\r\n.\r\n")
                          .Send("250 queued\r\n")
                          .Then(Quit())};
    TestClient c;
    c.ConnectTo(peer.Port());
    c.SendMailMessage(within);
    c.Disconnect(true);
    ASSERT_EQ(peer.Finish(), "");
    EXPECT_EQ(LongestLine(peer.Received()), t.longestLine);

    Message over;
    t.change(over, t.within + 1);
    ExpectFailedSend(PeerScript(), over, Win32(87), "");
  }
}

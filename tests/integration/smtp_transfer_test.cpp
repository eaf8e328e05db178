// Messages sent to aiosmtpd on 127.0.0.1, plain and over implicit TLS, compared with
// what they render: the envelope (Bcc recipients only there, DSN parameters as given),
// the header block and the body with its dots unstuffed by the server; and a MIME
// message with a 10 MiB attachment read back by Python's email package byte for byte;
// messages with long and 8-bit texts, each accepted and read back as sent; one whose
// attachment changes while it is sent, which the server never stores; and a batch with
// a refused message in the middle, each of the others stored as SendMailMessage sends
// it, over a server that offers no PIPELINING.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "smtp/connection.h"
#include "smtp/message_batch.h"
#include "errors/message_table.h"
#include "tests/support/catch_error.h"
#include "tests/support/fixed_date_message.h"
#include "tests/support/hard_messages.h"
#include "tests/support/parse_message.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/smtp_client.h"
#include "tests/support/smtp_server.h"

namespace {

// A real server answers at once; the bound only ends a test that has gone wrong, so it
// is generous enough for a loaded machine.
constexpr std::uint32_t replyBound = 2000;

// EHLO, as the DSN parameters need, with LOGIN.
class Client : public CTAVSMTPConnection {
 public:
  Client(const SmtpTestServer& server, bool tls) {
    SetHeloHostname("client.test");
    m_dwTimeout = replyBound;
    Connect(tls ? "localhost" : "127.0.0.1", AuthLogin, "user", "secret", server.Port(), tls);
  }
};

// What the server keeps of a plain message: the header block, the empty line, the body
// text and the CR LF that ends its last line.
std::string StoredText(const FixedDateMessage& m) {
  return m.FixedHeader() + "\r\n" + m.rootPart.text + "\r\n";
}

std::string RandomBytes(std::size_t n) {
  std::mt19937 rng(7);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

class OverEachTransport : public testing::TestWithParam<bool> {};

}  // namespace

TEST_P(OverEachTransport, ThreeMessagesOnOneConnectionArriveAsRendered) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}, .tls = GetParam(), .dsn = true});
  FixedDateMessage first, empty, dsn;
  first.from = CTAVSMTPAddress("Sender", "a@example.com");
  first.AppendRecipient(CTAVSMTPAddress("One", "to1@example.com"), CTAVSMTPMessage::RecipientTo);
  first.AppendRecipient(CTAVSMTPAddress("", "to2@example.com"), CTAVSMTPMessage::RecipientTo);
  first.AppendRecipient(CTAVSMTPAddress("", "cc@example.com"), CTAVSMTPMessage::RecipientCc);
  first.AppendRecipient(CTAVSMTPAddress("Hidden", "bcc@example.com"), CTAVSMTPMessage::RecipientBcc);
  first.subject = "First";
  first.SetBody(".\n..two\r\n.leading\n\nlast .\n.");
  empty.from = CTAVSMTPAddress("", "b@example.com");
  empty.AppendRecipient(CTAVSMTPAddress("", "to@example.com"), CTAVSMTPMessage::RecipientTo);
  dsn.from = CTAVSMTPAddress("", "c@example.com");
  dsn.AppendRecipient(CTAVSMTPAddress("", "to@example.com"), CTAVSMTPMessage::RecipientTo);
  dsn.dsnNotify = 6;
  dsn.dsnReturnFull = true;
  dsn.SetBody("Notify me.");
  {
    Client c(server, GetParam());
    for (FixedDateMessage* m : {&first, &empty, &dsn}) c.SendMailMessage(*m);
    c.Disconnect(true);
  }
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 3u) << server.Log();
  EXPECT_EQ(messages[0].envelope,
            "MAIL FROM:<a@example.com>\nRCPT TO:<to1@example.com>\nRCPT TO:<to2@example.com>\n"
            "RCPT TO:<cc@example.com>\nRCPT TO:<bcc@example.com>\n");
  EXPECT_EQ(messages[0].content, StoredText(first));
  EXPECT_EQ(messages[0].content.find("bcc@"), std::string::npos);
  EXPECT_EQ(messages[1].envelope, "MAIL FROM:<b@example.com>\nRCPT TO:<to@example.com>\n");
  EXPECT_EQ(messages[1].content, StoredText(empty));
  EXPECT_EQ(messages[2].envelope, "MAIL FROM:<c@example.com> RET=FULL ENVID=" +
                                      dsn.dsnEnvelopeId +
                                      "\nRCPT TO:<to@example.com> NOTIFY=FAILURE,DELAY\n");
  EXPECT_EQ(messages[2].content, StoredText(dsn));
}

INSTANTIATE_TEST_SUITE_P(Aiosmtpd, OverEachTransport, testing::Values(false, true),
                         [](const auto& test) { return test.param ? "Tls" : "Plain"; });

TEST(MessageBatch, RefusedMessageInTheMiddleLeavesTheOthersAsSendMailMessageSendsThem) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}, .dsn = true, .rejectedRecipients = {"nobody@example.com"}});
  std::vector<FixedDateMessage> messages(4);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    messages[i].from = CTAVSMTPAddress("", "a@example.com");
    messages[i].AppendRecipient(CTAVSMTPAddress("", i == 1 ? "nobody@example.com" : "to@example.com"),
                                CTAVSMTPMessage::RecipientTo);
    messages[i].subject = "Message " + std::to_string(i);
    messages[i].SetBody("Body " + std::to_string(i) + "\n.\n");
  }
  messages[2].AppendRecipient(CTAVSMTPAddress("", "cc@example.com"), CTAVSMTPMessage::RecipientCc);
  messages[3].dsnNotify = 2;
  std::size_t next = 0;
  std::vector<CBatchOutcome> outcomes;
  {
    Client c(server, false);
    CMessageBatchSource source(
        c, [&]() -> CTAVSMTPMessage* { return next < messages.size() ? &messages[next++] : nullptr; },
        [&](CTAVSMTPMessage& m, const CBatchOutcome& outcome) {
          EXPECT_EQ(&m, &messages[outcomes.size()]);
          outcomes.push_back(outcome);
        });
    c.SendBatch(source);
    c.Disconnect(true);
  }
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_EQ(outcomes[1].failure->m_hrError, MakeFailureHresult(FACILITY_ITF, msgRcptTo));
  EXPECT_EQ(outcomes[1].refusedRecipient, "nobody@example.com");
  const auto stored = server.Messages();
  ASSERT_EQ(stored.size(), 3u) << server.Log();
  for (std::size_t i : {0u, 2u, 3u}) {
    EXPECT_TRUE(outcomes[i].accepted) << i;
    EXPECT_EQ(stored[i == 0 ? 0 : i - 1].content, StoredText(messages[i])) << i;
  }
  EXPECT_EQ(stored[2].envelope, "MAIL FROM:<a@example.com> RET=HDRS ENVID=" + messages[3].dsnEnvelopeId +
                                    "\nRCPT TO:<to@example.com> NOTIFY=FAILURE\n");
  const auto transcript = server.Transcript();
  EXPECT_NE(std::find(transcript.begin(), transcript.end(), "RSET"), transcript.end());
}

TEST(MimeTransfer, TenMiBAttachmentIsReadBackByteForByte) {
  ScratchDirectory dir;
  const std::string bytes = RandomBytes(10 << 20);
  FixedDateMessage m;
  m.mime = true;
  m.from = CTAVSMTPAddress("", "a@example.com");
  m.AppendRecipient(CTAVSMTPAddress("", "b@example.com"), CTAVSMTPMessage::RecipientTo);
  m.subject = "Big file";
  CTAVSMTPBodyPart attachment;
  attachment.contentType = "application/octet-stream";
  attachment.attachmentTitle = "big.bin";
  attachment.attachmentPath = dir.Write("big.bin", bytes);
  m.rootPart.AddChild(attachment);
  m.SetBody("The file.\n.\nBye");

  SmtpTestServer server({.mechanisms = {"LOGIN"}});
  {
    Client c(server, false);
    c.SendMailMessage(m);
    c.Disconnect(true);
  }
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u) << server.Log();
  EXPECT_EQ(messages[0].envelope, "MAIL FROM:<a@example.com>\nRCPT TO:<b@example.com>\n");
  const std::string& content = messages[0].content;
  EXPECT_EQ(content.substr(0, m.FixedHeader().size() + 2), m.FixedHeader() + "\r\n");
  const auto lines = ParseMessageFile(dir.Write("received.eml", content));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "headers from,to,subject,x-mailer,mime-version,content-type,date,message-id");
  EXPECT_EQ(lines[4], "multipart multipart/mixed");
  // Compared without printing: a difference would print 20 MiB of hex.
  EXPECT_TRUE(lines[5] == "part application/octet-stream " + Hex("big.bin") + " " + Hex(bytes));
  EXPECT_EQ(lines[6], "part text/plain - " + Hex("The file.\n.\nBye"));
  EXPECT_EQ(lines[7], "defects 0");
}

namespace {

// The most that the client can have read of a file beyond the text the server has read:
// what its send buffer holds (the kernel's largest, tcp_wmem's third value), the
// server's fixed 64 KiB receive buffer and one block of its own, with room to spare.
std::uint64_t ReadAheadBound() {
  std::ifstream wmem("/proc/sys/net/ipv4/tcp_wmem");
  std::uint64_t least = 0, initial = 0, largest = 4 << 20;
  wmem >> least >> initial >> largest;
  return largest + (1 << 20);
}

bool WaitForDataEnd(const SmtpTestServer& server) {
  for (int i = 0; i < 3000; ++i) {
    if (server.Log().find("DATA ended") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

// The server cuts the attachment, or makes it longer, as its first line arrives, when the
// client has read no more than the bound: the client stops without the end of data and
// closes the connection, and nothing is stored.
TEST_P(OverEachTransport, AttachmentThatChangesWhileSentIsNeverStored) {
  const std::uint64_t bound = ReadAheadBound();
  for (std::uint64_t changedSize : {bound, 2 * bound + 1}) {
    SCOPED_TRACE(changedSize);
    ScratchDirectory dir;
    FixedDateMessage m;
    m.mime = true;
    m.from = CTAVSMTPAddress("", "a@example.com");
    m.AppendRecipient(CTAVSMTPAddress("", "b@example.com"), CTAVSMTPMessage::RecipientTo);
    CTAVSMTPBodyPart attachment;
    attachment.attachmentTitle = "changing.bin";
    attachment.attachmentPath = dir.Write("changing.bin", RandomBytes(2 * bound));
    attachment.maxAttachmentSize = 0xFFFFFFFF;
    m.rootPart.AddChild(attachment);
    m.SetBody("The file.");

    SmtpTestServer server({.mechanisms = {"LOGIN"},
                           .tls = GetParam(),
                           .resizeOnData = {{attachment.attachmentPath, changedSize}}});
    Client c(server, GetParam());
    const auto error = SmtpErrorOf([&] { c.SendMailMessage(m); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(msgPartBody));
    EXPECT_FALSE(c.m_bConnected);
    EXPECT_EQ(c.m_socket.GetSocketHandle(), INVALID_SOCKET);
    ASSERT_TRUE(WaitForDataEnd(server)) << server.Log();
    EXPECT_TRUE(server.Messages().empty());
    EXPECT_EQ(server.Transcript().back(), "DATA");
  }
}

// aiosmtpd refuses a line over 1,000 octets: it takes each of these messages, every line
// of which stays within 998 octets and every header line within 78 characters; Python's
// email and Perl's Email::MIME read each back exactly as it was sent.
TEST(HardMessages, AreAcceptedAndReadBackAsSent) {
  SmtpTestServer server({.mechanisms = {"LOGIN"}});
  ScratchDirectory dir;
  const std::vector<HardCase> cases = HardCases();
  const CTAVSMTPAddress recipient("Ops; <team>", "ops@example.com");
  {
    Client c(server, false);
    for (const HardCase& t : cases) {
      SCOPED_TRACE(t.name);
      UseLocaleOf(t);
      CTAVSMTPMessage m;
      ComposeHardMessage(t, recipient, m);
      c.SendMailMessage(m);
    }
    c.Disconnect(true);
  }
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), cases.size()) << server.Log();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const std::string& content = messages[i].content;
    ExpectReadBackAsSent(cases[i], recipient, content, "\r\n", dir.Write("message.eml", content));
  }
}

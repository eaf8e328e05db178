// Messages sent to aiosmtpd on 127.0.0.1, plain and over implicit TLS, compared with
// what they render: the envelope (Bcc recipients only there, DSN parameters as given),
// the header block and the body with its dots unstuffed by the server; and a MIME
// message with a 10 MiB attachment read back by Python's email package byte for byte;
// messages with long and 8-bit texts, each accepted and read back as sent; and one
// whose attachment changes while it is sent, which the server never stores.
#include <chrono>
#include <clocale>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "smtp/connection.h"
#include "errors/message_table.h"
#include "tests/support/catch_error.h"
#include "tests/support/fixed_date_message.h"
#include "tests/support/locale_fixture.h"
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

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  for (unsigned char b : text) {
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

std::string CrLfToLf(std::string text) {
  for (std::size_t p = text.find("\r\n"); p != text.npos; p = text.find("\r\n", p)) text.erase(p, 1);
  return text;
}

// A message that other mailers break on the way: the texts are in the code page of the
// locale the case names.
struct HardCase {
  const char* name;
  const char* locale;  // "C", "C.UTF-8" or "Latin-1"
  std::string subject;
  std::string senderName;
  std::string body;
  bool mime = false;
};

std::vector<HardCase> HardCases() {
  const std::string e = "\xC3\xA9", euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
  std::string ascii300, utf8300, cyrillic170, longLine = std::string(1500, 'x');
  for (int i = 0; ascii300.size() < 300; ++i) ascii300 += "word" + std::to_string(i) + " ";
  ascii300.resize(300);
  for (int i = 0; i < 300; ++i) utf8300 += i % 7 == 6 ? " " : i % 3 == 0 ? e : i % 3 == 1 ? euro : smile;
  for (int i = 0; i < 170; ++i) cyrillic170 += "\xD0\x96";
  for (int i = 0; i < 100; ++i) longLine.insert(longLine.size() - 15 * i, " ");
  std::string line10000;
  for (int i = 0; line10000.size() < 10000; ++i) line10000 += "w" + std::to_string(i) + (i % 50 ? "" : " ");
  return {
      {"300 ASCII characters", "C.UTF-8", ascii300, "Sender", "short"},
      {"300 UTF-8 characters", "C.UTF-8", utf8300, "Sender", "short"},
      {"170 Cyrillic characters", "C.UTF-8", cyrillic170, "Sender", "short"},
      {"a character at the 70th byte", "C.UTF-8", std::string(69, 'a') + e + " " + std::string(68, 'a') + euro,
       "Sender", "short"},
      {"a four-byte character at the 70th byte", "C", std::string(67, 'a') + smile + "b", "Sender", "short"},
      {"a 1,500-character line", "C.UTF-8", "Long", "Sender", "first\n" + longLine + "\nlast"},
      {"a 10,000-character line", "C", "Longer", "Sender", line10000},
      {"trailing blanks", "C.UTF-8", "Blanks", "Sender", "end   \nline\t\n \nlast "},
      {"trailing blanks in 8-bit text", "C.UTF-8", "Blanks", "Sender", "caf" + e + "   \nline\t\n \n"},
      {"8-bit text in C", "C", "Gr" + e, "Sender", "Gr\xC3\xBC\xC3\x9F" "e " + smile + "\n.\nbye"},
      {"8-bit text in C.UTF-8", "C.UTF-8", "Gr" + e, "J" + e + "r", "Gr\xC3\xBC\xC3\x9F" "e\n.\nbye"},
      {"8-bit text in Latin-1", "Latin-1", "Gr\xFC\xDF" "e", "J\xFCrgen", "Gr\xFC\xDF" "e\n.\nbye"},
      {"a name with a comma and quotes", "C.UTF-8", "Names", "Smith, John \"JJ\" \\ Jr.", "short"},
      {"a name with brackets", "C.UTF-8", "Names", "Ops; <team>", "short"},
      {"an 8-bit name with a comma", "C.UTF-8", "Names", "M\xC3\xBCller, J\xC3\xB6rg", "short"},
      {"a long 8-bit line in a MIME part", "Latin-1", "Part", "Sender", std::string(2000, '\xE9'), true},
  };
}

void UseLocale(const std::string& locale) {
  if (locale == "Latin-1") {
    test_locale::UseLatin1();
  } else {
    ASSERT_NE(std::setlocale(LC_ALL, locale.c_str()), nullptr);
  }
}

// What the readers print for the text of a case.
std::string Utf8Of(const HardCase& c, const std::string& text) {
  return std::string(c.locale) == "Latin-1" ? Latin1ToUtf8(text) : text;
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
  {
    Client c(server, false);
    for (const HardCase& t : cases) {
      SCOPED_TRACE(t.name);
      UseLocale(t.locale);
      CTAVSMTPMessage m;
      m.mime = t.mime;
      m.rootPart.charset = std::string(t.locale) == "Latin-1" ? "iso-8859-1" : "UTF-8";
      m.from = CTAVSMTPAddress(t.senderName, "sender@example.com");
      m.AppendRecipient(CTAVSMTPAddress("Ops; <team>", "ops@example.com"), CTAVSMTPMessage::RecipientTo);
      m.subject = t.subject;
      m.SetBody(t.body);
      c.SendMailMessage(m);
    }
    c.Disconnect(true);
  }
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), cases.size()) << server.Log();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const HardCase& t = cases[i];
    SCOPED_TRACE(t.name);
    const std::string& content = messages[i].content;
    const std::size_t headerEnd = content.find("\r\n\r\n");
    for (std::size_t from = 0, p; (p = content.find("\r\n", from)) != content.npos; from = p + 2) {
      EXPECT_LE(p - from, from < headerEnd ? 78u : 998u) << content.substr(from, 100);
    }
    const auto lines = ParseMessageFileWithBothReaders(dir.Write("message.eml", content));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_NE(lines[0].find(",date,message-id"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "subject " + Hex(Utf8Of(t, t.subject)));
    EXPECT_EQ(lines[2], "from " + Hex(Utf8Of(t, t.senderName)) + " " + Hex("sender@example.com"));
    EXPECT_EQ(lines[3], "to " + Hex("Ops; <team>") + " " + Hex("ops@example.com"));
    const std::string text = CrLfToLf(Utf8Of(t, t.body)) + (t.mime ? "" : "\n");
    EXPECT_EQ(lines[lines.size() - 2], "part text/plain - " + Hex(text));
    EXPECT_EQ(lines.back(), "defects 0");
  }
}

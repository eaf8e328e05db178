// The program against Postfix, the real MTA of the suite: an instance of its own on
// 127.0.0.1 that requires STARTTLS and SASL (Cyrus, sasldb) and delivers to a Maildir.
// The program switches to TLS, checks the certificate against the test CA, logs in with
// LOGIN, CRAM-MD5, PLAIN with its initial response (RFC 4616) or the best one Postfix
// offers after the switch, and the message is read back from the Maildir with Python's
// email package. The engine sends Postfix the messages that other mailers break on the
// way, each read back from the Maildir as sent, and a pipelined batch of 1,000
// messages with a refused one in the middle. Internationalised addresses go out in
// UTF-8 where Postfix offers SMTPUTF8 and with A-labels where it does not, and a message
// over Postfix's size limit is refused before it is sent.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "errors/message_table.h"
#include "smtp/connection.h"
#include "smtp/message_batch.h"
#include "tests/support/catch_error.h"
#include "tests/support/hard_messages.h"
#include "tests/support/locale_fixture.h"
#include "tests/support/mailer_program.h"
#include "tests/support/parse_message.h"
#include "tests/support/postfix_server.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_client.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// A local part and a domain that are not ASCII, and the domain's A-label.
const std::string jurgen = "j\xc3\xbcrgen";
const std::string buecher = "b\xc3\xbc" "cher.test";
const std::string buecherALabel = "xn--bcher-kva.test";

class Postfix : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!PostfixServer::Unavailable().empty()) return;
    ca = std::make_unique<TestCertificateAuthority>();
    server = std::make_unique<PostfixServer>(
        PostfixOptions{.certificate = ca->Issue("localhost", "DNS:localhost,IP:127.0.0.1,IP:::1"),
                       .mailboxes = {"admin", "hard", "batch", jurgen, "intl"},
                       .moreDomains = {buecher, buecherALabel},
                       .ipv6 = HasIPv6Loopback()});
  }
  static void TearDownTestSuite() {
    server.reset();
    ca.reset();
  }

  void SetUp() override {
    if (std::string why = PostfixServer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  }

  // A STARTTLS session with the test CA trusted, the account user/secret and the
  // mechanism of authMethod, to admin@mail.test; more values replace these.
  static MailerRun Send(const std::string& authMethod, const std::string& subject,
                        const Values& more = {}) {
    Values values{{"Server", "localhost"},
                  {"Port", std::to_string(server->Port())},
                  {"StartTLS", "1"},
                  {"TLSCAFile", ca->Certificate().string()},
                  {"AuthMethod", authMethod},
                  {"AuthUser", "user"},
                  {"AuthPassword", "secret"},
                  {"SenderName", "Backup job"},
                  {"SenderEMail", "backup@example.com"},
                  {"RecipientName", "Admin"},
                  {"RecipientEMail", "admin@mail.test"}};
    for (const auto& [name, value] : more) {
      for (auto& entry : values) {
        if (entry.first == name) entry.second = value;
      }
    }
    return RunMailer(SmtpSettings(values), {subject, "Sent through Postfix."});
  }

  // The lines Python's email package prints for each message in the mailbox, once
  // count have arrived.
  static std::vector<std::vector<std::string>> Mailbox(std::size_t count) {
    std::vector<std::vector<std::string>> parsed;
    for (const auto& file : server->Delivered("admin", count)) {
      parsed.push_back(ParseMessageFile(file.string()));
    }
    return parsed;
  }

  static std::unique_ptr<TestCertificateAuthority> ca;
  static std::unique_ptr<PostfixServer> server;
  static std::size_t delivered;  // messages the suite has delivered so far
};

std::unique_ptr<TestCertificateAuthority> Postfix::ca;
std::unique_ptr<PostfixServer> Postfix::server;
std::size_t Postfix::delivered = 0;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// True when one of messages has the subject (printed as hex) and the body.
bool HasMessage(const std::vector<std::vector<std::string>>& messages, const std::string& subject) {
  for (const auto& lines : messages) {
    bool subjectFound = false, bodyFound = false;
    for (const std::string& line : lines) {
      subjectFound = subjectFound || line == "subject " + Hex(subject);
      bodyFound = bodyFound || line == "part text/plain - " + Hex("Sent through Postfix.\n");
    }
    if (subjectFound && bodyFound) return true;
  }
  return false;
}

}  // namespace

// AuthMethod 5 chooses from what Postfix offers after the switch (it offers AUTH only
// in TLS): CRAM-MD5 comes before LOGIN and PLAIN.
TEST_F(Postfix, DeliversAfterStartTlsWithEachMechanism) {
  for (const auto& [method, mechanism] : std::vector<std::pair<std::string, std::string>>{
           {"2", "LOGIN"}, {"1", "CRAM-MD5"}, {"5", "CRAM-MD5"}}) {
    std::string subject = "Via Postfix, AuthMethod " + method;
    MailerRun run = Send(method, subject);
    ASSERT_EQ(run.exitCode, 0) << run.output << server->Log();
    ++delivered;
    EXPECT_TRUE(HasMessage(Mailbox(delivered), subject)) << subject;
  }
  const std::string log = server->Log();
  EXPECT_TRUE(Contains(log, "sasl_method=LOGIN, sasl_username=user@mail.test")) << log;
  EXPECT_TRUE(Contains(log, "sasl_method=CRAM-MD5, sasl_username=user@mail.test")) << log;
}

// What every user of a submission port met before: without the switch, Postfix takes
// no authentication. (A CA file without TLS would fail the run before connecting.)
TEST_F(Postfix, WithoutStartTlsTheLoginIsRefused) {
  MailerRun run = Send("2", "No STARTTLS", {{"StartTLS", "0"}, {"TLSCAFile", ""}});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.output, "530 5.7.0 Must issue a STARTTLS command first"))
      << run.output;
}

// Over IPv6 the literal is checked against the certificate's IP address, and no SNI
// goes out for it.
TEST_F(Postfix, DeliversOverIPv6ToALiteralServer) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address";
  for (const char* literal : {"::1", "[::1]"}) {
    std::string subject = std::string("Over IPv6 to ") + literal;
    MailerRun run = Send("2", subject, {{"Server", literal}});
    ASSERT_EQ(run.exitCode, 0) << run.output << server->Log();
    ++delivered;
    EXPECT_TRUE(HasMessage(Mailbox(delivered), subject)) << subject;
  }
  EXPECT_TRUE(Contains(server->Log(), "connect from unknown[::1]")) << server->Log();
}

// The certificate names localhost, 127.0.0.1 and ::1 only: reached as 127.0.0.2 or
// without the CA, the run stops before the login, and a wrong password is refused.
TEST_F(Postfix, UntrustedCertificateOrWrongPasswordDeliversNothing) {
  MailerRun untrusted = Send("2", "Untrusted", {{"TLSCAFile", ""}});
  EXPECT_EQ(untrusted.exitCode, 1);
  EXPECT_TRUE(Contains(untrusted.output, "unable to get local issuer certificate"))
      << untrusted.output;
  MailerRun wrongName = Send("2", "Wrong name", {{"Server", "127.0.0.2"}});
  EXPECT_EQ(wrongName.exitCode, 1);
  MailerRun wrongPassword = Send("1", "Wrong password", {{"AuthPassword", "wrong"}});
  EXPECT_EQ(wrongPassword.exitCode, 1);
  EXPECT_TRUE(Contains(wrongPassword.output, "535 5.7.8")) << wrongPassword.output;
  EXPECT_EQ(Mailbox(delivered).size(), delivered);
}

// Postfix's PLAIN is RFC 4616's: it takes the credentials on the AUTH line, and a
// wrong password is refused with the message of that step.
TEST_F(Postfix, SaslPlainDeliversWithTheRightPasswordOnly) {
  MailerRun run = Send("6", "Via Postfix, AuthMethod 6");
  ASSERT_EQ(run.exitCode, 0) << run.output << server->Log();
  ++delivered;
  EXPECT_TRUE(HasMessage(Mailbox(delivered), "Via Postfix, AuthMethod 6"));
  EXPECT_TRUE(Contains(server->Log(), "sasl_method=PLAIN, sasl_username=user@mail.test"))
      << server->Log();
  MailerRun wrongPassword = Send("6", "Wrong PLAIN password", {{"AuthPassword", "wrong"}});
  EXPECT_EQ(wrongPassword.exitCode, 1);
  EXPECT_TRUE(Contains(wrongPassword.output,
                       "e-mailer: Unexpected AUTH PLAIN credentials response, "
                       "Last Response: 535 5.7.8"))
      << wrongPassword.output;
  EXPECT_EQ(Mailbox(delivered).size(), delivered);
}

namespace {

// The engine over STARTTLS with the test CA trusted, logged in with RFC 4616 PLAIN.
class Client : public CTAVSMTPConnection {
 public:
  Client(std::uint16_t port, const std::string& caFile) {
    SetHeloHostname("client.test");
    m_bStartTLS = true;
    m_sTLSCAFile = caFile;
    Connect("localhost", AuthSaslPlain, "user", "secret", port, false);
  }
};

// The case whose message, sent with messageIds[i], is stored.
std::size_t CaseOf(const std::string& stored, const std::vector<std::string>& messageIds) {
  for (std::size_t i = 0; i < messageIds.size(); ++i) {
    if (Contains(stored, "\nMessage-ID: <" + messageIds[i] + ">\n")) return i;
  }
  return messageIds.size();
}

}  // namespace

// Postfix stores lines up to its own limit and relays them on split: each message keeps
// every line within 998 octets, and what Postfix delivered (its trace lines in front,
// LF line ends) reads back as sent.
TEST_F(Postfix, HardMessagesAreReadBackAsSent) {
  const std::vector<HardCase> cases = HardCases();
  const CTAVSMTPAddress recipient("Ops; <team>", "hard@mail.test");
  std::vector<std::string> messageIds;
  {
    Client c(server->Port(), ca->Certificate().string());
    for (const HardCase& t : cases) {
      SCOPED_TRACE(t.name);
      UseLocaleOf(t);
      CTAVSMTPMessage m;
      ComposeHardMessage(t, recipient, m);
      c.SendMailMessage(m);
      messageIds.push_back(m.messageId);
    }
    c.Disconnect(true);
  }
  const auto files = server->Delivered("hard", cases.size());
  ASSERT_EQ(files.size(), cases.size()) << server->Log();
  std::vector<bool> seen(cases.size());
  for (const auto& file : files) {
    const std::string stored = ReadFile(file);
    const std::size_t i = CaseOf(stored, messageIds);
    ASSERT_LT(i, cases.size()) << stored.substr(0, 2000);
    SCOPED_TRACE(cases[i].name);
    EXPECT_FALSE(seen[i]);
    seen[i] = true;
    ExpectReadBackAsSent(cases[i], recipient, stored, "\n", file.string());
  }
}

// Postfix offers PIPELINING after the switch: 1,000 messages go over one connection,
// each envelope behind the previous end of data. The refused one in the middle is
// reported with Postfix's reply; every other is delivered once, and a sample of them
// reads back as sent.
TEST_F(Postfix, BatchOfAThousandWithARefusedOneInTheMiddle) {
  constexpr std::size_t count = 1000;
  constexpr std::size_t refused = count / 2;
  std::deque<std::unique_ptr<CTAVSMTPMessage>> open;
  std::vector<std::string> messageIds;
  std::vector<CBatchOutcome> outcomes;
  {
    Client c(server->Port(), ca->Certificate().string());
    c.m_bPipelining = true;
    ASSERT_TRUE(c.m_serverExtensions.pipelining);
    CMessageBatchSource source(
        c,
        [&]() -> CTAVSMTPMessage* {
          const std::size_t i = messageIds.size();
          if (i == count) return nullptr;
          auto m = std::make_unique<CTAVSMTPMessage>();
          m->from = CTAVSMTPAddress("Batch", "batch@example.com");
          m->AppendRecipient(CTAVSMTPAddress("", i == refused ? "nobody@mail.test" : "batch@mail.test"),
                             CTAVSMTPMessage::RecipientTo);
          m->subject = "Batch " + std::to_string(i);
          m->SetBody("Message " + std::to_string(i) + ".");
          messageIds.push_back(m->messageId);
          open.push_back(std::move(m));
          return open.back().get();
        },
        [&](CTAVSMTPMessage& m, const CBatchOutcome& outcome) {
          // Memory stays bounded: a message goes once its outcome is known.
          EXPECT_LE(open.size(), 2u);
          EXPECT_EQ(&m, open.front().get());
          if (messageIds[outcomes.size()].empty()) messageIds[outcomes.size()] = m.messageId;
          open.pop_front();
          outcomes.push_back(outcome);
        });
    c.SendBatch(source);
    c.Disconnect(true);
  }
  ASSERT_EQ(outcomes.size(), count);
  for (std::size_t i = 0; i < count; ++i) {
    if (i == refused) continue;
    EXPECT_TRUE(outcomes[i].accepted) << i << ": " << (outcomes[i].failure ? outcomes[i].failure->what() : "");
  }
  ASSERT_TRUE(outcomes[refused].failure);
  EXPECT_EQ(outcomes[refused].failure->m_hrError, MakeFailureHresult(FACILITY_ITF, msgRcptTo));
  EXPECT_EQ(outcomes[refused].replyCode, 550);
  EXPECT_EQ(outcomes[refused].refusedRecipient, "nobody@mail.test");
  EXPECT_TRUE(Contains(outcomes[refused].failure->m_sLastResponseText, "User unknown"));

  std::vector<std::filesystem::path> files;
  for (int wait = 0; wait < 6 && files.size() < count - 1; ++wait) files = server->Delivered("batch", count - 1);
  ASSERT_EQ(files.size(), count - 1) << server->Log().substr(0, 4000);
  std::vector<int> seen(count);
  for (const auto& file : files) {
    const std::size_t i = CaseOf(ReadFile(file), messageIds);
    ASSERT_LT(i, count);
    ++seen[i];
  }
  for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(seen[i], i == refused ? 0 : 1) << i;
  for (std::size_t at : {std::size_t{0}, refused, count - 2}) {
    const std::string file = files[at].string();
    const std::size_t i = CaseOf(ReadFile(files[at]), messageIds);
    const std::vector<std::string> lines = ParseMessageFile(file);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "subject " + Hex("Batch " + std::to_string(i))), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "part text/plain - " + Hex("Message " + std::to_string(i) + ".\n")),
              lines.end())
        << file;
  }
  EXPECT_FALSE(Contains(server->Log(), "improper command pipelining"));
}

namespace {

// A message from backup@example.com to recipient, with body as its text.
void Compose(CTAVSMTPMessage& m, const std::string& recipient, const std::string& body) {
  m.from = CTAVSMTPAddress("Backup", "backup@example.com");
  m.AppendRecipient(CTAVSMTPAddress("", recipient), CTAVSMTPMessage::RecipientTo);
  m.subject = "International";
  m.SetBody(body);
}

// The one message delivered to mailbox: its envelope recipient as Postfix's
// Delivered-To line names it, and its To address as Python's email package reads it.
void ExpectDelivered(const PostfixServer& server, const std::string& mailbox, const std::string& envelope,
                     const std::string& header) {
  const auto files = server.Delivered(mailbox, 1);
  ASSERT_EQ(files.size(), 1u) << server.Log();
  EXPECT_TRUE(Contains(ReadFile(files[0]), "\nDelivered-To: " + envelope + "\n"));
  const std::vector<std::string> parsed = ParseMessageFile(files[0].string());
  EXPECT_NE(std::ranges::find(parsed, "to - " + Hex(header)), parsed.end());
}

}  // namespace

// Postfix offers SMTPUTF8: a local part and a domain that are not ASCII go out in UTF-8,
// in the envelope and the header alike.
TEST_F(Postfix, Utf8LocalPartAndDomainAreDeliveredInUtf8WithSmtpUtf8) {
  // The addresses are UTF-8, whatever locale a test before this one left.
  test_locale::UseUtf8();
  Client c(server->Port(), ca->Certificate().string());
  ASSERT_TRUE(c.m_serverExtensions.smtpUtf8);
  for (const std::string& recipient : {jurgen + "@mail.test", "intl@" + buecher}) {
    CTAVSMTPMessage m;
    Compose(m, recipient, "Hello");
    c.SendMailMessage(m);
  }
  c.Disconnect(true);
  ExpectDelivered(*server, jurgen, jurgen + "@mail.test", jurgen + "@mail.test");
  ExpectDelivered(*server, "intl", "intl@" + buecher, "intl@" + buecher);
}

// Postfix without SMTPUTF8 and with a limit of 4000 octets: the domain goes out as its
// A-label, a local part that is not ASCII fails with 564 and a message over the limit
// with 563, neither sending anything, and the connection goes on.
TEST(PostfixWithoutSmtpUtf8, DomainGoesAsALabelAndWhatCannotGoFailsBeforeMailFrom) {
  if (std::string why = PostfixServer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  test_locale::UseUtf8();
  TestCertificateAuthority ca;
  PostfixServer server(PostfixOptions{.certificate = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1"),
                                      .mailboxes = {"admin", "intl"},
                                      .moreDomains = {buecherALabel},
                                      .messageSizeLimit = 4000,
                                      .smtpUtf8 = false});
  Client c(server.Port(), ca.Certificate().string());
  EXPECT_FALSE(c.m_serverExtensions.smtpUtf8);
  EXPECT_EQ(c.m_serverExtensions.sizeLimit, 4000u);
  struct Case {
    std::string recipient;
    std::string body;
    HRESULT error;  // 0: delivered
    std::string text;
  };
  const std::vector<Case> cases = {
      {jurgen + "@mail.test", "Hello", Itf(564), "local part is not ASCII"},
      {"admin@mail.test", std::string(4000, 'x'), Itf(563), "the server takes at most 4000 (SIZE 4000)"},
      {"intl@" + buecher, "Hello", 0, ""},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.recipient);
    CTAVSMTPMessage m;
    Compose(m, t.recipient, t.body);
    if (t.error == 0) {
      c.SendMailMessage(m);
      continue;
    }
    const auto raised = SmtpErrorOf([&] { c.SendMailMessage(m); });
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->m_hrError, t.error);
    EXPECT_TRUE(Contains(raised->m_sLastResponseText, t.text)) << raised->m_sLastResponseText;
  }
  c.Disconnect(true);
  ExpectDelivered(server, "intl", "intl@" + buecherALabel, "intl@" + buecherALabel);
}

// CR, LF and NUL in every text a caller gives, sent through the engine (and the program)
// to aiosmtpd on 127.0.0.1. Each such text is either refused before anything is sent
// (87, facility 7), or goes out as encoded words that Python's email package reads back
// as the very text given. Either way the server reads no command and the message holds
// no header line that the sender did not mean: the server's transcript of commands and
// the parsed header names are compared whole.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/run/exit_codes.h"
#include "smtp/connection.h"
#include "tests/support/catch_error.h"
#include "tests/support/mailer_program.h"
#include "tests/support/parse_message.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/smtp_server.h"

namespace {

constexpr HRESULT Win32(std::uint32_t error) { return MakeFailureHresult(FACILITY_WIN32, error); }

// A real server answers at once; the bound only ends a test that has gone wrong.
constexpr std::uint32_t replyBound = 2000;

// Each way to end a line early, and a NUL, which ends a C string.
const std::vector<std::string> lineEnds = {"\r\n", "\r", "\n", std::string("\0", 1)};

// A header line, and a command, that text would add if it could end its line.
std::string WithHeader(const std::string& text, const std::string& end) {
  return text + end + "Bcc: evil@example.com";
}
std::string WithCommand(const std::string& text, const std::string& end) {
  return text + end + "RSET";
}

class Client : public CTAVSMTPConnection {
 public:
  explicit Client(const char* heloName = "client.test") {
    SetHeloHostname(heloName);
    m_dwTimeout = replyBound;
  }
  void ConnectTo(const SmtpTestServer& server, std::int32_t mechanism = AuthNone,
                 const char* user = "", const char* password = "") {
    Connect("127.0.0.1", mechanism, user, password, server.Port(), false);
  }
};

// From a@example.com to b@example.com; the changes make it hostile.
struct Message : CTAVSMTPMessage {
  Message() {
    from = CTAVSMTPAddress("Sender", "a@example.com");
    AppendRecipient(CTAVSMTPAddress("Recipient", "b@example.com"), RecipientTo);
    subject = "Subject";
    SetBody("Body");
  }
};

// What the server's transcript holds for one message sent with HELO.
std::vector<std::string> TransferCommands() {
  return {"MAIL FROM:<a@example.com>", "RCPT TO:<b@example.com>", "DATA"};
}

// The lines parse_message.py prints for the text the server received.
std::vector<std::string> Parsed(const std::string& content) {
  ScratchDirectory dir;
  return ParseMessageFile(dir.Write("message.eml", content));
}

// The parsed line that begins with prefix, or "" when there is none.
std::string LineOf(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& line : lines) {
    if (line.starts_with(prefix)) return line;
  }
  return "";
}

// The parsed line of an address field. The email package's address parser refuses a
// display name that decodes to CR or LF; the field's decoded text then stands instead.
std::string AddressLine(const std::string& field, const CTAVSMTPAddress& address) {
  if (address.displayName.find_first_of("\r\n") != std::string::npos) {
    return field + "-text " + Hex(address.displayName + " <" + address.emailAddress + ">");
  }
  return field + " " + Hex(address.displayName) + " " + Hex(address.emailAddress);
}

}  // namespace

// The subject and the display names go out as encoded words, whatever they hold, and
// read back as given; the header block keeps its lines, the envelope its commands.
TEST(Injection, SubjectAndDisplayNamesReadBackAsGiven) {
  SmtpTestServer server;
  using Change = std::function<void(Message&, const std::string&)>;
  const std::vector<std::pair<const char*, Change>> fields = {
      {"subject", [](Message& m, const std::string& t) { m.subject = t; }},
      {"sender name", [](Message& m, const std::string& t) { m.from.displayName = t; }},
      {"recipient name", [](Message& m, const std::string& t) { m.toList[0]->displayName = t; }},
  };
  std::vector<std::string> expectedLines;  // per message: subject, from and to lines
  {
    Client c;
    c.ConnectTo(server);
    for (const auto& [name, change] : fields) {
      for (const std::string& end : lineEnds) {
        Message m;
        change(m, WithHeader("Hello", end));
        c.SendMailMessage(m);
        expectedLines.push_back("subject " + Hex(m.subject));
        expectedLines.push_back(AddressLine("from", m.from));
        expectedLines.push_back(AddressLine("to", *m.toList[0]));
      }
    }
    c.Disconnect(true);
  }
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), fields.size() * lineEnds.size()) << server.Log();
  std::vector<std::string> transcript{"HELO client.test"};
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(std::string(fields[i / lineEnds.size()].first) + " with " +
                 Hex(lineEnds[i % lineEnds.size()]));
    EXPECT_EQ(messages[i].envelope, "MAIL FROM:<a@example.com>\nRCPT TO:<b@example.com>\n");
    const auto lines = Parsed(messages[i].content);
    EXPECT_EQ(LineOf(lines, "headers "), "headers from,to,subject,x-mailer,content-type,date,message-id");
    EXPECT_EQ(LineOf(lines, "subject "), expectedLines[3 * i]);
    EXPECT_EQ(LineOf(lines, "from"), expectedLines[3 * i + 1]);
    EXPECT_EQ(LineOf(lines, "to"), expectedLines[3 * i + 2]);
    EXPECT_EQ(LineOf(lines, "part "), "part text/plain - " + Hex("Body\n"));
    EXPECT_EQ(LineOf(lines, "defects "), "defects 0");
    for (const std::string& command : TransferCommands()) transcript.push_back(command);
  }
  transcript.push_back("QUIT");
  EXPECT_EQ(server.Transcript(), transcript);
}

// Addresses and extra header lines go out as they are: with a line end or a NUL in
// them the message is refused before its first command, and the connection serves the
// next message as if nothing had happened.
TEST(Injection, AddressesAndHeaderLinesWithLineEndsAreRefusedBeforeAnyCommand) {
  SmtpTestServer server;
  using Change = std::function<void(Message&, const std::string&)>;
  const std::vector<std::pair<const char*, Change>> fields = {
      {"sender", [](Message& m, const std::string& end) {
         m.from.emailAddress = WithCommand("a@example.com", end);
       }},
      {"recipient", [](Message& m, const std::string& end) {
         m.toList[0]->emailAddress = WithCommand("b@example.com", end);
       }},
      {"cc", [](Message& m, const std::string& end) {
         m.AppendRecipient(CTAVSMTPAddress("", WithCommand("c@example.com", end)),
                           CTAVSMTPMessage::RecipientCc);
       }},
      {"bcc", [](Message& m, const std::string& end) {
         m.AppendRecipient(CTAVSMTPAddress("", WithCommand("d@example.com", end)),
                           CTAVSMTPMessage::RecipientBcc);
       }},
      {"reply-to", [](Message& m, const std::string& end) {
         m.replyTo.emailAddress = WithCommand("r@example.com", end);
       }},
      {"extra header", [](Message& m, const std::string& end) {
         m.extraHeaders.push_back(WithHeader("X-Extra: 1", end));
       }},
  };
  {
    Client c;
    c.ConnectTo(server);
    for (const auto& [name, change] : fields) {
      for (const std::string& end : lineEnds) {
        SCOPED_TRACE(std::string(name) + " with " + Hex(end));
        Message m;
        change(m, end);
        auto error = SmtpErrorOf([&] { c.SendMailMessage(m); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->m_hrError, Win32(87));
        EXPECT_EQ(error->m_sLastResponseText, "");
      }
    }
    Message clean;
    c.SendMailMessage(clean);
    c.Disconnect(true);
  }
  std::vector<std::string> transcript{"HELO client.test"};
  for (const std::string& command : TransferCommands()) transcript.push_back(command);
  transcript.push_back("QUIT");
  EXPECT_EQ(server.Transcript(), transcript);
  ASSERT_EQ(server.Messages().size(), 1u);
}

// A HELO name with a line end (even after a NUL) is refused before the connection is
// made; a NUL cuts the name, so what follows it never reaches the server.
TEST(Injection, HeloNameNeverCarriesASecondCommand) {
  SmtpTestServer server;
  for (const std::string& end : {std::string("\r\n"), std::string("\r"), std::string("\n"),
                                 std::string("\0\r\n", 3)}) {
    SCOPED_TRACE(Hex(end));
    Client c;
    c.m_sHeloHostname = WithCommand("client.test", end);
    auto error = SmtpErrorOf([&] { c.ConnectTo(server); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Win32(87));
  }
  EXPECT_EQ(server.Transcript(), std::vector<std::string>{});
  {
    Client c;
    c.m_sHeloHostname = WithCommand("client.test", std::string("\0", 1));
    c.ConnectTo(server, 8);  // EHLO without authentication
    c.Disconnect(true);
  }
  EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"EHLO client.test", "QUIT"}));
}

// The PLAIN dialogue sends the credentials in clear: a line end in them is refused
// before AUTH. LOGIN sends them in Base64, where a line end is one more byte of the
// account's name or password, and the server takes it as such.
TEST(Injection, CredentialsNeverCarryASecondCommand) {
  for (const std::string& end : {std::string("\r\n"), std::string("\r"), std::string("\n")}) {
    SCOPED_TRACE(Hex(end));
    const std::string user = WithCommand("user", end);
    const std::string password = WithCommand("secret", end);
    SmtpTestServer server({.mechanisms = {"LOGIN", "PLAIN"}, .user = user, .password = password});
    for (auto [plainUser, plainPassword] : {std::pair{user, std::string("secret")},
                                            std::pair{std::string("user"), password}}) {
      Client c;
      auto error = SmtpErrorOf(
          [&] { c.ConnectTo(server, AuthPlain, plainUser.c_str(), plainPassword.c_str()); });
      ASSERT_TRUE(error);
      EXPECT_EQ(error->m_hrError, Win32(87));
    }
    {
      Client c;
      c.ConnectTo(server, AuthLogin, user.c_str(), password.c_str());
      c.Disconnect(true);
    }
    EXPECT_EQ(server.Transcript(),
              (std::vector<std::string>{"EHLO client.test", "QUIT", "EHLO client.test", "QUIT",
                                        "EHLO client.test", "AUTH LOGIN", "QUIT"}));
    // The account's name, line end and all, as the server decoded it.
    std::string logins;
    for (const std::string& line : server.Logins()) logins += line + "\n";
    EXPECT_EQ(logins, "LOGIN " + user + "\n");
  }
}

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

// Runs the program with subject against server, from a@example.com to b@example.com
// unless changes say otherwise.
MailerRun RunAgainst(const SmtpTestServer& server, const Settings& changes,
                     const std::string& subject) {
  Settings settings = {{"Server", "127.0.0.1"},
                       {"Port", std::to_string(server.Port())},
                       {"SenderEMail", "a@example.com"},
                       {"RecipientEMail", "b@example.com"}};
  for (const auto& change : changes) {
    std::erase_if(settings, [&](const auto& s) { return s.first == change.first; });
    settings.push_back(change);
  }
  return RunMailer(SmtpSettings(settings), {subject, "Body"});
}

}  // namespace

// The program's own run: a subject from the command line and names from the settings
// with line ends in them arrive as given; an address with one is refused, and the run
// says that nothing was sent.
TEST(Injection, ProgramSendsNamesAndSubjectAsGivenAndRefusesBrokenAddresses) {
  SmtpTestServer server;
  const std::string subject = WithHeader("Report", "\r\n");
  const std::string sender = WithHeader("Sender", "\n");
  const std::string recipient = WithHeader("Recipient", "\r");
  MailerRun sent = RunAgainst(server, {{"SenderName", sender}, {"RecipientName", recipient}},
                              subject);
  EXPECT_EQ(sent.exitCode, ExitSent) << sent.output;
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u) << server.Log();
  EXPECT_EQ(messages[0].envelope, "MAIL FROM:<a@example.com>\nRCPT TO:<b@example.com>\n");
  const auto lines = Parsed(messages[0].content);
  EXPECT_EQ(LineOf(lines, "headers "), "headers from,to,subject,x-mailer,content-type,date,message-id");
  EXPECT_EQ(LineOf(lines, "subject "), "subject " + Hex(subject));
  EXPECT_EQ(LineOf(lines, "from"), AddressLine("from", CTAVSMTPAddress(sender, "a@example.com")));
  EXPECT_EQ(LineOf(lines, "to"), AddressLine("to", CTAVSMTPAddress(recipient, "b@example.com")));

  // A ">" would close the address's brackets and add a parameter of the sender's own.
  MailerRun bracket = RunAgainst(server, {{"RecipientEMail", "b@example.com> NOTIFY=NEVER"}}, "Report");
  EXPECT_EQ(bracket.exitCode, ExitSendFailed) << bracket.output;
  MailerRun refused =
      RunAgainst(server, {{"RecipientEMail", WithCommand("b@example.com", "\r\n")}}, "Report");
  EXPECT_EQ(refused.exitCode, ExitSendFailed) << refused.output;
  EXPECT_EQ(server.Messages().size(), 1u);
  std::vector<std::string> transcript = server.Transcript();
  ASSERT_GE(transcript.size(), 2u);
  // The second run said HELO and, once the message was refused, QUIT, and nothing else.
  EXPECT_TRUE(transcript[transcript.size() - 2].starts_with("HELO "));
  EXPECT_EQ(transcript.back(), "QUIT");
}

// The e-mailer program's options for scripts, end to end against aiosmtpd: each message
// read back by two mail readers (Python's email, Perl's Email::MIME) for its recipients,
// structure, Content-IDs and each file's bytes, type and name; every refused option and
// file before any connection; option values that hold line ends; the outcome as JSON;
// and a message queued while the server is away, sent by the next flush.
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/mailer_program.h"
#include "tests/support/parse_message.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_server.h"


namespace {

using Words = std::vector<std::string>;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

// What both readers make of the message, the defects line included (Python's).
std::vector<std::string> Read(const TempDir& dir, const ReceivedMessage& message) {
  return ParseMessageFileWithBothReaders(dir.Write("message.eml", message.content).string());
}

std::string Part(const std::string& type, const std::string& name, const std::string& content) {
  return "part " + type + " " + Hex(name) + " " + Hex(content);
}

std::string Address(const char* field, const std::string& name, const std::string& address) {
  return std::string(field) + " " + Hex(name) + " " + Hex(address);
}

class ScriptRun : public ::testing::Test {
 protected:
  ScriptRun() : home(PlainSessionHome(server.Port(), {{"RecipientEMail", "admin@example.com"}})) {}

  std::string File(const std::string& name, const std::string& bytes) const { return files.Write(name, bytes).string(); }

  MailerRun Run(const Words& words) const { return RunMailer(*home, words); }

  ReceivedMessage Only() const {
    const auto messages = server.Messages();
    EXPECT_EQ(messages.size(), 1u) << server.Log();
    return messages.empty() ? ReceivedMessage{} : messages[0];
  }

  SmtpTestServer server;
  std::unique_ptr<TempConfigHome> home;
  TempDir files;
  TempDir read;
};

}  // namespace

// A report to several people with its log attached: every recipient in the envelope,
// To and Cc in the header with their display names, Bcc nowhere in it, and the
// settings' RecipientEMail not used.
TEST_F(ScriptRun, ReportToSeveralPeopleWithItsLogAttached) {
  const std::string log = File("backup.log", "12:00 start\n12:05 done\n");
  EXPECT_EQ(Run({"--to", "a@example.org, \"Ops, Team\" <ops@example.org>", "--to", "Zoe <z@example.org>", "--cc",
                 "c@example.org", "--bcc", "hidden@example.org", "--subject", "Backup report", "--body",
                 "All went well.", "--attach", log}),
            (MailerRun{0, ""}));
  const ReceivedMessage message = Only();
  EXPECT_EQ(message.envelope,
            "MAIL FROM:<backup@example.com>\nRCPT TO:<a@example.org>\nRCPT TO:<ops@example.org>\n"
            "RCPT TO:<z@example.org>\nRCPT TO:<c@example.org>\nRCPT TO:<hidden@example.org>\n");
  EXPECT_EQ(message.content.find("hidden@"), std::string::npos);
  EXPECT_EQ(Read(read, message),
            (std::vector<std::string>{
                "headers from,to,cc,subject,x-mailer,mime-version,content-type,date,message-id",
                "subject " + Hex("Backup report"),
                Address("from", "", "backup@example.com"),
                Address("to", "", "a@example.org"),
                Address("to", "Ops, Team", "ops@example.org"),
                Address("to", "Zoe", "z@example.org"),
                Address("cc", "", "c@example.org"),
                "multipart multipart/mixed",
                // A text before an attachment ends with the line end before its boundary.
                Part("text/plain", "", "All went well.\n"),
                Part("text/plain", "backup.log", "12:00 start\n12:05 done\n"),
                "defects 0",
            }));
}

// An HTML report with an inline chart and a text body read from a file: the text and
// the HTML as alternatives (text first), the chart beside the HTML in multipart/related
// with its file name as Content-ID; with an attachment, all that inside multipart/mixed.
TEST_F(ScriptRun, HtmlWithInlineChartAndTextAlternative) {
  const std::string chart = RandomBytes(5000, 1);
  const std::string html = "<p>Load <img src=\"cid:chart.png\"></p>\n";
  const Words common{"--subject", "Load", "--body-file", File("load.txt", "Load is fine.\n"), "--html-file",
                     File("load.html", html), "--inline", File("chart.png", chart)};
  const std::vector<std::string> alternative{
      "multipart multipart/alternative", Part("text/plain", "", "Load is fine.\n"), "multipart multipart/related",
      Part("text/html", "", html),       Part("image/png", "chart.png", chart),    "content-id <chart.png>",
  };
  struct StructureCase {
    Words more;
    std::vector<std::string> expected;  // after the address lines
  };
  std::vector<std::string> mixed{"multipart multipart/mixed"};
  mixed.insert(mixed.end(), alternative.begin(), alternative.end());
  mixed.push_back(Part("application/pdf", "q.pdf", "%PDF"));
  const StructureCase cases[] = {{{}, alternative}, {{"--attach", File("q.pdf", "%PDF")}, mixed}};
  for (const StructureCase& c : cases) {
    Words words = common;
    words.insert(words.end(), c.more.begin(), c.more.end());
    EXPECT_EQ(Run(words), (MailerRun{0, ""}));
  }
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), std::size(cases));
  for (std::size_t i = 0; i < messages.size(); ++i) {
    std::vector<std::string> lines = Read(read, messages[i]);
    ASSERT_GT(lines.size(), 4u);
    lines.erase(lines.begin(), lines.begin() + 4);  // headers, subject, from, to
    std::vector<std::string> expected = cases[i].expected;
    expected.push_back("defects 0");
    EXPECT_EQ(lines, expected) << i;
  }
}

// Every attachment goes out Base64 and reads back byte for byte, under its file name
// without the folders (RFC 2231 where it is not ASCII; quotes and semicolons kept), its
// type from the media-types table or given by --type, its name given by --name.
TEST_F(ScriptRun, AttachmentsReadBackByteForByteWithTypeAndName) {
  const std::string binary = RandomBytes(200000, 2);
  const std::string text = "line\r\nbare LF\nno end";
  struct AttachmentCase {
    Words before;  // --type, --name
    std::string fileName;
    std::string bytes;
    std::string type;
    std::string shownName;
  };
  const AttachmentCase cases[] = {
      {{}, "data.bin", binary, "application/octet-stream", "data.bin"},
      {{}, "empty.dat", "", "application/octet-stream", "empty.dat"},
      {{}, "rapport-\xC3\xA9t\xC3\xA9.pdf", "%PDF-1.4", "application/pdf", "rapport-\xC3\xA9t\xC3\xA9.pdf"},
      {{}, "a \"quoted\"; name=x.txt", text, "text/plain", "a \"quoted\"; name=x.txt"},
      {{"--type", "application/x-custom", "--name", "shown; \"as\" this.bin"}, "raw.txt", text,
       "application/x-custom", "shown; \"as\" this.bin"},
      {{}, "no-extension", "x", "application/octet-stream", "no-extension"},
  };
  Words words{"--to", "a@example.org", "--subject", "Files", "--body", "See the files."};
  std::vector<std::string> expected{"multipart multipart/mixed", Part("text/plain", "", "See the files.\n")};
  for (const AttachmentCase& c : cases) {
    words.insert(words.end(), c.before.begin(), c.before.end());
    words.insert(words.end(), {"--attach", File(c.fileName, c.bytes)});
    expected.push_back(Part(c.type, c.shownName, c.type == "text/plain" ? CrLfToLf(c.bytes) : c.bytes));
  }
  EXPECT_EQ(Run(words), (MailerRun{0, ""}));
  const ReceivedMessage message = Only();
  std::vector<std::string> lines = Read(read, message);
  ASSERT_GT(lines.size(), 4u);
  lines.erase(lines.begin(), lines.begin() + 4);
  expected.push_back("defects 0");
  EXPECT_EQ(lines, expected);
  // Text files too go out Base64: their line ends reach the reader as they were.
  EXPECT_EQ(message.content.find("bare LF"), std::string::npos);
}

// A body from a pipe: standard input, any bytes, reaches the reader as it was given,
// a line of a single dot included.
TEST_F(ScriptRun, BodyFromStandardInput) {
  const std::string body = "first\n.\n\xC3\xA9t\xC3\xA9 " + std::string(2000, 'x') + "\nlast";
  EXPECT_EQ(RunMailerWithInput(*home, {"--subject", "Piped", "--body-file", "-"}, body), (MailerRun{0, ""}));
  std::vector<std::string> lines = Read(read, Only());
  ASSERT_GT(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
            (std::vector<std::string>{"multipart multipart/mixed", Part("text/plain", "", body), "defects 0"}));
}

// Extra header lines, the priority and the sender, display name and Reply-To of the
// options reach the header; --subject and --body stand for the parameters.
TEST_F(ScriptRun, HeaderLinesPriorityAndSender) {
  EXPECT_EQ(Run({"--from", "reports@example.net", "--from-name", "Nightly Reports", "--reply-to",
                 "Ops <ops@example.org>", "--to", "a@example.org", "--header", "X-Job: nightly", "--priority",
                 "high", "--subject", "Done", "--body", "ok"}),
            (MailerRun{0, ""}));
  const ReceivedMessage message = Only();
  EXPECT_EQ(message.envelope, "MAIL FROM:<reports@example.net>\nRCPT TO:<a@example.org>\n");
  EXPECT_EQ(Read(read, message),
            (std::vector<std::string>{
                "headers from,to,subject,x-mailer,content-type,reply-to,date,message-id,x-priority,x-job",
                "subject " + Hex("Done"),
                Address("from", "Nightly Reports", "reports@example.net"),
                Address("to", "", "a@example.org"),
                Address("reply-to", "Ops", "ops@example.org"),
                Part("text/plain", "", "ok\n"),
                "defects 0",
            }));
}

// Every refused option, value or file: its status and one line naming it, and no
// connection made.
TEST_F(ScriptRun, EveryErrorBeforeAnyConnection) {
  const std::string folder = files.Path().string();
  const std::string missing = folder + "/missing.log";
  struct ErrorCase {
    Words words;  // with "--subject s" in front unless they are about the subject
    int status;
    std::string line;
  };
  const ErrorCase cases[] = {
      {{"--attach", missing}, 66, "--attach: cannot read " + missing + ": No such file or directory"},
      {{"--attach", folder}, 66, "--attach: cannot read " + folder + ": it is a folder"},
      {{"--attach", "/dev/null"}, 66, "--attach: cannot read /dev/null: not a regular file"},
      {{"--body-file", missing}, 66, "--body-file: cannot read " + missing + ": No such file or directory"},
      {{"--html-file", missing}, 66, "--html-file: cannot read " + missing + ": No such file or directory"},
      {{"--colour", "red"}, 64, "unknown option --colour"},
      {{"--attach"}, 64, "--attach needs a value"},
      {{"--to", "not-an-address"}, 64, "--to: not an address: \"not-an-address\""},
      {{"--cc", "a@example.org,,b@example.org"}, 64, "--cc: not an address: \"\""},
      {{"--bcc", "\"Open <a@example.org>"}, 64, "--bcc: not an address: \"\"Open <a@example.org>\""},
      {{"--from", "a@example.org, b@example.org"}, 64, "--from takes one address"},
      {{"--header", "Subject: other"}, 64, "--header: the program makes the field Subject itself"},
      {{"--header", "content-type: text/html"}, 64, "--header: the program makes the field content-type itself"},
      {{"--header", "no colon"}, 64, "--header: not a line \"Name: value\": \"no colon\""},
      {{"--priority", "urgent"}, 64, "--priority: \"urgent\" is not high, normal or low"},
      {{"--notify", "success,sometimes"}, 64,
       "--notify: \"success,sometimes\" is not never or a list of success, failure and delay"},
      {{"--return", "all"}, 64, "--return: \"all\" is not full or headers"},
      {{"--type", "text/plain"}, 64, "--type and --name go before the --attach or --inline they are for"},
      {{"--type", "plain", "--attach", missing}, 64, "--type: \"plain\" is not a media type such as text/plain"},
      {{"--inline", missing}, 64, "--inline goes with --html-file: it is a part of the HTML"},
      {{"--body", "b", "--body-file", missing}, 64, "--body and --body-file cannot be given together"},
      {{"--subject", "twice", "Subject"}, 64, "the subject is given both as a parameter and as an option"},
      {{"--to", "a@example.org"}, 64, "no subject: give --subject TEXT"},
      {{"--subject", "s", "--html-file", File("page.html", "<p>"), "--inline", File("my chart.png", "x")}, 64,
       "--inline: my chart.png cannot be a Content-ID (printable ASCII without blanks, < or >); give a name with "
       "--name"},
  };
  for (const ErrorCase& c : cases) {
    Words words = c.words;
    if (c.line.find("subject") == std::string::npos && c.words[0] != "--subject") {
      words.insert(words.begin(), {"--subject", "s"});
    }
    EXPECT_EQ(Run(words), (MailerRun{c.status, "e-mailer: " + c.line + "\n"})) << c.words[0];
  }
  EXPECT_TRUE(server.Transcript().empty()) << server.Log();
}

// A line end in any value: refused before any connection where the value goes into a
// header or a command as it is; in the subject and the body, encoded or sent as text,
// so no value adds a header line or a command.
TEST_F(ScriptRun, LineEndsInEveryValueAddNoHeaderLineOrCommand) {
  const std::string evil = "x\r\nBcc: evil@example.org";
  const char* refused[] = {"--to",      "--cc",   "--bcc",  "--from",     "--reply-to", "--from-name",
                           "--header",  "--type", "--name", "--priority", "--notify",   "--return"};
  for (const char* option : refused) {
    Words words{"--subject", "s", option, std::string(option) == "--header" ? "X-A: " + evil : evil};
    if (std::string(option) == "--type" || std::string(option) == "--name") {
      words.insert(words.end(), {"--attach", File("a.txt", "a")});
    }
    const MailerRun run = Run(words);
    EXPECT_EQ(run.exitCode, 64) << option << run.output;
  }
  EXPECT_TRUE(server.Transcript().empty()) << server.Log();
  EXPECT_EQ(Run({"--to", "a@example.org", "--subject", evil, "--body", evil + "\r\n.\r\nQUIT"}), (MailerRun{0, ""}));
  const ReceivedMessage message = Only();
  EXPECT_EQ(message.envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<a@example.org>\n");
  const std::vector<std::string> lines = Read(read, message);
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ(lines[0], "headers from,to,subject,x-mailer,content-type,date,message-id");
  EXPECT_EQ(lines[1], "subject " + Hex(evil));
}

// --json: one object on standard output, no dialog; a refused recipient ends the
// transfer (nothing is delivered), with each recipient's outcome and the server's reply.
TEST(ScriptJson, OutcomeWithEachRecipientsReply) {
  SmtpServerOptions options;
  options.rejectedRecipients = {"nobody@example.org"};
  SmtpTestServer server(options);
  const auto home = PlainSessionHome(server.Port());
  const MailerRun sent = RunMailer(*home, {"--json", "--to", "a@example.org", "--subject", "s"});
  ASSERT_EQ(sent.exitCode, 0) << sent.output;
  const auto ok = nlohmann::json::parse(sent.output);
  EXPECT_EQ(ok["status"], "sent");
  EXPECT_EQ(ok["exitStatus"], 0);
  EXPECT_EQ(ok["recipients"], nlohmann::json::parse(R"([{"address":"a@example.org","kind":"to",
      "outcome":"accepted","reply":"250 OK"}])"));
  EXPECT_EQ(ok["lastReply"], "221 Bye");
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_NE(server.Messages()[0].content.find("Message-ID: " + ok["messageId"].get<std::string>() + "\r\n"),
            std::string::npos);

  const MailerRun refused = RunMailer(
      *home, {"--json", "--to", "a@example.org,nobody@example.org", "--bcc", "b@example.org", "--subject", "s"});
  ASSERT_EQ(refused.exitCode, 2) << refused.output;
  const auto failed = nlohmann::json::parse(refused.output);
  const std::string refusal = "550 5.1.1 <nobody@example.org>: Recipient address rejected: User unknown";
  EXPECT_EQ(failed["status"], "failed");
  EXPECT_EQ(failed["exitStatus"], 2);
  EXPECT_EQ(failed["error"], refusal);
  EXPECT_EQ(failed["recipients"][0]["outcome"], "accepted");
  EXPECT_EQ(failed["recipients"][1], (nlohmann::json{{"address", "nobody@example.org"}, {"kind", "to"},
                                                     {"outcome", "refused"}, {"reply", refusal}}));
  EXPECT_EQ(failed["recipients"][2], (nlohmann::json{{"address", "b@example.org"}, {"kind", "bcc"},
                                                     {"outcome", "not tried"}}));
  EXPECT_EQ(server.Messages().size(), 1u);
}

// DSN where the server offers it: NOTIFY and RET as asked; where it does not, the
// message goes without them rather than being refused. (The EHLO reply tells: with
// AuthMethod 0 the program greets with HELO and learns of none.)
TEST(ScriptDsn, NotifyAndReturnWhereOffered) {
  for (const bool offered : {true, false}) {
    SmtpServerOptions options;
    options.dsn = offered;
    options.mechanisms = {"LOGIN"};
    SmtpTestServer server(options);
    const auto home =
        PlainSessionHome(server.Port(), {{"AuthMethod", "2"}, {"AuthUser", "user"}, {"AuthPassword", "secret"}});
    EXPECT_EQ(RunMailer(*home, {"--to", "a@example.org", "--notify", "success,delay", "--return", "headers",
                                "--subject", "s"}),
              (MailerRun{0, ""}));
    const auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u) << server.Log();
    const std::string& envelope = messages[0].envelope;
    EXPECT_EQ(envelope.find("RET=HDRS ENVID=") != std::string::npos, offered) << envelope;
    EXPECT_EQ(envelope.find("RCPT TO:<a@example.org> NOTIFY=SUCCESS,DELAY") != std::string::npos, offered)
        << envelope;
  }
}

// --queue: while the server cannot be reached, the whole message goes into the user's
// queue (exit 0, "queued as ID"); the next flush sends it as it was composed, Bcc in
// the envelope only.
TEST(ScriptQueue, QueuedWhileTheServerIsAwaySentByTheNextFlush) {
  TempDir dir;
  const std::string pdf = RandomBytes(10000, 3);
  const std::string path = dir.Write("report.pdf", pdf).string();
  auto home = PlainSessionHome(FreePort());
  const MailerRun queued = RunMailer(*home, {"--queue", "--to", "a@example.org", "--bcc", "b@example.org",
                                             "--subject", "Queued", "--body", "later", "--attach", path});
  EXPECT_EQ(queued.exitCode, 0) << queued.output;
  EXPECT_EQ(queued.output.rfind("e-mailer: queued as ", 0), 0u) << queued.output;
  // Without --queue the same run fails as it always did.
  EXPECT_EQ(RunMailer(*home, {"--to", "a@example.org", "--subject", "s"}).exitCode, 1);

  SmtpTestServer server;
  home->WriteFile(home->SmtpKeyFile(), SmtpSettings({{"Server", "127.0.0.1"},
                                                     {"Port", std::to_string(server.Port())},
                                                     {"SenderEMail", "backup@example.com"}}));
  EXPECT_EQ(RunMailer(*home, {"--flush"}).exitCode, 0);
  const auto messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u) << server.Log();
  EXPECT_EQ(messages[0].envelope.substr(messages[0].envelope.find('\n') + 1),
            "RCPT TO:<a@example.org>\nRCPT TO:<b@example.org>\n");
  std::vector<std::string> lines = ParseMessageFileWithBothReaders(dir.Write("q.eml", messages[0].content).string());
  ASSERT_GT(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
            (std::vector<std::string>{"multipart multipart/mixed", Part("text/plain", "", "later\n"),
                                      Part("application/pdf", "report.pdf", pdf), "defects 0"}));
}

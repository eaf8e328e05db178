// The sendmail face's queue end to end against aiosmtpd: messages queued while the
// server is away or answers 4xx, sent once by a flush, given up on 5xx or age with a
// report to the sender, and the folder and entries that are not the user's own
// refused. Ages and back-offs are faked in the entries' own files, never waited for.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/mailer_program.h"
#include "tests/support/postfix_server.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_server.h"
#include "tests/support/tls_server.h"

namespace {

namespace fs = std::filesystem;

class QueueWorld {
 public:
  explicit QueueWorld(std::uint16_t port, std::vector<std::pair<std::string, std::string>> more = {}) {
    settings = {{"Server", "127.0.0.1"}, {"SenderEMail", "backup@example.com"}};
    settings.insert(settings.end(), more.begin(), more.end());
    PointAt(port);
  }

  // The settings with the server at port.
  void PointAt(std::uint16_t port) {
    auto values = settings;
    values.emplace_back("Port", std::to_string(port));
    home.WriteFile(home.SmtpKeyFile(), SmtpSettings(values));
  }

  MailerRun Send(const std::string& recipient, const std::string& subject) {
    return RunSendmail(home, {"-i", recipient}, "Subject: " + subject + "\n\nbody\n");
  }
  MailerRun Sendmail(const std::vector<std::string>& arguments) { return RunSendmail(home, arguments, ""); }

  std::string Folder() const { return home.base + "/state/e-mailer/queue"; }
  std::vector<std::string> Files(const std::string& folder, const std::string& suffix = ".entry") const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& item : fs::directory_iterator(folder, ignored)) {
      const std::string name = item.path().filename().string();
      if (name.ends_with(suffix)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Replaces the line starting with name in a queue file.
  void SetLine(const std::string& path, const std::string& name, const std::string& value) const {
    std::string text = "\n" + home.ReadFile(path);
    const std::size_t start = text.find("\n" + name + ": ");
    if (start != std::string::npos) {
      const std::size_t end = std::min(text.find('\n', start + 1), text.size());
      text.replace(start + 1, end - start - 1, name + ": " + value);
    }
    std::ofstream(path, std::ios::binary) << text.substr(1);
  }

  TempConfigHome home;
  std::vector<std::pair<std::string, std::string>> settings;
};

// What follows the first prefix in text, up to the first of the stop characters; empty
// without prefix.
std::string TextAfter(const std::string& text, const std::string& prefix, const char* stop) {
  const std::size_t start = text.find(prefix);
  if (start == std::string::npos) return "";
  const std::size_t from = start + prefix.size();
  return text.substr(from, text.find_first_of(stop, from) - from);
}

// "sendmail: queued as ID: why": the id.
std::string QueuedId(const MailerRun& run) { return TextAfter(run.output, "queued as ", ":"); }

std::vector<std::string> Subjects(const SmtpTestServer& server) {
  std::vector<std::string> subjects;
  for (const ReceivedMessage& message : server.Messages()) {
    subjects.push_back(TextAfter(message.content, "Subject: ", "\r"));
  }
  return subjects;
}

TEST(SendmailQueue, ServerDownQueuedThenAFlushDeliversItOnce) {
  QueueWorld world(FreePort());
  MailerRun run = world.Send("admin@example.com", "while away");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const std::string id = QueuedId(run);
  EXPECT_TRUE(run.output.find(": cannot connect to 127.0.0.1 port ") != std::string::npos) << run.output;
  EXPECT_EQ(TempConfigHome::Mode(world.Folder()), 0700u);
  EXPECT_EQ(TempConfigHome::Mode(world.Folder() + "/" + id + ".entry"), 0600u);
  MailerRun listing = world.Sendmail({"-bp"});
  EXPECT_EQ(listing.exitCode, 0);
  EXPECT_NE(listing.output.find(id + "  "), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find("to <admin@example.com>"), std::string::npos) << listing.output;

  SmtpTestServer server;
  world.PointAt(server.Port());
  EXPECT_EQ(world.Sendmail({"-q"}), (MailerRun{0, ""}));
  EXPECT_EQ(RunMailer(world.home, {"--flush"}), (MailerRun{0, ""}));
  const std::vector<ReceivedMessage> messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].envelope, "MAIL FROM:<backup@example.com>\nRCPT TO:<admin@example.com>\n");
  EXPECT_NE(messages[0].content.find("\r\n\r\nbody\r\n"), std::string::npos);
  EXPECT_EQ(world.Sendmail({"-bp"}), (MailerRun{0, "Mail queue is empty\n"}));
}

// Through Postfix with STARTTLS and authentication: messages queued while it is away
// (a failed try, and -odq) are delivered by one flush, and the queue is then empty.
TEST(SendmailQueue, QueuedMessagesReachPostfixOnce) {
  if (std::string why = PostfixServer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  TestCertificateAuthority ca;
  QueueWorld world(FreePort(), {{"StartTLS", "1"},
                                {"TLSCAFile", ca.Certificate().string()},
                                {"AuthMethod", "5"},
                                {"AuthUser", "user"},
                                {"AuthPassword", "secret"}});
  ASSERT_EQ(world.Send("admin@mail.test", "tried").exitCode, 0);
  ASSERT_EQ(RunSendmail(world.home, {"-odq", "admin@mail.test"}, "Subject: not tried\n\nx\n").exitCode, 0);
  PostfixServer postfix(PostfixOptions{.certificate = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1")});
  world.PointAt(postfix.Port());
  EXPECT_EQ(RunMailer(world.home, {"--flush"}), (MailerRun{0, ""}));
  EXPECT_EQ(postfix.Delivered("admin", 2).size(), 2u) << postfix.Log();
  EXPECT_EQ(world.Sendmail({"-bp"}), (MailerRun{0, "Mail queue is empty\n"}));
}

// A 4xx at a flush keeps the entry with its reason and a back-off, which the timers'
// flush keeps to; once due it goes, here by the flush that follows a message sent at
// once.
TEST(SendmailQueue, A4xxIsTriedAgainWhenDue) {
  SmtpTestServer server({.deferredRecipients = {"slow@example.com"}});
  QueueWorld world(server.Port());
  const std::string id = QueuedId(RunSendmail(world.home, {"-odq", "slow@example.com"}, "Subject: deferred\n\nx\n"));
  ASSERT_EQ(world.Sendmail({"-q"}), (MailerRun{0, ""}));
  MailerRun listing = world.Sendmail({"-bp"});
  EXPECT_NE(listing.output.find("next try: in "), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find(" (1 try)\n    last reason: the recipient slow@example.com was "
                                "refused: Unexpected RCPT TO response, Last Response: 451 4.3.0"),
            std::string::npos)
      << listing.output;
  ASSERT_EQ(RunMailer(world.home, {"--flush-due"}), (MailerRun{0, ""}));
  EXPECT_TRUE(server.Messages().empty());  // not due yet

  world.SetLine(world.Folder() + "/" + id + ".state", "NextTry", "0");
  ASSERT_EQ(world.Send("other@example.com", "direct"), (MailerRun{0, ""}));
  EXPECT_EQ(Subjects(server), (std::vector<std::string>{"direct", "deferred"}));
  EXPECT_TRUE(world.Files(world.Folder()).empty());
}

// The seconds from now to the next try that an entry's state file holds.
long SecondsToNextTry(const QueueWorld& world, const std::string& id) {
  const std::string state = world.home.ReadFile(world.Folder() + "/" + id + ".state");
  return std::stol("0" + TextAfter(state, "NextTry: ", "\n")) - static_cast<long>(std::time(nullptr));
}

// A message whose try failed waits the first back-off, a minute, as does one whose
// first flush failed; the timers' flush (--flush-due) keeps to the back-off, while
// sendmail -q and e-mailer --flush send every entry at once.
TEST(SendmailQueue, TheTimersKeepToTheBackOffAndAFlushAskedForSendsEverything) {
  QueueWorld world(FreePort());
  const std::string tried = QueuedId(world.Send("a@example.com", "tried"));
  long wait = SecondsToNextTry(world, tried);
  EXPECT_TRUE(wait > 30 && wait <= 60) << wait;
  const std::string notTried = QueuedId(RunSendmail(world.home, {"-odq", "-i", "b@example.com"}, "Subject: odq\n\nx\n"));
  ASSERT_EQ(world.Sendmail({"-q"}).exitCode, 75);
  wait = SecondsToNextTry(world, notTried);
  EXPECT_TRUE(wait > 30 && wait <= 60) << wait;
  wait = SecondsToNextTry(world, tried);  // its second failure
  EXPECT_TRUE(wait > 90 && wait <= 120) << wait;

  SmtpTestServer server;
  world.PointAt(server.Port());
  EXPECT_EQ(RunMailer(world.home, {"--flush-due"}), (MailerRun{0, ""}));
  EXPECT_TRUE(server.Messages().empty());
  EXPECT_EQ(world.Sendmail({"-q"}), (MailerRun{0, ""}));
  EXPECT_EQ(Subjects(server), (std::vector<std::string>{"tried", "odq"}));

  ASSERT_EQ(RunSendmail(world.home, {"-odq", "-i", "c@example.com"}, "Subject: later\n\nx\n").exitCode, 0);
  world.PointAt(FreePort());
  ASSERT_EQ(RunMailer(world.home, {"--flush"}).exitCode, 75);
  world.PointAt(server.Port());
  EXPECT_EQ(RunMailer(world.home, {"--flush"}), (MailerRun{0, ""}));
  EXPECT_EQ(server.Messages().size(), 3u);
}

// A queue that cannot be written fails the message with 71, saying so first.
TEST(SendmailQueue, AQueueThatCannotBeWrittenFailsWith71) {
  QueueWorld world(FreePort());
  world.home.WriteFile(world.home.base + "/state", "a file where the queue's folder would be");
  MailerRun run = world.Send("a@example.com", "lost");
  EXPECT_EQ(run.exitCode, 71) << run.output;
  EXPECT_TRUE(run.output.starts_with("sendmail: the message could not be queued: ")) << run.output;
  EXPECT_NE(run.output.find("; it was not sent either: cannot connect to 127.0.0.1 port "), std::string::npos)
      << run.output;
  run = RunSendmail(world.home, {"-odq", "a@example.com"}, "Subject: t\n\nx\n");
  EXPECT_EQ(run.exitCode, 71) << run.output;
  EXPECT_TRUE(run.output.starts_with("sendmail: the message could not be queued: ")) << run.output;
}

// A server that takes the connection and never greets, or closes it at once: the
// message is queued as such, not as a connection that could not be made, and a flush
// says the same.
TEST(SendmailQueue, AGreetingThatNeverComesIsQueuedAsSuch) {
  struct GreetingCase {
    PeerScript script;
    std::string before, after;  // the reason, around the port
  };
  const GreetingCase cases[] = {
      {PeerScript().ReadUntilClosed(), "no greeting from 127.0.0.1 port ", " within 1 second"},
      {PeerScript().Close(), "127.0.0.1 port ", " closed the connection without a greeting"}};
  for (const GreetingCase& c : cases) {
    ScriptedPeer peer(c.script);
    QueueWorld world(peer.Port(), {{"Timeout", "1"}});
    MailerRun run = world.Send("a@example.com", "unanswered");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(": " + c.before + std::to_string(peer.Port()) + c.after + "\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(peer.Finish(), "");

    ScriptedPeer again(c.script);
    world.PointAt(again.Port());
    run = world.Sendmail({"-q"});
    EXPECT_EQ(run.exitCode, 75) << run.output;
    EXPECT_TRUE(run.output.starts_with("sendmail: " + c.before + std::to_string(again.Port()) + c.after + "\n"))
        << run.output;
    EXPECT_EQ(again.Finish(), "");
  }
}

// What interrupted runs left, temporary files older than a day, goes with the next
// flush, even of an empty queue; a newer one may be a spool that is still written.
TEST(SendmailQueue, AFlushRemovesTemporaryFilesOlderThanADay) {
  SmtpTestServer server;
  QueueWorld world(server.Port());
  const std::string folder = world.Folder();
  ASSERT_EQ(world.Sendmail({"-bp"}).exitCode, 0);  // makes the folder
  const auto dayAgo = fs::file_time_type::clock::now() - std::chrono::hours(25);
  for (const char* name : {"/.tmp-old", "/.tmp-new", "/failed/.tmp-old"}) {
    world.home.WriteFile(folder + name, "part of a message");
    if (std::string(name).ends_with("old")) fs::last_write_time(folder + name, dayAgo);
  }
  EXPECT_EQ(RunMailer(world.home, {"--flush-due"}), (MailerRun{0, ""}));
  EXPECT_FALSE(fs::exists(folder + "/.tmp-old"));
  EXPECT_FALSE(fs::exists(folder + "/failed/.tmp-old"));
  EXPECT_TRUE(fs::exists(folder + "/.tmp-new"));
}

// Queued without a try, then one flush: a refused entry in the middle and an entry past
// QueueLifetime are given up (kept in failed/, a report to the sender), the rest sent.
TEST(SendmailQueue, ABatchWithARefusedAndAnExpiredEntry) {
  SmtpTestServer server({.rejectedRecipients = {"gone@example.com"}});
  QueueWorld world(server.Port(), {{"QueueLifetime", "2"}});
  std::vector<std::string> ids;
  for (const char* to : {"a@example.com", "gone@example.com", "b@example.com", "old@example.com"}) {
    MailerRun run = RunSendmail(world.home, {"-odq", "-i", to}, std::string("Subject: to ") + to + "\n\nx\n");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ids.push_back(QueuedId(run));
  }
  world.SetLine(world.Folder() + "/" + ids[3] + ".entry", "Queued", std::to_string(std::time(nullptr) - 3 * 86400));

  MailerRun run = world.Sendmail({"-q"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find(ids[1] + " was given up: the recipient gone@example.com was refused"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(ids[3] + " was given up: not delivered within 2 days"), std::string::npos) << run.output;
  const std::vector<std::string> subjects = Subjects(server);
  ASSERT_EQ(subjects.size(), 4u) << run.output;
  EXPECT_EQ(std::vector<std::string>(subjects.begin(), subjects.begin() + 2),
            (std::vector<std::string>{"to a@example.com", "to b@example.com"}));
  std::string reports;
  const std::vector<ReceivedMessage> messages = server.Messages();
  for (std::size_t i : {2u, 3u}) {
    const ReceivedMessage& report = messages[i];
    // aiosmtpd records the null sender as "<>".
    EXPECT_EQ(report.envelope, "MAIL FROM:<<>>\nRCPT TO:<backup@example.com>\n");
    EXPECT_NE(report.content.find("Auto-Submitted: auto-replied"), std::string::npos);
    reports += report.content;
  }
  EXPECT_NE(reports.find("Recipient: gone@example.com"), std::string::npos) << reports;
  EXPECT_NE(reports.find("Recipient: old@example.com"), std::string::npos) << reports;
  EXPECT_EQ(world.Files(world.Folder() + "/failed"), (std::vector<std::string>{ids[1] + ".entry", ids[3] + ".entry"}));
  EXPECT_TRUE(world.Files(world.Folder()).empty());
}

// Two flushes at once send each entry once: the second waits for the first.
TEST(SendmailQueue, TwoFlushesAtOnceSendEachMessageOnce) {
  SmtpTestServer server;
  QueueWorld world(server.Port());
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(RunSendmail(world.home, {"-odq", "-i", "a@example.com"}, "Subject: m" + std::to_string(i) + "\n\nx\n")
                  .exitCode,
              0);
  }
  MailerRun first{};
  std::thread other([&] { first = world.Sendmail({"-q"}); });
  MailerRun second = world.Sendmail({"-q"});
  other.join();
  EXPECT_EQ(first, (MailerRun{0, ""}));
  EXPECT_EQ(second, (MailerRun{0, ""}));
  std::vector<std::string> subjects = Subjects(server);
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{"m0", "m1", "m2", "m3", "m4", "m5"}));
}

// What is not the user's own is never read; a corrupt entry is set aside and named;
// the rest is sent.
TEST(SendmailQueue, ForeignOrCorruptEntriesAreRefusedAndTheRestSent) {
  SmtpTestServer server;
  QueueWorld world(server.Port());
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    MailerRun run = RunSendmail(world.home, {"-odq", "-i", "a@example.com"}, "Subject: e" + std::to_string(i) + "\n\nx\n");
    ids.push_back(QueuedId(run));
  }
  const std::string folder = world.Folder();
  world.SetLine(folder + "/" + ids[0] + ".entry", "Size", "99");
  chmod((folder + "/" + ids[1] + ".entry").c_str(), 0644);
  MailerRun run = world.Sendmail({"-q"});
  EXPECT_EQ(run.exitCode, 77) << run.output;
  EXPECT_NE(run.output.find("the queue entry " + ids[0] + " cannot be read and was set aside as " + folder +
                            "/corrupt/" + ids[0] + ".entry"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(ids[1] + ".entry\" is open to other users (mode 0644)"), std::string::npos) << run.output;
  EXPECT_EQ(Subjects(server), std::vector<std::string>{"e2"});

  struct FolderCase {
    unsigned mode;
    uid_t owner;
    std::string why;
  };
  const FolderCase cases[] = {{0755, getuid(), "is open to other users (mode 0755)"},
                              {0700, 65534, "is owned by another user (uid 65534)"}};
  for (const FolderCase& c : cases) {
    chmod(folder.c_str(), c.mode);
    if (chown(folder.c_str(), c.owner, static_cast<gid_t>(-1)) != 0) GTEST_SKIP() << "cannot change owners";
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"-bp"}, {"-q"}}) {
      run = world.Sendmail(arguments);
      EXPECT_EQ(run.exitCode, 77) << c.why << run.output;
      EXPECT_EQ(run.output, "sendmail: the queue folder is refused: \"" + folder + "\" " + c.why + "\n");
    }
    ASSERT_EQ(chown(folder.c_str(), getuid(), static_cast<gid_t>(-1)), 0);
  }
}

}  // namespace

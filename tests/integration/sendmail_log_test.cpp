// The log line of every message, end to end against aiosmtpd: read back from a syslog
// socket of the test's own (the program runs in a private mount namespace whose
// /dev/log is that socket: tests/support/with_dev_log.sh, which needs root, as CI has)
// and from LogFile; Log 0 writes none.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/mailer_program.h"
#include "tests/support/server_process.h"
#include "tests/support/smtp_server.h"

namespace {

// A syslog socket: a unix datagram socket bound at a path of home's folder.
class SyslogSocket {
 public:
  explicit SyslogSocket(const TempConfigHome& home) : path(home.base + "/log.socket") {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~SyslogSocket() {
    if (fd >= 0) close(fd);
  }

  // The datagrams that have arrived; a run that has ended sends no more.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    char buffer[8192];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) lines.emplace_back(buffer, n);
    return lines;
  }

  const std::string path;
  bool bound = false;

 private:
  int fd = -1;
};

// The sendmail face run as RunSendmail runs it, its /dev/log the socket's.
MailerRun RunLogged(const TempConfigHome& home, const SyslogSocket& log, const std::vector<std::string>& arguments,
                    const std::string& input) {
  const char* given = std::getenv("EMAILER_TEST_WRAPPER");
  const std::string wrapper = given != nullptr ? given : "";
  setenv("EMAILER_TEST_WRAPPER",
         (EMAILER_TEST_SUPPORT_DIR "/with_dev_log.sh " + log.path + " " + wrapper).c_str(), 1);
  MailerRun run = RunSendmail(home, arguments, input);
  if (given != nullptr) setenv("EMAILER_TEST_WRAPPER", wrapper.c_str(), 1);
  else unsetenv("EMAILER_TEST_WRAPPER");
  return run;
}

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A message queued while the server is away, then sent by a flush; one sent at once:
// a line each time, facility mail, priority info, tagged with the program's name.
TEST(SendmailLog, EveryMessageHasALineInTheSystemLog) {
  if (geteuid() != 0) GTEST_SKIP() << "a private /dev/log needs root";
  auto home = PlainSessionHome(FreePort(), {{"AuthMethod", "8"}, {"AuthUser", "me"}, {"AuthPassword", "secret"}});
  SyslogSocket log(*home);
  ASSERT_TRUE(log.bound);
  const std::string input = "Subject: private subject\n\nprivate body\n";
  MailerRun run = RunLogged(*home, log, {"-i", "a@example.com", "b@example.com"}, input);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string id = run.output.substr(run.output.find("queued as ") + 10, 32);
  // <22>: facility mail (2), priority info (6).
  EXPECT_TRUE(lines[0].starts_with("<22>")) << lines[0];
  EXPECT_TRUE(Holds(lines[0], " sendmail[")) << lines[0];
  EXPECT_TRUE(Holds(lines[0], "]: queueid=" + id + " from=backup@example.com to=a@example.com,b@example.com size=" +
                                  std::to_string(input.size()) + " server=127.0.0.1:"))
      << lines[0];
  EXPECT_TRUE(Holds(lines[0], " tls=off auth=on user=me outcome=queued reason='cannot connect to 127.0.0.1 port "))
      << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" exit=EX_OK")) << lines[0];

  SmtpTestServer server;
  home->WriteFile(home->SmtpKeyFile(),
                  SmtpSettings({{"Server", "127.0.0.1"}, {"Port", std::to_string(server.Port())},
                                {"SenderEMail", "backup@example.com"}}));
  ASSERT_EQ(RunLogged(*home, log, {"-q"}, ""), (MailerRun{0, ""}));
  ASSERT_EQ(RunLogged(*home, log, {"-i", "c@example.com"}, "Subject: t\n\nx\n"), (MailerRun{0, ""}));
  lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(Holds(lines[0], "]: queueid=" + id + " from=backup@example.com to=a@example.com,b@example.com")) << lines[0];
  EXPECT_TRUE(Holds(lines[0], " tls=off auth=off outcome=sent reply='250 OK' delay=")) << lines[0];
  EXPECT_FALSE(Holds(lines[0], "exit=")) << lines[0];
  EXPECT_TRUE(Holds(lines[1], "]: from=backup@example.com to=c@example.com size=14 ")) << lines[1];
  EXPECT_TRUE(Holds(lines[1], " outcome=sent reply='250 OK' delay=")) << lines[1];
  EXPECT_TRUE(lines[1].ends_with(" exit=EX_OK")) << lines[1];
  for (const std::string& line : lines) {
    for (const char* secret : {"secret", "private"}) EXPECT_FALSE(Holds(line, secret)) << line;
  }
}

// LogFile: the line after the date; a refused message too, with its status; Log 0:
// nothing.
TEST(SendmailLog, LogFileHoldsTheLineAndLogZeroNone) {
  SmtpTestServer server({.rejectedRecipients = {"gone@example.com"}});
  TempConfigHome files;
  const std::string logFile = files.base + "/mail.log";
  auto home = PlainSessionHome(server.Port(), {{"LogFile", logFile}});
  ASSERT_EQ(RunSendmail(*home, {"-i", "\"john smith\"@example.org"}, "Subject: t\n\nx\n"), (MailerRun{0, ""}));
  EXPECT_EQ(RunSendmail(*home, {"-i", "gone@example.com"}, "Subject: t\n\nx\n").exitCode, 67);
  const std::string text = files.ReadFile(logFile);
  const std::size_t firstEnd = text.find('\n');
  ASSERT_NE(firstEnd, std::string::npos) << text;
  const std::string first = text.substr(0, firstEnd);
  const std::string second = text.substr(firstEnd + 1);
  // The date ("Wed, 09 Dec 2026 07:54:39 +0000", the shape of each byte), then the line.
  const std::string dateShape = "AAA, 00 AAA 0000 00:00:00 +0000 ";
  ASSERT_GT(first.size(), dateShape.size()) << first;
  for (std::size_t at = 0; at < dateShape.size(); ++at) {
    const unsigned char c = static_cast<unsigned char>(first[at]);
    const char shape = dateShape[at];
    const bool fits = shape == 'A'   ? std::isalpha(c) != 0
                      : shape == '0' ? std::isdigit(c) != 0
                      : shape == '+' ? c == '+' || c == '-'
                                     : c == static_cast<unsigned char>(shape);
    EXPECT_TRUE(fits) << "byte " << at << " of " << first;
  }
  EXPECT_EQ(first.substr(dateShape.size()).rfind("from=backup@example.com to='\"john smith\"@example.org' size=14 ", 0),
            0u)
      << first;
  EXPECT_TRUE(Holds(first, " outcome=sent reply='250 OK' delay=")) << first;
  EXPECT_TRUE(first.ends_with(" exit=EX_OK")) << first;
  EXPECT_TRUE(Holds(second, " outcome=refused reason='the recipient gone@example.com was refused, and the "
                            "message sent to no one: Unexpected RCPT TO response, Last Response: 550 5.1.1 "
                            "<gone@example.com>: Recipient address rejected: User unknown' delay="))
      << second;
  EXPECT_TRUE(second.ends_with(" exit=EX_NOUSER\n"))
      << second;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;

  auto quiet = PlainSessionHome(server.Port(), {{"LogFile", logFile}, {"Log", "0"}});
  ASSERT_EQ(RunSendmail(*quiet, {"-i", "a@example.com"}, "Subject: t\n\nx\n"), (MailerRun{0, ""}));
  EXPECT_EQ(files.ReadFile(logFile), text);
  auto wrong = PlainSessionHome(server.Port(), {{"Log", "yes"}});
  EXPECT_EQ(RunSendmail(*wrong, {"-i", "a@example.com"}, "Subject: t\n\nx\n"),
            (MailerRun{78, "sendmail: The setting Log holds \"yes\", which is not a number\n"}));
}

}  // namespace

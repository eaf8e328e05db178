#include "app/sendmail/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/sendmail/failure.h"

namespace {

TEST(IsSendmailProgramName, TheLastPartWithoutExeInAnyCase) {
  for (const char* name : {"sendmail", "/usr/sbin/sendmail", "/usr/lib/sendmail", "e-mailer-sendmail",
                           "C:\\php\\SENDMAIL.EXE", "SendMail.exe", "bin/E-Mailer-Sendmail"}) {
    EXPECT_TRUE(IsSendmailProgramName(name)) << name;
  }
  for (const char* name : {"e-mailer", "/usr/sbin/sendmail/e-mailer", "sendmail.bin", "xsendmail", ".exe", "",
                           "mailq"}) {
    EXPECT_FALSE(IsSendmailProgramName(name)) << name;
  }
  for (const char* name : {"mailq", "/usr/bin/mailq", "MAILQ.EXE"}) EXPECT_TRUE(IsMailqProgramName(name)) << name;
  for (const char* name : {"sendmail", "mailq.sh", "/usr/bin/mailq/e-mailer"}) {
    EXPECT_FALSE(IsMailqProgramName(name)) << name;
  }
  EXPECT_TRUE(IsNewaliasesProgramName("/usr/bin/newaliases"));
  EXPECT_FALSE(IsNewaliasesProgramName("mailq"));
}

// The command lines of the real callers and the other accepted forms.
TEST(ParseSendmailOptions, WhatTheCallersPass) {
  SendmailOptions cron = ParseSendmailOptions({"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"});
  EXPECT_EQ(cron.fullName, "CronDaemon");
  EXPECT_FALSE(cron.dotEndsInput);
  EXPECT_EQ(cron.recipients, std::vector<std::string>{"root"});

  SendmailOptions php = ParseSendmailOptions({"-t", "-i", "-f", "web@example.com"});
  EXPECT_TRUE(php.recipientsFromHeader);
  EXPECT_EQ(php.sender, "web@example.com");

  SendmailOptions mutt = ParseSendmailOptions({"-oem", "-oi", "--", "-odd@example.com", "b@x.y, c@x.y"});
  EXPECT_FALSE(mutt.dotEndsInput);
  EXPECT_EQ(mutt.recipients, (std::vector<std::string>{"-odd@example.com", "b@x.y, c@x.y"}));

  SendmailOptions combined = ParseSendmailOptions({"a@x.y", "-tiv", "-rme@x.y", "-N", "success,delay",
                                                   "-R", "hdrs", "-VENV1", "-odi", "-oQ/q", "-em", "-bm",
                                                   "-Ac", "-X", "/log", "-L", "tag", "-h", "10", "-B", "7BIT"});
  EXPECT_TRUE(combined.recipientsFromHeader && combined.verbose && !combined.dotEndsInput);
  EXPECT_EQ(combined.sender, "me@x.y");
  EXPECT_EQ(combined.dsnNotify, 1 | 4);
  EXPECT_FALSE(combined.dsnReturnFull);
  EXPECT_EQ(combined.envelopeId, "ENV1");
  EXPECT_EQ(combined.recipients, std::vector<std::string>{"a@x.y"});

  EXPECT_EQ(ParseSendmailOptions({"-N", "never"}).dsnNotify, 0);
  EXPECT_TRUE(ParseSendmailOptions({"-R", "FULL"}).dsnReturnFull);
  EXPECT_TRUE(ParseSendmailOptions({"-f", "x@y.z"}).dotEndsInput);
  EXPECT_EQ(ParseSendmailOptions({"-tiawork"}).account, "work");
  EXPECT_EQ(ParseSendmailOptions({"a@x.y", "--account=-gmail"}).account, "-gmail");
}

TEST(ParseSendmailOptions, QueueOptions) {
  struct ModeCase {
    std::vector<std::string> arguments;
    SendmailOptions::Mode mode;
    bool queueOnly;
  };
  const ModeCase cases[] = {
      {{"-bp"}, SendmailOptions::ListQueue, false},
      {{"-q"}, SendmailOptions::FlushQueue, false},
      {{"-vq"}, SendmailOptions::FlushQueue, false},
      {{"-odq", "a@b.c"}, SendmailOptions::SendMessage, true},
      {{"-o", "dd", "a@b.c"}, SendmailOptions::SendMessage, true},
      {{"-odq", "-odi", "a@b.c"}, SendmailOptions::SendMessage, false},
      {{"-bp", "-bm", "a@b.c"}, SendmailOptions::SendMessage, false},
      {{"-bi"}, SendmailOptions::InitializeAliases, false},
  };
  for (const ModeCase& c : cases) {
    const SendmailOptions options = ParseSendmailOptions(c.arguments);
    EXPECT_EQ(options.mode, c.mode) << c.arguments.front();
    EXPECT_EQ(options.queueOnly, c.queueOnly) << c.arguments.front();
  }
}

struct UsageCase {
  std::vector<std::string> arguments;
  const char* text;
};

TEST(ParseSendmailOptions, UsageErrorsNameTheOption) {
  const UsageCase cases[] = {
      {{"-Q", "a@b.c"}, "option -Q is not supported"},
      {{"--help"}, "option --help is not supported"},
      {{"--accounts=work"}, "option --accounts=work is not supported"},
      {{"-bs"}, "option -bs is not supported"},
      {{"-bd"}, "option -bd is not supported"},
      {{"-bx"}, "option -bx is not supported"},
      {{"-q1h"}, "option -q is not supported"},
      {{"-ex"}, "option -ex is not supported"},
      {{"-Ax"}, "option -Ax is not supported"},
      {{"a@b.c", "-f"}, "option -f needs a value"},
      {{"-N", "sometimes"}, "-N sometimes: give never, or success, failure and delay"},
      {{"-N", "success,"}, "-N success,: give never, or success, failure and delay"},
      {{"-R", "body"}, "-R body: give full or hdrs"},
  };
  for (const UsageCase& c : cases) {
    try {
      ParseSendmailOptions(c.arguments);
      ADD_FAILURE() << c.text;
    } catch (const CSendmailFailure& failure) {
      EXPECT_EQ(failure.status, SendmailUsage) << c.text;
      EXPECT_EQ(failure.text, c.text);
    }
  }
}

}  // namespace

#include "app/mailer/mailer_app.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "app/run/exit_codes.h"
#include "app/run/ssl_locks.h"
#include "support/temp_config_home.h"

namespace {

// Without a subject the run ends before any setting is read: nothing is created in the
// config folder and nothing is shown.
TEST(CMailerApp, WithoutASubjectNothingIsDone) {
  const std::vector<std::string> commandLines[] = {{}, {"showui"}, {"-SHOWUI", "/showui"},
                                                   {"", "Body"}, {"showui", "-", "Body"}};
  for (const auto& commandLine : commandLines) {
    TempConfigHome home;
    testing::internal::CaptureStderr();
    EXPECT_EQ(CMailerApp(commandLine).Run(), ExitNoSubject);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(std::filesystem::exists(home.config));
  }
}

TEST(CMailerApp, StartUpBuildsTheLockTableAndExitReleasesIt) {
  TempConfigHome home;
  CMailerApp app({"showui"});
  EXPECT_FALSE(app.InitInstance());
  EXPECT_NE(g_pSslLocks, nullptr);
  EXPECT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_IGN);
  EXPECT_EQ(app.ExitInstance(), ExitNoSubject);
  EXPECT_EQ(g_pSslLocks, nullptr);
}

}  // namespace

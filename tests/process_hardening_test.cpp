// The start-up hardening, in a child process of its own: it lasts for the process's life.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/process_hardening.h"

TEST(HardenProcess, NoCoreDumpAndNoAttaching) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HardenProcess();
    rlimit core{};
    getrlimit(RLIMIT_CORE, &core);
    _exit(prctl(PR_GET_DUMPABLE) == 0 && core.rlim_cur == 0 && core.rlim_max == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

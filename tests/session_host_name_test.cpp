// The session's greeting on a system that cannot tell its own host name: a seccomp
// filter makes uname, and so gethostname, fail (Linux alone has the filter).
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include "smtp/connection.h"
#include "tests/support/scripted_peer.h"

namespace {

// Makes the uname system call, and so gethostname, fail in this thread.
void FailUname() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_uname, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}

// Greets with the host name of a system that cannot tell its own; 0 when HELO carried
// "auto".
int GreetWithoutHostName() {
  ScriptedPeer peer{PeerScript()
                        .Send("220 hi\r\n")
                        .Expect("HELO auto\r\n")
                        .Send("250 ok\r\n")
                        .Expect("QUIT\r\n")
                        .Send("221 bye\r\n")};
  FailUname();
  CTAVSMTPConnection c;
  c.Connect("127.0.0.1", AuthNone, "", "", peer.Port(), false);
  c.Disconnect(true);
  std::string report = peer.Finish();
  std::fputs(report.c_str(), stderr);
  return report.empty() ? 0 : 1;
}

}  // namespace

TEST(Session, GreetsWithAutoWhenTheHostNameCannotBeHad) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(GreetWithoutHostName()), testing::ExitedWithCode(0), "");
}

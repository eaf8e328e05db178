// NewUuidText: random UUIDs in their text form, version 4 and the RFC 4122 variant,
// each one fresh, also where the system gives no random bytes.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/uuid.h"

namespace {

// Lower-case hexadecimal digits in groups of 8, 4, 4, 4 and 12, the version digit 4
// and the variant digit one of 8, 9, a and b.
bool IsVersion4Text(const std::string& uuid) {
  if (uuid.size() != 36) return false;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = uuid[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return uuid[14] == '4' && std::string("89ab").find(uuid[19]) != std::string::npos;
}

}  // namespace

TEST(NewUuidText, FreshLowerCaseRandomUuids) {
  std::set<std::string> seen;
  // Every hexadecimal digit turns up in the random places of a thousand UUIDs.
  std::set<char> digits;
  for (int i = 0; i < 1000; ++i) {
    const std::string uuid = NewUuidText();
    ASSERT_TRUE(IsVersion4Text(uuid)) << uuid;
    EXPECT_TRUE(seen.insert(uuid).second) << uuid;
    digits.insert(uuid.begin(), uuid.begin() + 8);
  }
  EXPECT_EQ(digits.size(), 16u);
}

namespace {

// Where the system refuses random bytes: getrandom fails with an error of the table
// below and, with noDevice, so does every open (so /dev/urandom too), through a seccomp
// filter of the death test's child.
struct Refusal {
  const char* what;
  int getrandomError;
  bool noDevice;
};

void RefuseRandomBytes(const Refusal& refusal) {
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(refusal.getrandomError)),
  };
  if (refusal.noDevice) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 1));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    std::fprintf(stderr, "no seccomp filter: %s\n", std::strerror(errno));
    _exit(2);
  }
}

// Makes a thousand UUIDs under the refusal; exits 0 when each is a well-formed and
// fresh one, never throwing or blocking.
[[noreturn]] void MakeUuidsRefused(const Refusal& refusal) {
  RefuseRandomBytes(refusal);
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string uuid = NewUuidText();
    if (!IsVersion4Text(uuid) || !seen.insert(uuid).second) {
      std::fprintf(stderr, "bad or repeated UUID %s\n", uuid.c_str());
      _exit(1);
    }
  }
  std::fprintf(stderr, "all fresh\n");
  _exit(0);
}

}  // namespace

TEST(NewUuidText, StillMadeWhereTheSystemRefusesRandomBytes) {
  const Refusal refusals[] = {
      {"no getrandom (an old kernel)", ENOSYS, false},
      {"getrandom refused (seccomp), no device either", EPERM, true},
      {"the pool not ready yet, no device either", EAGAIN, true},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.what);
    EXPECT_EXIT(MakeUuidsRefused(refusal), testing::ExitedWithCode(0), "all fresh");
  }
}

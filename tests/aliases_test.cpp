#include "app/sendmail/aliases.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const aliasesFile =
    "# See man 5 aliases for format\n"
    "postmaster:    root\r\n"
    "ROOT: admin, ops@example.com\n"
    "admin: Admin Person <admin@example.com>,\n"
    "  \"Ops, Team\" <ops@example.com>,\n"
    "\tsecond@example.com\n"
    "loop1: loop2\n"
    "loop2: loop1, end@example.com\n"
    "self: self, self@example.com\n"
    "program: |/usr/bin/procmail, /var/mail/file, :include:/etc/list\n"
    "nobody: nowhere\n"
    "files: /var/mail/files, other@example.com\n"
    "empty:\n"
    "no colon line\n";

struct AliasCase {
  const char* name;
  std::vector<std::string> addresses;
};

TEST(Aliases, ResolveFollowsEntriesToAddresses) {
  const CAliases aliases = CAliases::Parse(aliasesFile);
  const AliasCase cases[] = {
      {"postmaster", {"admin@example.com", "ops@example.com", "second@example.com"}},
      {"Root", {"admin@example.com", "ops@example.com", "second@example.com"}},
      {"loop1", {"loop1", "end@example.com"}},
      {"self", {"self", "self@example.com"}},
      // Left with no address, the name stays, for RecipientEMail or a failure naming it.
      {"program", {"program"}},
      {"nobody", {"nowhere"}},
      {"unknown", {"unknown"}},
      {"files", {"other@example.com"}},
      {"empty", {"empty"}},
  };
  for (const AliasCase& c : cases) EXPECT_EQ(aliases.Resolve(c.name), c.addresses) << c.name;
}

TEST(Aliases, DepthIsBounded) {
  std::string chain;
  for (int i = 0; i < 40; ++i) chain += "n" + std::to_string(i) + ": n" + std::to_string(i + 1) + "\n";
  EXPECT_EQ(CAliases::Parse(chain).Resolve("n0"), std::vector<std::string>{"n" + std::to_string(maxAliasDepth)});
}

}  // namespace

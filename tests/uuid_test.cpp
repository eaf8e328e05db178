// NewUuidText: random UUIDs in their text form, version 4 and the RFC 4122 variant,
// each one fresh.
#include <set>
#include <string>

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

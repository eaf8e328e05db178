// NewUuidText: random UUIDs in their text form, version 4 and the RFC 4122 variant,
// each one fresh.
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/uuid.h"

TEST(NewUuidText, FreshLowerCaseRandomUuids) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  // Every hexadecimal digit turns up in the random places of a thousand UUIDs.
  std::set<char> digits;
  for (int i = 0; i < 1000; ++i) {
    const std::string uuid = NewUuidText();
    ASSERT_TRUE(std::regex_match(uuid, form)) << uuid;
    EXPECT_TRUE(seen.insert(uuid).second) << uuid;
    digits.insert(uuid.begin(), uuid.begin() + 8);
  }
  EXPECT_EQ(digits.size(), 16u);
}

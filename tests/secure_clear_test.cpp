// SecureClear: every byte of a text's storage, its spare room too, is overwritten, and
// the storage stays where it was (nothing is given back unwiped).
#include <string>

#include <gtest/gtest.h>

#include "platform/secure_clear.h"

TEST(SecureClear, OverwritesTheWholeStorageInPlace) {
  // Held inside the string object, and in memory of its own with room to spare.
  struct Case {
    std::size_t length, room;
  };
  for (Case c : {Case{8, 0}, Case{100, 300}}) {
    SCOPED_TRACE(c.length);
    std::string secret(c.length, 's');
    secret.reserve(c.room);
    secret.pop_back();  // a byte past the text still holds the secret
    const char* storage = secret.data();
    const std::size_t room = secret.capacity();
    {
      ClearOnExit clear(secret);
    }
    EXPECT_TRUE(secret.empty());
    EXPECT_EQ(secret.data(), storage);
    EXPECT_EQ(std::string(storage, room), std::string(room, '\0'));
  }
}

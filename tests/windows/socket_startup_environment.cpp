// The program's socket start-up (Windows Sockets 2.2), run once before the tests of a
// test program that uses sockets, as the program runs it before its first socket.
#include <gtest/gtest.h>

#include "platform/win_app.h"

namespace {

class SocketStartup : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(AfxSocketInit()); }
};

[[maybe_unused]] const ::testing::Environment* const startup =
    ::testing::AddGlobalTestEnvironment(new SocketStartup);

}  // namespace

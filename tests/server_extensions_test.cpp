// What the transfer reads from an EHLO reply: PIPELINING, SIZE with its limit, SMTPUTF8.
#include <gtest/gtest.h>

#include "smtp/server_extensions.h"

namespace {

struct Case {
  const char* reply;
  bool pipelining;
  bool size;
  std::uint64_t sizeLimit;
  bool smtpUtf8;
};

TEST(ServerExtensions, ReadsTheKeywordsOfEveryLineInAnyCase) {
  const Case cases[] = {
      {"250 mail.example.org", false, false, 0, false},
      {"250-mail\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250 SMTPUTF8", true, true, 10240000, true},
      {"250-mail\r\n250-pipelining\r\n250 size", true, true, 0, false},
      // Words that only begin like a keyword, or stand after it, offer nothing.
      {"250-mail\r\n250-PIPELININGX\r\n250-X SIZE 5\r\n250 SMTPUTF8X", false, false, 0, false},
      // A limit that is no number, or does not fit in 64 bits, declares none.
      {"250-mail\r\n250 SIZE 12x", false, true, 0, false},
      {"250-mail\r\n250 SIZE 18446744073709551616", false, true, 0, false},
      {"250-mail\r\n250 SIZE 18446744073709551615", false, true, 18446744073709551615u, false},
  };
  for (const Case& c : cases) {
    const CServerExtensions offered = ReadServerExtensions(c.reply);
    EXPECT_EQ(offered.pipelining, c.pipelining) << c.reply;
    EXPECT_EQ(offered.size, c.size) << c.reply;
    EXPECT_EQ(offered.sizeLimit, c.sizeLimit) << c.reply;
    EXPECT_EQ(offered.smtpUtf8, c.smtpUtf8) << c.reply;
  }
}

}  // namespace

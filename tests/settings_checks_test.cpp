#include "app/run/settings_checks.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_config_home.h"

namespace {

// A REG_DWORD is always a number, a text only when it is one: "true" or a typo never
// reads as 0.
TEST(ReadDwordSetting, ReadsNumbersAndRefusesEverythingElseByName) {
  TempConfigHome home;
  struct Case {
    const char* line;  // the value's line in the key file
    std::optional<std::int64_t> number;
    const char* holds;  // what the error quotes; null when it reads
  };
  const Case cases[] = {
      {"\"TLSVerify\"=dword:ffffffff", -1, nullptr}, {"\"TLSVerify\"=\"1\"", 1, nullptr},
      {"\"Other\"=\"x\"", std::nullopt, nullptr},    {"\"TLSVerify\"=\"true\"", {}, "true"},
      {"\"TLSVerify\"=\"\"", {}, ""},                {"\"TLSVerify\"=\"1x\"", {}, "1x"},
      {"\"TLSVerify\"=\"4294967296\"", {}, "4294967296"}, {"\"TLSVerify\"=hex:01", {}, ""},
  };
  for (const Case& c : cases) {
    home.WriteFile(home.SmtpKeyFile(),
                   "REGEDIT4\r\n[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\r\n" +
                       std::string(c.line) + "\r\n");
    try {
      EXPECT_EQ(ReadDwordSetting("TLSVerify"), c.number) << c.line;
      EXPECT_EQ(c.holds, nullptr) << c.line;
    } catch (const CSettingError& e) {
      ASSERT_NE(c.holds, nullptr) << c.line;
      EXPECT_EQ(e.what(), "The setting TLSVerify holds \"" + std::string(c.holds) +
                              "\", which is not a number");
    }
  }
}

}  // namespace

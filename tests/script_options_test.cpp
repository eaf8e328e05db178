// The addresses and media types of the script options, case by case.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/mailer/address_list.h"
#include "app/mailer/media_types.h"
#include "app/mailer/script_options.h"

TEST(AddressList, ItemsWithAndWithoutDisplayNames) {
  struct AddressCase {
    std::string text;
    std::vector<std::pair<std::string, std::string>> addresses;  // empty: refused
  };
  const AddressCase cases[] = {
      {"a@example.org", {{"", "a@example.org"}}},
      {" a@example.org ,b@example.org", {{"", "a@example.org"}, {"", "b@example.org"}}},
      {"\"Ops, Team\" <ops@example.org>", {{"Ops, Team", "ops@example.org"}}},
      {"\"Say \\\"hi\\\"\" <q@example.org>", {{"Say \"hi\"", "q@example.org"}}},
      {"Zoe Z <z@example.org>, <y@example.org>", {{"Zoe Z", "z@example.org"}, {"", "y@example.org"}}},
      {"j\xC3\xB6rg@b\xC3\xBC" "cher.example", {{"", "j\xC3\xB6rg@b\xC3\xBC" "cher.example"}}},
      {"", {}},
      {"a@example.org,", {}},
      {"@example.org", {}},
      {"a@", {}},
      {"a@@example.org", {}},
      {"a b@example.org", {}},
      {"<a@example.org", {}},
      {"\"open <a@example.org>", {}},
      {"A <a@example.org> tail", {}},
      {"a@example.org\r\nRCPT TO:<b@example.org>", {}},
      {"Na\nme <a@example.org>", {}},
  };
  for (const AddressCase& c : cases) {
    std::string refused;
    const auto parsed = ParseAddressList(c.text, refused);
    std::vector<std::pair<std::string, std::string>> got;
    if (parsed) {
      for (const CTAVSMTPAddress& a : *parsed) got.emplace_back(a.displayName, a.emailAddress);
    }
    EXPECT_EQ(got, c.addresses) << c.text;
  }
}

TEST(MediaTypes, SystemTableThenBuiltInThenOctetStream) {
  const std::string missing = "/nonexistent/mime.types";
  EXPECT_EQ(MediaTypeOf("report.PDF"), "application/pdf");
  EXPECT_EQ(MediaTypeOf("backup.log"), "text/plain");  // not in Debian's table
  EXPECT_EQ(MediaTypeOf("chart.png", missing), "image/png");
  EXPECT_EQ(MediaTypeOf("data.unknownext", missing), "application/octet-stream");
  EXPECT_EQ(MediaTypeOf("no-extension"), "application/octet-stream");
  EXPECT_EQ(MediaTypeOf("trailing."), "application/octet-stream");
}

// Without an option the command line is left as it is, and a --check keeps its --json.
TEST(ScriptOptions, TakenOnlyWhereTheyAreTheCommandLines) {
  struct LineCase {
    std::vector<std::string> words;
    bool given;
    std::vector<std::string> rest;
  };
  const LineCase cases[] = {
      {{"Subject", "--urgent", "showui"}, false, {"Subject", "--urgent", "showui"}},
      {{"--check", "--json"}, false, {"--check", "--json"}},
      {{"--account", "work", "--check", "--json"}, false, {"--account", "work", "--check", "--json"}},
      {{"Subject", "--to", "a@example.org", "Body", "showui"}, true, {"Subject", "Body", "showui"}},
      {{"--json", "--", "--subject", "-x"}, true, {"--subject", "-x"}},
      {{"/-to", "a@example.org", "S"}, true, {"S"}},
  };
  for (const LineCase& c : cases) {
    std::vector<std::string> words = c.words;
    ScriptOptions options;
    EXPECT_EQ(TakeScriptOptions(words, options), std::nullopt) << c.words[0];
    EXPECT_EQ(options.given, c.given) << c.words[0];
    EXPECT_EQ(words, c.rest) << c.words[0];
  }
  std::vector<std::string> words{"--attach", "a", "--type", "text/csv", "--name", "b.csv", "--inline", "c",
                                 "--html-file", "h", "--notify", "failure,delay", "--account", "work", "S"};
  ScriptOptions options;
  ASSERT_EQ(TakeScriptOptions(words, options), std::nullopt);
  ASSERT_EQ(options.files.size(), 2u);
  EXPECT_EQ(options.files[0].type, "");
  EXPECT_EQ(options.files[1].type, "text/csv");
  EXPECT_EQ(options.files[1].name, "b.csv");
  EXPECT_TRUE(options.files[1].inlinePart);
  EXPECT_EQ(options.notify, 6);
  EXPECT_EQ(options.account, "work");
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run/sender_pattern.h"
#include "app/run/settings.h"
#include "support/temp_config_home.h"

namespace {

constexpr const char* smtp = "[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP";

// The default account and three others: one on the same server and user, one with a
// server of its own, one with a user of its own on the default's server (spelled in
// another case).
std::string AccountsFile() {
  return std::string("Windows Registry Editor Version 5.00\r\n\r\n") + smtp +
         "]\r\n\"Server\"=\"relay.example\"\r\n\"AuthUser\"=\"ann\"\r\n\"AuthPassword\"=\"default-secret\"\r\n"
         "\"OAuthClientSecretCommand\"=\"pass oauth\"\r\n\"Port\"=dword:0000024b\r\n\"Aliases\"=\"/etc/aliases\"\r\n"
         "\"SenderEMail\"=\"ann@example.org\"\r\n" +
         smtp + "\\Accounts\\Lists]\r\n\"Server\"=\"RELAY.example\"\r\n\"SenderEMail\"=\"lists@example.org\"\r\n"
         "\"SenderMatch\"=\" *@lists.example.org , owner-?@example.org\"\r\n\"Aliases\"=\"/tmp/mine\"\r\n" +
         smtp + "\\Accounts\\Gmail]\r\n\"Server\"=\"smtp.gmail.com\"\r\n\"SenderMatch\"=\"ann.private@GMAIL.com\"\r\n" +
         smtp + "\\Accounts\\Work]\r\n\"AuthUser\"=\"a.smith\"\r\n\"SenderMatch\"=\"*@work.example\"\r\n";
}

class AccountsTest : public ::testing::Test {
 protected:
  AccountsTest() { home.WriteFile(home.SmtpKeyFile(), AccountsFile()); }
  ~AccountsTest() override { UseSmtpAccount(""); }

  TempConfigHome home;
};

// Each account reads its own values, the default's where it has none, but never the
// default's secrets once it names another server or user; SenderMatch is the
// account's own, Aliases the machine's.
TEST_F(AccountsTest, AccountsTakeTheDefaultsButNotItsSecretsAcrossServersOrUsers) {
  struct Case {
    const char* account;
    const char* value;
    const char* expected;  // "-" for none
  };
  const Case cases[] = {
      {"", "Server", "relay.example"},
      {"", "SenderMatch", "-"},
      {"lists", "Server", "RELAY.example"},
      {"lists", "Port", "587"},
      {"lists", "SenderEMail", "lists@example.org"},
      {"lists", "AuthPassword", "default-secret"},
      {"lists", "OAuthClientSecretCommand", "pass oauth"},
      {"lists", "Aliases", "/etc/aliases"},
      {"Gmail", "Port", "587"},
      {"Gmail", "AuthUser", "ann"},
      {"Gmail", "SenderEMail", "ann@example.org"},
      {"Gmail", "AuthPassword", "-"},
      {"Gmail", "OAuthClientSecretCommand", "-"},
      {"work", "Server", "relay.example"},
      {"work", "AuthPassword", "-"},
      {"work", "AuthPasswordCommand", "-"},
      {"work", "SenderMatch", "*@work.example"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(UseSmtpAccount(c.account)) << c.account;
    EXPECT_EQ(ReadSmtpValue(c.value).value_or("-"), c.expected) << c.account << " " << c.value;
    EXPECT_EQ(ReadSmtpSetting(c.value, "-"), c.expected) << c.account << " " << c.value;
  }
}

// Issue 46, finding 4: a secret of the default account goes only where the default sends
// it, the same way: an account that sets another Port or token endpoint, another OAuth
// provider or tenant, or turns TLS or its check off, does not receive it; one that
// repeats the default's values, or asks for more TLS, does.
TEST(AccountSecrets, InheritedOnlyBySendingToTheSamePlaceTheSameWay) {
  TempConfigHome home;
  auto account = [](const char* name, const char* values) {
    return std::string(smtp) + "\\Accounts\\" + name + "]\r\n" + values;
  };
  home.WriteFile(home.SmtpKeyFile(),
                 std::string("Windows Registry Editor Version 5.00\r\n\r\n") + smtp +
                     "]\r\n\"Server\"=\"relay.example\"\r\n\"Port\"=\"587\"\r\n\"StartTLS\"=dword:1\r\n"
                     "\"AuthUser\"=\"ann\"\r\n\"AuthPassword\"=\"default-secret\"\r\n"
                     "\"OAuthClientSecret\"=\"client-secret\"\r\n\"OAuthProvider\"=\"microsoft\"\r\n" +
                     account("same", "\"Server\"=\"RELAY.example\"\r\n\"Port\"=dword:0000024b\r\n\"SSL\"=\"1\"\r\n") +
                     account("port", "\"Port\"=\"2525\"\r\n") +
                     account("token", "\"OAuthTokenURL\"=\"https://tokens.example/token\"\r\n") +
                     account("provider", "\"OAuthProvider\"=\"google\"\r\n") +
                     account("tenant", "\"OAuthTenant\"=\"other\"\r\n") +
                     account("plain", "\"StartTLS\"=dword:0\r\n") +
                     account("unchecked", "\"TLSVerify\"=dword:0\r\n"));
  struct Case {
    const char* account;
    bool inherits;
  };
  const Case cases[] = {{"same", true},      {"port", false},  {"token", false},    {"provider", false},
                        {"tenant", false},   {"plain", false}, {"unchecked", false}};
  for (const Case& c : cases) {
    ASSERT_TRUE(UseSmtpAccount(c.account)) << c.account;
    EXPECT_EQ(ReadSmtpValue("AuthPassword").has_value(), c.inherits) << c.account;
    EXPECT_EQ(ReadSmtpValue("OAuthClientSecret").has_value(), c.inherits) << c.account;
    EXPECT_EQ(ReadSmtpSetting("AuthUser", "-"), "ann") << c.account;  // what is no secret is taken
  }
  UseSmtpAccount("");
}

TEST_F(AccountsTest, AccountsAreNamedAsTheFileSpellsThemAndUnknownOnesLeaveTheAccountInUse) {
  EXPECT_EQ(SmtpAccountNames(), (std::vector<std::string>{"Lists", "Gmail", "Work"}));
  EXPECT_EQ(SmtpAccountsKnown(), "the accounts there are: Lists, Gmail, Work");
  ASSERT_TRUE(UseSmtpAccount("GMAIL"));
  EXPECT_EQ(SmtpAccountName(), "Gmail");
  for (const char* unknown : {"Nope", "Gmail\\..", "Accounts", "Gmail\r\nServer", "*"}) {
    EXPECT_FALSE(UseSmtpAccount(unknown)) << unknown;
  }
  EXPECT_EQ(SmtpAccountName(), "Gmail");
  EXPECT_EQ(ReadSmtpSetting("Server", ""), "smtp.gmail.com");
  EXPECT_EQ(SmtpValueNames(), (std::vector<std::string>{"Server", "SenderMatch"}));
}

TEST_F(AccountsTest, TheFirstAccountWhosePatternMatchesTheSenderIsChosen) {
  const std::pair<const char*, const char*> cases[] = {
      {"bob@lists.example.org", "Lists"}, {"owner-x@EXAMPLE.org", "Lists"}, {"owner-xy@example.org", ""},
      {"Ann.Private@gmail.com", "Gmail"}, {"ann.private@gmail.com.evil", ""}, {"a@work.example", "Work"},
      {"a@sub.work.example", ""},         {"", ""},                            {"ann@example.org", ""},
  };
  for (const auto& [sender, account] : cases) EXPECT_EQ(SmtpAccountForSender(sender), account) << sender;
}

TEST(SenderMatches, ShellPatternsSeparatedByCommas) {
  struct Case {
    const char* patterns;
    const char* sender;
    bool matches;
  };
  const Case cases[] = {
      {"*", "a@b", true},
      {"*", "", false},
      {"", "a@b", false},
      {" , ,", "a@b", false},
      {"a@b", "A@B", true},
      {"a@b", "a@bc", false},
      {"?@b", "ab@b", false},
      {"*@*.example", "x@mail.example", true},
      {"*@*.example", "x@example", false},
      {"x@a, y@b ,z@c", "y@b", true},
      {"**a*", "bba", true},
      {"*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
      {"\xC3\xA4*", "\xC3\xA4@x", true},
      {"\xC3\xA4*", "\xC3\x84@x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(SenderMatches(c.patterns, c.sender), c.matches) << c.patterns << " " << c.sender;
}

}  // namespace

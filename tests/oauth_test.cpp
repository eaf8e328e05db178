// The OAuth 2.0 client's pieces that need no provider: the presets and overrides, how a
// token endpoint's answer is read, and the form encoding. (PKCE, the grants and the
// errors are checked end to end against the test identity provider.)
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "errors/exceptions.h"
#include "oauth/client.h"
#include "oauth/https_post.h"
#include "oauth/token_endpoint.h"
#include "oauth/token_store.h"
#include "tests/support/catch_error.h"

namespace {

const std::string microsoft = "https://login.microsoftonline.com/";

}  // namespace

TEST(ProviderSettings, PresetsAndOverrides) {
  struct Case {
    OAuthProviderSettings settings;
    std::string secret;
    OAuthClient expected;
  } cases[] = {
      {{"microsoft"}, "", {microsoft + "organizations/oauth2/v2.0/authorize",
                           microsoft + "organizations/oauth2/v2.0/token",
                           microsoft + "organizations/oauth2/v2.0/devicecode",
                           "https://outlook.office.com/SMTP.Send offline_access"}},
      {{"Microsoft", "contoso.onmicrosoft.com", "", "", "https://idp.test/token"}, "s",
       {microsoft + "contoso.onmicrosoft.com/oauth2/v2.0/authorize", "https://idp.test/token",
        microsoft + "contoso.onmicrosoft.com/oauth2/v2.0/devicecode",
        "https://outlook.office.com/SMTP.Send offline_access"}},
      {{"google"}, "s", {"https://accounts.google.com/o/oauth2/v2/auth",
                         "https://oauth2.googleapis.com/token", "", "https://mail.google.com/"}},
      {{"", "", "mail", "https://a.test/", "https://t.test/", "https://d.test/"}, "s",
       {"https://a.test/", "https://t.test/", "https://d.test/", "mail"}},
  };
  for (const Case& c : cases) {
    OAuthClient client;
    client.clientSecret = c.secret;
    ApplyProviderSettings(client, c.settings);
    EXPECT_EQ(client.authorizeUrl, c.expected.authorizeUrl);
    EXPECT_EQ(client.tokenUrl, c.expected.tokenUrl);
    EXPECT_EQ(client.deviceUrl, c.expected.deviceUrl);
    EXPECT_EQ(client.scope, c.expected.scope);
    // Only Microsoft with a secret takes app-only tokens.
    bool appOnly = c.settings.tenant == "contoso.onmicrosoft.com";
    EXPECT_EQ(client.clientCredentialsScope,
              appOnly ? "https://outlook.office365.com/.default" : "") << c.settings.provider;
  }
}

TEST(ProviderSettings, UnknownProviderOrNoTokenEndpointIsRefused) {
  for (const char* provider : {"yahoo", "custom"}) {
    OAuthClient client;
    auto error = SmtpErrorOf([&] { ApplyProviderSettings(client, {provider}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, static_cast<HRESULT>(0x80040232)) << provider;
  }
}

TEST(TokenAnswer, ErrorsAsWrittenAndAnswersThatAreNeither) {
  struct Case {
    HttpsResponse response;
    std::uint32_t code;  // 0: read without raising
    std::string text;    // the error, or the raised text
  } cases[] = {
      {{400, R"({"error":"invalid_grant","error_description":"AADSTS70000: \u001b[2J"})"}, 0,
       "invalid_grant"},
      {{200, R"({"access_token":"a","token_type":"bearer","expires_in":"3599"})"}, 0, ""},
      {{500, "<html>"}, 560, "https://t/: HTTP status 500, the answer is not a JSON object"},
      {{200, R"({"access_token":"a","token_type":"mac"})"}, 560,
       "https://t/: HTTP status 200, the token_type is not Bearer"},
      {{200, R"({"token_type":"Bearer"})"}, 560, "https://t/: HTTP status 200, no access_token"},
      {{401, R"({"message":"no"})"}, 560, "https://t/: HTTP status 401, no error in the answer"},
  };
  for (const Case& c : cases) {
    if (c.code == 0) {
      TokenAnswer answer = ReadTokenAnswer(c.response, "https://t/");
      EXPECT_EQ(answer.error, c.text);
      continue;
    }
    auto error = SmtpErrorOf([&] { ReadTokenAnswer(c.response, "https://t/"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, static_cast<HRESULT>(0x80040000 | c.code)) << c.text;
    EXPECT_EQ(error->m_sLastResponseText, c.text);
  }
}

TEST(FormEncoding, EncodesAndDecodesAsBrowsersDo) {
  EXPECT_EQ(FormEncode({{"redirect_uri", "http://127.0.0.1:8080/"}, {"scope", "a b+c~"}}),
            "redirect_uri=http%3A%2F%2F127.0.0.1%3A8080%2F&scope=a%20b%2Bc~");
  struct Case {
    std::string query;
    std::map<std::string, std::string> fields;
  } cases[] = {
      {"code=a%2Fb&state=x+y", {{"code", "a/b"}, {"state", "x y"}}},
      {"state=1&state=1", {{"state", "\n"}}},  // repeated: refused by its reader
      {"e=%zz%4&n", {{"e", "%zz%4"}}},         // a broken escape stays; no "=": no field
      {"x=%E2%9C%93", {{"x", "\xE2\x9C\x93"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(FormDecode(c.query), c.fields) << c.query;
}

// Each account's tokens in a record of its own, whatever its name holds: a name reaches
// the record's file or registry value name and its lock's name as letters, digits,
// "-", ".", "_", "~" and %HH only; names that differ in ASCII case alone are one account.
TEST(TokenRecordName, OneRecordPerAccountWithANameSafeForAPath) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "oauth-tokens.json"},
      {"work", "oauth-tokens-work.json"},
      {"Work", "oauth-tokens-work.json"},
      {"../../.ssh/id", "oauth-tokens-..%2F..%2F.ssh%2Fid.json"},
      {"a\\b:c", "oauth-tokens-a%5Cb%3Ac.json"},
      {"two\nlines\r\x1b", "oauth-tokens-two%0Alines%0D%1B.json"},
      {"50%", "oauth-tokens-50%25.json"},
      {"B\xC3\x9Cro", "oauth-tokens-b%C3%9Cro.json"},
  };
  for (const auto& [account, record] : cases) EXPECT_EQ(TokenRecordName(account), record) << account;
}

// The program's own OAuth 2.0 client end to end: "e-mailer --authorize" and the runs
// after it against the test identity provider (HTTPS, test CA) and aiosmtpd taking only
// the provider's unexpired tokens. No token may show in any output.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/identity_provider.h"
#include "tests/support/mailer_program.h"
#include "tests/support/smtp_server.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;
using Requests = std::vector<std::string>;

// A provider, a mail server that trusts it, and the program's settings and state folder.
class OAuthWorld {
 public:
  explicit OAuthWorld(const IdentityProviderOptions& options = {}, const Values& extra = {})
      : provider(options),
        smtp({.mechanisms = {"XOAUTH2"}, .oauthTokenFile = provider.AccessTokenFile()}) {
    setenv("XDG_STATE_HOME", (home.base + "/state").c_str(), 1);
    Values values{{"Server", "127.0.0.1"},
                  {"Port", std::to_string(smtp.Port())},
                  {"AuthMethod", "7"},
                  {"AuthUser", "user"},
                  {"SenderEMail", "backup@example.com"},
                  {"RecipientEMail", "admin@example.com"},
                  {"OAuthClientID", "e-mailer-test"},
                  {"OAuthTokenURL", provider.Url("token")},
                  {"OAuthCAFile", provider.CaFile()}};
    // Addresses of the provider in extra are written https://provider/ENDPOINT.
    for (auto [name, value] : extra) {
      if (value.starts_with("https://provider/")) value = provider.Url(value.substr(17));
      values.emplace_back(name, value);
    }
    home.WriteFile(home.SmtpKeyFile(), SmtpSettings(values));
  }

  std::string StorePath(const std::string& record = "oauth-tokens.json") const {
    return home.base + "/state/e-mailer/" + record;
  }
  void Store(const std::string& access, const std::string& refresh, long long expiresIn,
             const std::string& record = "oauth-tokens.json") const {
    home.WriteFile(StorePath(record), "{\"access_token\":\"" + access + "\",\"refresh_token\":\"" +
                                          refresh + "\",\"expires_at\":" +
                                          std::to_string(std::time(nullptr) + expiresIn) + "}");
    // As the program keeps it: the user's alone.
    chmod((home.base + "/state/e-mailer").c_str(), 0700);
    chmod(StorePath(record).c_str(), 0600);
  }

  // Runs the program and checks that no token reached its output.
  MailerRun Run(const std::vector<std::string>& arguments) const {
    MailerRun run = RunMailer(home, arguments);
    for (const std::string& token : provider.IssuedAccessTokens()) {
      EXPECT_EQ(run.output.find(token), std::string::npos) << "token in the output";
    }
    EXPECT_EQ(run.output.find("rt-"), std::string::npos) << "refresh token in the output";
    return run;
  }

  IdentityProvider provider;
  SmtpTestServer smtp;
  TempConfigHome home;
};

const IdentityProviderOptions signedIn{.accessTokens = {"at-seed"}, .refreshTokens = {"rt-seed"}};

}  // namespace

// RFC 8628: every poll answer on the way to a sign-in, then a run that needs no request.
TEST(OAuthSignIn, DeviceFlowThroughEachPollAnswerThenARunDelivers) {
  for (const Requests& script : {Requests{}, Requests{"authorization_pending"},
                                 Requests{"slow_down"}}) {
    OAuthWorld world(
        {}, {{"OAuthProvider", "microsoft"}, {"OAuthDeviceURL", "https://provider/devicecode"}});
    world.provider.Script(script);
    MailerRun run = world.Run({"--authorize"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("/device in a browser and enter the code WDJB-MJHT\n"),
              std::string::npos) << run.output;
    EXPECT_EQ(TempConfigHome::Mode(world.StorePath()), 0600u);
    EXPECT_EQ(TempConfigHome::Mode(world.home.base + "/state/e-mailer"), 0700u);
    EXPECT_EQ(world.Run({"Signed in", "Body"}), (MailerRun{0, ""}));
    EXPECT_EQ(world.smtp.Messages().size(), 1u);
    EXPECT_EQ(world.provider.Requests().back(), "urn:ietf:params:oauth:grant-type:device_code");
  }
}

TEST(OAuthSignIn, DeviceFlowDeclinedOrExpiredStoresNothing) {
  for (const char* answer : {"access_denied", "expired_token"}) {
    OAuthWorld world({}, {{"OAuthDeviceURL", "https://provider/devicecode"}});
    world.provider.Script({"authorization_pending", answer});
    MailerRun run = world.Run({"--authorize"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("e-mailer: The OAuth 2.0 sign-in failed, Details: "),
              std::string::npos) << run.output;
    EXPECT_NE(run.output.find(answer), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(world.StorePath()));
  }
}

// The test is the browser (xdg-open) for the runs of world.
void BeTheBrowser(const OAuthWorld& world, const std::string& mode) {
  const std::string bin = world.home.base + "/bin";
  world.home.WriteFile(bin + "/xdg-open", "#!/bin/sh\nexec /usr/bin/python3 " EMAILER_TEST_SUPPORT_DIR
                                          "/oauth_browser.py '" +
                                              world.provider.CaFile() + "' " + mode + " \"$1\"\n");
  chmod((bin + "/xdg-open").c_str(), 0755);
  setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
}

// RFC 7636 and RFC 8252: a redirect whose state is not the request's (sent first by the
// browser in wrong-state) is turned away with 400 and the sign-in goes on to the real one.
TEST(OAuthSignIn, LoopbackFlowWithPkceAndAWrongStateIgnored) {
  for (const std::string mode : {"honest", "wrong-state"}) {
    OAuthWorld world({}, {{"OAuthAuthorizeURL", "https://provider/authorize"}});
    BeTheBrowser(world, mode);
    MailerRun run = world.Run({"--authorize"});
    EXPECT_NE(run.output.find("To sign in, open this address in a browser:\n" +
                              world.provider.Url("authorize") + "?response_type=code&"),
              std::string::npos) << run.output;
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(world.provider.Requests(), (Requests{"authorize", "authorization_code"}));
    EXPECT_EQ(world.Run({"Signed in", "Body"}), (MailerRun{0, ""}));
  }
}

// "--authorize --account NAME" signs in for that account alone (a run and the check
// before it say so):
// its tokens go to a store of its own, which its runs use, while the default account has
// none.
TEST(OAuthSignIn, EachAccountSignsInAndSendsWithTokensOfItsOwn) {
  OAuthWorld world;
  world.home.WriteFile(world.home.SmtpKeyFile(),
                       world.home.ReadFile(world.home.SmtpKeyFile()) +
                           SmtpAccountSettings("Work", {{"OAuthDeviceURL", world.provider.Url("devicecode")}}));
  const std::string accountStore = world.home.base + "/state/e-mailer/oauth-tokens-work.json";
  MailerRun run = world.Run({"--account", "work", "Not signed in", "Body"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("no sign-in is stored (e-mailer --authorize --account Work)\n"), std::string::npos)
      << run.output;
  run = world.Run({"--check", "--account", "work"});
  EXPECT_EQ(run.exitCode, 77);
  EXPECT_NE(run.output.find("what to change: run e-mailer --authorize --account Work again\n"), std::string::npos)
      << run.output;
  run = world.Run({"--authorize", "--account", "Work"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("Signed in. The tokens are stored in " + accountStore + "\n"), std::string::npos)
      << run.output;
  EXPECT_EQ(TempConfigHome::Mode(accountStore), 0600u);
  EXPECT_FALSE(std::filesystem::exists(world.StorePath()));

  EXPECT_EQ(world.Run({"--account", "work", "Signed in", "Body"}), (MailerRun{0, ""}));
  EXPECT_EQ(world.smtp.Messages().size(), 1u);
  run = world.Run({"Default", "Body"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("no sign-in is stored"), std::string::npos) << run.output;
  EXPECT_EQ(world.provider.Requests(), (Requests{"devicecode", "urn:ietf:params:oauth:grant-type:device_code"}));

  // A sign-in the provider no longer takes names the command that renews the account's.
  world.Store("at-work", "rt-work", -10, "oauth-tokens-work.json");
  world.provider.Script({"invalid_grant"});
  run = world.Run({"--account", "work", "Revoked", "Body"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("Details: invalid_grant: scripted invalid_grant (e-mailer --authorize --account Work)\n"),
            std::string::npos) << run.output;
}

// Where the device code flow is blocked: microsoft takes the browser flow with
// OAuthFlow browser or --authorize --browser, and a refused device flow says so.
TEST(OAuthSignIn, MicrosoftInTheBrowserWhereTheDeviceFlowIsBlocked) {
  const Values microsoft{{"OAuthProvider", "microsoft"},
                         {"OAuthDeviceURL", "https://provider/devicecode"},
                         {"OAuthAuthorizeURL", "https://provider/authorize"}};
  for (bool setting : {false, true}) {
    Values values = microsoft;
    if (setting) values.emplace_back("OAuthFlow", "browser");
    OAuthWorld world({}, values);
    BeTheBrowser(world, "honest");
    MailerRun run = world.Run(setting ? std::vector<std::string>{"--authorize"}
                                      : std::vector<std::string>{"--authorize", "--browser"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(world.provider.Requests(), (Requests{"authorize", "authorization_code"}));
  }
  OAuthWorld blocked({}, microsoft);
  blocked.provider.Script({"unauthorized_client"});
  MailerRun run = blocked.Run({"--authorize"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("run e-mailer --authorize --browser"), std::string::npos) << run.output;
  OAuthWorld typo({}, {{"OAuthFlow", "browswer"}});
  run = typo.Run({"--authorize"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("OAuthFlow \"browswer\" is not device or browser"), std::string::npos)
      << run.output;
}

// A store that another user could read or replace is not trusted, and says which part.
TEST(OAuthRun, LooseTokenStoreIsRefused) {
  for (const std::string part : {"file", "folder"}) {
    OAuthWorld world(signedIn);
    world.Store("at-seed", "rt-seed", 3600);
    const std::string folder = world.home.base + "/state/e-mailer";
    if (part == "file") chmod(world.StorePath().c_str(), 0644);
    if (part == "folder") chmod(folder.c_str(), 0755);
    MailerRun run = world.Run({"Loose", "Body"});
    EXPECT_NE(run.exitCode, 0) << run.output;
    const std::string named = part == "file" ? world.StorePath() : folder;
    EXPECT_NE(run.output.find("\"" + named + "\" is open to other users"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("the token store is not trusted"), std::string::npos) << run.output;
    EXPECT_TRUE(world.smtp.Messages().empty());
  }
}

// RFC 6749 4.4 for Microsoft's app-only SMTP: no sign-in, the secret alone; the token is
// kept for the next run.
TEST(OAuthRun, ClientCredentialsWithoutASignIn) {
  OAuthWorld world({.clientSecret = "s3cret"},
                   {{"OAuthProvider", "microsoft"}, {"OAuthClientSecretCommand", "echo s3cret"}});
  EXPECT_EQ(world.Run({"First", "Body"}), (MailerRun{0, ""})) << world.smtp.Log();
  EXPECT_EQ(world.Run({"Second", "Body"}), (MailerRun{0, ""}));
  EXPECT_EQ(world.smtp.Messages().size(), 2u);
  EXPECT_EQ(world.provider.Requests(), Requests{"client_credentials"});
}

// Which stored token a run sends and what it asks of the provider.
TEST(OAuthRun, StoredTokenUsedRenewedOrRetried) {
  struct Case {
    const char* name;
    std::string access;
    long long expiresIn;
    Requests requests;
  } cases[] = {
      {"valid: no request", "at-seed", 3600, {}},
      {"expired: refreshed", "at-seed", -10, {"refresh_token"}},
      {"under a minute left: refreshed", "at-seed", 30, {"refresh_token"}},
      {"refused by the server: refreshed once", "at-revoked", 3600, {"refresh_token"}},
  };
  for (const Case& c : cases) {
    OAuthWorld world(signedIn);
    world.Store(c.access, "rt-seed", c.expiresIn);
    EXPECT_EQ(world.Run({"Backup done", "Body"}), (MailerRun{0, ""})) << c.name;
    EXPECT_EQ(world.smtp.Messages().size(), 1u) << c.name;
    EXPECT_EQ(world.provider.Requests(), c.requests) << c.name;
    // The rotated refresh token replaced the spent one, which the provider revoked.
    std::string store = world.home.ReadFile(world.StorePath());
    EXPECT_EQ(store.find("rt-seed") == std::string::npos, !c.requests.empty()) << c.name;
  }
}

// Two runs at once with one rotating refresh token: the store's lock makes the second
// take the token the first stored, so both deliver.
TEST(OAuthRun, TwoRunsAtOnceShareOneRotatingRefreshToken) {
  OAuthWorld world(signedIn);
  world.Store("at-seed", "rt-seed", -10);
  auto first = std::async(std::launch::async, [&] { return world.Run({"One", "Body"}); });
  auto second = std::async(std::launch::async, [&] { return world.Run({"Two", "Body"}); });
  EXPECT_EQ(first.get(), (MailerRun{0, ""}));
  EXPECT_EQ(second.get(), (MailerRun{0, ""}));
  EXPECT_EQ(world.smtp.Messages().size(), 2u);
  EXPECT_EQ(world.provider.Requests(), Requests{"refresh_token"});
}

// Every way the renewal can fail ends the run with the reason and sends nothing.
TEST(OAuthRun, ProviderFailuresFailTheRunWithTheReason) {
  struct Case {
    std::string script;
    std::string expected;
  } cases[] = {
      {"invalid_grant",
       "The OAuth 2.0 sign-in is no longer valid, run e-mailer --authorize again, Details: "
       "invalid_grant: scripted invalid_grant\n"},
      {"invalid_scope",
       "The OAuth 2.0 provider refused the request, Details: invalid_scope: scripted "
       "invalid_scope\n"},
      {"500", "/token: HTTP status 500, the answer is not a JSON object\n"},
      {"malformed", "/token: HTTP status 200, the answer is not a JSON object\n"},
      {"silence", "/token: Operation timed out after "},
  };
  for (const Case& c : cases) {
    OAuthWorld world(signedIn, {{"Timeout", "2"}});
    world.Store("at-seed", "rt-seed", -10);
    world.provider.Script({c.script});
    MailerRun run = world.Run({"Backup done", "Body"});
    EXPECT_EQ(run.exitCode, 1) << c.script;
    EXPECT_NE(run.output.find(c.expected), std::string::npos) << run.output;
    EXPECT_TRUE(world.smtp.Messages().empty());
  }
}

// A store that cannot be read or parsed is named with the reason; the run fails.
TEST(OAuthRun, UnreadableOrCorruptStoreIsNamed) {
  struct Case {
    std::string content;  // empty: a folder in the store's place
    std::string reason;
  } cases[] = {
      {"{\"access_token\": \"at-", "not a JSON object (e-mailer --authorize replaces it)"},
      {"{\"access_token\": 5}", "access_token, refresh_token or expires_at missing"},
      {"", " is not a regular file: the token store is not trusted"},
  };
  for (const Case& c : cases) {
    OAuthWorld world(signedIn);
    if (c.content.empty()) {
      std::filesystem::create_directories(world.StorePath());
    } else {
      world.Store("", "", 0);
      world.home.WriteFile(world.StorePath(), c.content);
    }
    MailerRun run = world.Run({"Backup done", "Body"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("Failed to use the OAuth 2.0 token store, Details: \"" +
                              world.StorePath() + "\"" + (c.content.empty() ? "" : ": ") + c.reason),
              std::string::npos) << run.output;
  }
}

// Settings another user could change could send the refresh token elsewhere: refused
// before the store or the provider is touched.
TEST(OAuthRun, SettingsOthersCanChangeAreRefused) {
  OAuthWorld world(signedIn);
  world.Store("at-seed", "rt-seed", -10);
  ASSERT_EQ(chmod(world.home.SmtpKeyFile().c_str(), 0620), 0);
  MailerRun run = world.Run({"Backup done", "Body"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find(": the file is writable by its group; settings that hold AuthPassword, "
                            "AuthPasswordCommand or OAuthClientID must be writable"),
            std::string::npos) << run.output;
  EXPECT_TRUE(world.provider.Requests().empty());
}

// "e-mailer --check" with the program's own client: where the token came from and when
// it expires, a refresh where one is due, and a sign-in that is gone, with its remedy.
TEST(OAuthRun, CheckReportsTheTokenAndASignInThatIsGone) {
  struct Case {
    long long expiresIn;
    std::string script;
    std::string expected;
    int exitCode;
  } cases[] = {
      {3600, "", "stored access token expires ", 0},
      {-10, "", "renewed (a refresh was due", 0},
      {-10, "invalid_grant", "what to change: run e-mailer --authorize again", 77},
  };
  for (const Case& c : cases) {
    OAuthWorld world(signedIn);
    world.Store("at-seed", "rt-seed", c.expiresIn);
    if (!c.script.empty()) world.provider.Script({c.script});
    MailerRun run = world.Run({"--check"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_NE(run.output.find("token: from the store " + world.StorePath()), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(c.expected), std::string::npos) << run.output;
    EXPECT_TRUE(world.smtp.Messages().empty());
  }
}

// libcurl, and the many libraries it brings, are opened by the first request to the
// provider alone, and libidn2 by the first domain name that is not ASCII: the dynamic
// loader names every library it opens (LD_DEBUG=files), iconv's modules too.
TEST(OAuthStartUp, OnlyARunThatAsksTheProviderLoadsLibcurl) {
  auto loadedLibraries = [](const auto& run) {
    setenv("LD_DEBUG", "files", 1);
    MailerRun result = run();
    unsetenv("LD_DEBUG");
    // The loader did report: libssl is linked, so opened by every run.
    EXPECT_NE(result.output.find("file=libssl.so"), std::string::npos) << result.output;
    return result.output;
  };
  auto loadsLibcurl = [&](const auto& run) {
    return loadedLibraries(run).find("file=libcurl.so") != std::string::npos;
  };
  SmtpTestServer plain;
  auto settingsTo = [&](const std::string& recipient) {
    return SmtpSettings({{"Server", "127.0.0.1"}, {"Port", std::to_string(plain.Port())},
                         {"SenderEMail", "backup@example.com"}, {"RecipientEMail", recipient}});
  };
  const std::string loaded =
      loadedLibraries([&] { return RunMailer(settingsTo("admin@example.com"), {"Plain", "Body"}); });
  EXPECT_EQ(loaded.find("file=libcurl.so"), std::string::npos) << loaded;
  EXPECT_EQ(loaded.find("file=libidn2.so"), std::string::npos) << loaded;
  // An ASCII settings file needs no code set converter either.
  EXPECT_EQ(loaded.find("UTF-16.so"), std::string::npos) << loaded;
  const std::string international = loadedLibraries(
      [&] { return RunMailer(settingsTo("admin@b\xc3\xbc" "cher.example"), {"IDN", "Body"}); });
  EXPECT_NE(international.find("file=libidn2.so"), std::string::npos) << international;
  ASSERT_EQ(plain.Messages().size(), 2u);
  EXPECT_NE(plain.Messages()[1].envelope.find("<admin@xn--bcher-kva.example>"), std::string::npos);

  struct Case {
    const char* name;
    long long expiresIn;  // of the stored token; 0: none stored, the run signs in
    bool loads;
  } cases[] = {{"sign-in", 0, true}, {"valid token", 3600, false}, {"expired token", -10, true}};
  for (const Case& c : cases) {
    OAuthWorld world(signedIn, {{"OAuthDeviceURL", "https://provider/devicecode"}});
    if (c.expiresIn != 0) world.Store("at-seed", "rt-seed", c.expiresIn);
    const std::vector<std::string> arguments =
        c.expiresIn == 0 ? std::vector<std::string>{"--authorize"} : std::vector<std::string>{"S", "B"};
    MailerRun run{};
    EXPECT_EQ(loadsLibcurl([&] { return run = RunMailer(world.home, arguments); }), c.loads) << c.name;
    EXPECT_EQ(run.exitCode, 0) << c.name << run.output;
  }
}

// Without libcurl (its file hidden in a mount namespace of the run's own) only a run
// that must ask the provider fails, and it names the reason.
TEST(OAuthStartUp, WithoutLibcurlOnlyARunThatAsksTheProviderFails) {
  void* curl = dlopen("libcurl.so.4", RTLD_LAZY);
  link_map* map = nullptr;
  ASSERT_TRUE(curl != nullptr && dlinfo(curl, RTLD_DI_LINKMAP, &map) == 0);
  const std::string library = map->l_name;
  dlclose(curl);
  if (geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0) {
    GTEST_SKIP() << "no mount namespace for this user";
  }
  for (long long expiresIn : {3600LL, -10LL}) {
    OAuthWorld world(signedIn);
    world.Store("at-seed", "rt-seed", expiresIn);
    const std::string hide = world.home.base + "/without-libcurl";
    world.home.WriteFile(hide, "#!/bin/sh\nexec unshare -m sh -c 'mount --bind /dev/null \"$0\" && exec \"$@\"' " +
                                   library + " \"$@\"\n");
    chmod(hide.c_str(), 0755);
    setenv("EMAILER_TEST_WRAPPER", hide.c_str(), 1);
    MailerRun run = world.Run({"Backup done", "Body"});
    unsetenv("EMAILER_TEST_WRAPPER");
    if (expiresIn > 0) {
      EXPECT_EQ(run, (MailerRun{0, ""}));
    } else {
      EXPECT_EQ(run.exitCode, 1);
      EXPECT_NE(run.output.find("e-mailer: Failed to reach the OAuth 2.0 provider, Details: " +
                                world.provider.Url("token") + ": libcurl cannot be loaded (install libcurl4): "),
                std::string::npos) << run.output;
    }
  }
}

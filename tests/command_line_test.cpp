#include "app/mailer/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the program's command line hands to ParseParam.
std::vector<std::string> ParsedParams(std::vector<std::string> arguments) {
  CWinApp app(std::move(arguments));
  CMailerCommandLineInfo info;
  app.ParseCommandLine(info);
  return info.m_params;
}

TEST(ParseCommandLine, OneLeadingDashOrSlashIsRemoved) {
  EXPECT_EQ(ParsedParams({"Subject", "-Body", "/showui", "--x", "//y", "-", "", "a-b"}),
            (std::vector<std::string>{"Subject", "Body", "showui", "-x", "/y", "", "", "a-b"}));
}

class RecordingInfo : public CCommandLineInfo {
 public:
  void ParseParam(const char* param, bool flag, bool last) override {
    seen.push_back(std::string(param) + (flag ? " flag" : "") + (last ? " last" : ""));
  }
  std::vector<std::string> seen;
};

TEST(ParseCommandLine, FlagAndLastAreReported) {
  CWinApp app({"a", "-b", "/c"});
  RecordingInfo info;
  app.ParseCommandLine(info);
  EXPECT_EQ(info.seen, (std::vector<std::string>{"a", "b flag", "c flag last"}));
}

struct ParameterCase {
  std::vector<std::string> arguments;
  const char* subject;
  const char* body;
  bool showUi;
};

TEST(TakeRunParameters, ShowUiAnywhereNeverBecomesSubjectOrBody) {
  const ParameterCase cases[] = {
      {{"Subject", "Body"}, "Subject", "Body", false},
      {{"Subject"}, "Subject", "", false},
      {{"Subject", "Body", "third", "fourth"}, "Subject", "Body", false},
      {{"showui", "Subject", "Body"}, "Subject", "Body", true},
      {{"Subject", "SHOWUI", "Body"}, "Subject", "Body", true},
      {{"Subject", "Body", "-ShowUI"}, "Subject", "Body", true},
      {{"/showUi", "Subject"}, "Subject", "", true},
      {{"showui"}, "", "", true},
      {{"", "Body"}, "", "Body", false},
      {{"-Subject", "/Body"}, "Subject", "Body", false},
      {{"show ui", "showuix"}, "show ui", "showuix", false},
      {{}, "", "", false},
  };
  for (const ParameterCase& c : cases) {
    MailerRunParameters run = TakeRunParameters(ParsedParams(c.arguments));
    EXPECT_EQ(run.subject, c.subject);
    EXPECT_EQ(run.body, c.body);
    EXPECT_EQ(run.showUi, c.showUi);
  }
}

// "--check" and "--authorize" alone or with their one modifier; anything else beside
// them is a send run's subject and body.
TEST(OptionRequested, CheckAndAuthorizeTakeOnlyTheirModifier) {
  struct Case {
    std::vector<std::string> arguments;
    bool check, json, authorize, browser;
  };
  for (const Case& c : std::vector<Case>{
           {{"--check"}, true, false, false, false},
           {{"--check", "--json"}, true, true, false, false},
           {{"/-check", "/-json"}, true, true, false, false},
           {{"--check", "--json", "x"}, false, false, false, false},
           {{"--check", "--browser"}, false, false, false, false},
           {{"--json", "--check"}, false, false, false, false},
           {{"--authorize"}, false, false, true, false},
           {{"--authorize", "--browser"}, false, false, true, true},
           {{"--authorize", "--json"}, false, false, false, false},
           {{"check"}, false, false, false, false},
       }) {
    std::vector<std::string> params = ParsedParams(c.arguments);
    bool json = false;
    bool browser = false;
    EXPECT_EQ(CheckRequested(params, &json), c.check) << c.arguments[0];
    EXPECT_EQ(json, c.json) << c.arguments[0];
    EXPECT_EQ(AuthorizeRequested(params, &browser), c.authorize) << c.arguments[0];
    EXPECT_EQ(browser, c.browser) << c.arguments[0];
  }
}

// "--account NAME" before the run's own parameters, also between the option words;
// anywhere else, or with one dash, it is a parameter as before.
TEST(TakeAccountArgument, BeforeTheParametersOnly) {
  struct Case {
    std::vector<std::string> arguments;
    bool given;
    std::string name;
    std::vector<std::string> rest;
  };
  for (const Case& c : std::vector<Case>{
           {{"--account", "work", "Subject", "Body"}, true, "work", {"Subject", "Body"}},
           {{"--account", "work", "--check", "--json"}, true, "work", {"--check", "--json"}},
           {{"--check", "--account", "work", "--json"}, true, "work", {"--check", "--json"}},
           {{"--authorize", "--browser", "/-account", "-x"}, true, "-x", {"--authorize", "--browser"}},
           {{"--account", "--check"}, true, "--check", {}},
           {{"--account"}, true, "", {}},
           {{"Subject", "--account", "work"}, false, "", {"Subject", "--account", "work"}},
           {{"--check", "Subject", "--account", "w"}, false, "", {"--check", "Subject", "--account", "w"}},
           {{"-account", "work"}, false, "", {"-account", "work"}},
           {{"--flush", "--account", "work"}, false, "", {"--flush", "--account", "work"}},
       }) {
    std::vector<std::string> arguments = c.arguments;
    AccountArgument account = TakeAccountArgument(arguments);
    EXPECT_EQ(account.given, c.given) << c.arguments[0];
    EXPECT_EQ(account.name, c.name) << c.arguments[0];
    EXPECT_EQ(arguments, c.rest) << c.arguments[0];
  }
}

}  // namespace

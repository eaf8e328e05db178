// The command line of e-mailer: a subject, a body and the word "showui" in any position
// and letter case, with or without a leading '-' or '/'; or "--help" or "--version"
// alone, which ask for a text instead of a run; "--authorize" alone, the sign-in; or
// "--check" (with "--json"), the check of the settings. Before any of these except the
// texts and the flushes, "--account NAME" chooses an account of the settings.
#pragma once

#include <string>
#include <vector>

#include "platform/win_app.h"

class CMailerCommandLineInfo : public CCommandLineInfo {
 public:
  // Appends param to m_params, then lets the base class see it.
  void ParseParam(const char* param, bool flag, bool last) override;

  // Every parameter in command-line order, as handed to ParseParam.
  std::vector<std::string> m_params;
};

struct MailerRunParameters {
  std::string subject;
  std::string body;
  bool bodyGiven = false;  // a second parameter was there (an empty one too)
  bool showUi = false;
};

// "showui" (any case) sets showUi and is not counted; of the other parameters the first
// is the subject, the second the body, and the rest are ignored.
MailerRunParameters TakeRunParameters(const std::vector<std::string>& params);

// True for "--flush" alone (as written, or with one leading '-' or '/' more that
// ParseCommandLine would remove): main() hands the run to the sendmail face's flush
// (-q: every entry now) instead of sending a message.
bool FlushRequested(const std::vector<std::string>& arguments);
// True for "--flush-due" alone, in the same forms: the timers' flush, which sends only
// the entries whose back-off has passed.
bool FlushDueRequested(const std::vector<std::string>& arguments);

// True for "--authorize" alone or followed by "--browser", as ParseCommandLine leaves
// them ("-authorize", "-browser"): the OAuth 2.0 sign-in instead of a send run; browser
// is set by "--browser" (the authorization-code flow whatever OAuthFlow says).
bool AuthorizeRequested(const std::vector<std::string>& params, bool* browser);

// True for "--check" alone or followed by "--json" (as ParseCommandLine leaves them:
// "-check", "-json"): the check of the settings instead of a send run; json is set by
// "--json".
bool CheckRequested(const std::vector<std::string>& params, bool* json);

// "--account NAME" taken out of arguments (the parameters as main() has them, before
// ParseCommandLine removes a leading '-' or '/'): where it stands before the run's own
// parameters, that is first or after nothing but the option words --check, --json,
// --authorize and --browser, so that "--account work --check" and "--check --account
// work" are the same run. Like the other option words it may be written "/-account".
// given tells whether it was there; name is empty when no name (or an empty one)
// followed it. Elsewhere "--account" is a parameter as before.
struct AccountArgument {
  bool given = false;
  std::string name;
};
AccountArgument TakeAccountArgument(std::vector<std::string>& arguments);

// The usage text for "--help" and the version text for "--version" when that is the only
// argument (exactly as written: "-h" or "--help" beside a subject are a run's
// parameters, as one leading '-' or '/' is removed from each); null otherwise.
const char* InformationText(const std::vector<std::string>& arguments);

#include "app/mailer/command_line.h"

#include <strings.h>

#include <algorithm>
#include <iterator>
#include <string_view>

namespace {

// True for params holding option alone or followed by modifier; modified tells which.
bool OptionRequested(const std::vector<std::string>& params, const char* option,
                     const char* modifier, bool* modified) {
  if (params.empty() || params.size() > 2 || params[0] != option) return false;
  if (params.size() == 2 && params[1] != modifier) return false;
  *modified = params.size() == 2;
  return true;
}

}  // namespace

void CMailerCommandLineInfo::ParseParam(const char* param, bool flag, bool last) {
  m_params.emplace_back(param);
  CCommandLineInfo::ParseParam(param, flag, last);
}

MailerRunParameters TakeRunParameters(const std::vector<std::string>& params) {
  MailerRunParameters run;
  int counted = 0;
  for (const std::string& param : params) {
    if (strcasecmp(param.c_str(), "showui") == 0) {
      run.showUi = true;
    } else if (++counted == 1) {
      run.subject = param;
    } else if (counted == 2) {
      run.body = param;
      run.bodyGiven = true;
    }
  }
  return run;
}

bool AuthorizeRequested(const std::vector<std::string>& params, bool* browser) {
  return OptionRequested(params, "-authorize", "-browser", browser);
}

bool CheckRequested(const std::vector<std::string>& params, bool* json) {
  return OptionRequested(params, "-check", "-json", json);
}

namespace {

// True when argument is name behind one '-' or '/', which ParseCommandLine removes
// ("--flush" for "-flush").
bool IsOptionWord(const std::string& argument, std::string_view name) {
  return argument.size() > 1 && (argument[0] == '-' || argument[0] == '/') && argument.substr(1) == name;
}

bool OnlyParameter(const std::vector<std::string>& arguments, std::string_view name) {
  return arguments.size() == 1 && IsOptionWord(arguments[0], name);
}

}  // namespace

AccountArgument TakeAccountArgument(std::vector<std::string>& arguments) {
  AccountArgument account;
  for (auto word = arguments.begin(); word != arguments.end(); ++word) {
    if (IsOptionWord(*word, "-account")) {
      account.given = true;
      auto end = word + 1;
      if (end != arguments.end()) account.name = *end++;
      arguments.erase(word, end);
      break;
    }
    constexpr std::string_view optionWords[] = {"-check", "-json", "-authorize", "-browser"};
    if (std::none_of(std::begin(optionWords), std::end(optionWords),
                     [&](std::string_view name) { return IsOptionWord(*word, name); })) {
      break;
    }
  }
  return account;
}

bool FlushRequested(const std::vector<std::string>& arguments) { return OnlyParameter(arguments, "-flush"); }

bool FlushDueRequested(const std::vector<std::string>& arguments) { return OnlyParameter(arguments, "-flush-due"); }

const char* InformationText(const std::vector<std::string>& arguments) {
  static constexpr const char* usage =
      "Usage: e-mailer [--account NAME] SUBJECT [BODY] [showui]\n"
      "Sends one e-mail with SUBJECT and BODY through the SMTP server of the settings\n"
      "in ${XDG_CONFIG_HOME:-$HOME/.config}/Zelkor/Kestrum/SMTP.reg, then exits.\n"
      "\n"
      "  --account NAME  use the account NAME of the settings (the key Accounts\\NAME);\n"
      "             also before or after --check and --authorize\n"
      "  showui     also report \"Message sent OK\" after a success (any letter case)\n"
      "  --authorize  sign in with the OAuth 2.0 provider of the settings, once, and\n"
      "             store the tokens that later runs renew by themselves\n"
      "  --authorize --browser  the same in the browser (where the device code flow\n"
      "             is blocked)\n"
      "  --check    go the whole way with the settings without sending a message, one\n"
      "             line per step, and say what to change after a failed step; every\n"
      "             account in turn, or the one --account names\n"
      "  --check --json  the same as one JSON object\n"
      "  --flush    send every message of the sendmail face's queue now\n"
      "  --flush-due  send those of its messages that are due (what the timers run)\n"
      "  --help     print this text and exit\n"
      "  --version  print the version and exit\n"
      "\n"
      "For scripts (each beside SUBJECT, BODY and showui, or instead of them):\n"
      "  --to, --cc, --bcc ADDRESSES  recipients instead of RecipientEMail; repeatable,\n"
      "             a comma list, with display names: '\"Ops Team\" <ops@example.org>'\n"
      "  --from ADDRESS, --from-name NAME, --reply-to ADDRESS\n"
      "  --subject TEXT, --body TEXT, --body-file FILE (- for standard input)\n"
      "  --html-file FILE  an HTML body (with a text body: multipart/alternative)\n"
      "  --inline FILE  a part of the HTML, referred to as cid:NAME\n"
      "  --attach FILE  an attachment; repeatable; --type TYPE and --name NAME before\n"
      "             it set its media type and the name it shows\n"
      "  --header 'Name: value'  an extra header line; repeatable\n"
      "  --priority high|normal|low, --notify never|success,failure,delay,\n"
      "  --return full|headers  priority and delivery status notifications\n"
      "  --json     the outcome as one JSON object on standard output, no dialog\n"
      "  --queue    queue the message when the server cannot be reached (exit 0)\n"
      "\n"
      "One leading '-' or '/' is removed from every parameter: write \"//tmp is full\"\n"
      "for the subject \"/tmp is full\".\n"
      "Exit status: 0 sent, 1 connect failed, 2 send failed, 3 sent but QUIT failed,\n"
      "64 no subject, no such account or a refused option, 66 a file that cannot be\n"
      "read, 71 OpenSSL lock table not allocated or queue not written;\n"
      "--authorize: 0 signed in, 1 failed; --check: 0 a message would go, else the\n"
      "failed step's sysexits status (of the first account that failed);\n"
      "--flush, --flush-due: as e-mailer-sendmail -q.\n"
      "See e-mailer(1) for the settings.\n";
  static constexpr const char* version = "e-mailer " EMAILER_VERSION "\n";
  if (arguments.size() != 1) return nullptr;
  if (arguments[0] == "--help") return usage;
  if (arguments[0] == "--version") return version;
  return nullptr;
}

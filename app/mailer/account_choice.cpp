#include "app/mailer/account_choice.h"

#include "app/run/exit_codes.h"
#include "app/run/settings.h"
#include "platform/terminal_text.h"

namespace {

// name on one line: WriteErrorLine shows every other control character as \xHH, but
// keeps line ends and tabs.
std::string OneLineName(const std::string& name) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string shown;
  for (char c : name) {
    if (c == '\n' || c == '\r' || c == '\t') {
      shown += std::string("\\x") + digits[(c >> 4) & 0x0F] + digits[c & 0x0F];
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace

std::optional<int> MisplacedAccount(const AccountArgument& account, const std::vector<std::string>& rest) {
  if (!account.given) return std::nullopt;
  if (account.name.empty()) {
    WriteErrorLine("--account needs the name of an account");
  } else if (FlushRequested(rest) || FlushDueRequested(rest) || InformationText(rest) != nullptr) {
    WriteErrorLine("--account goes with a message, --check or --authorize, not with " + rest[0]);
  } else {
    return std::nullopt;
  }
  return ExitUsage;
}

bool UseChosenAccount(const std::string& name) {
  if (name.empty() || UseSmtpAccount(name)) return true;
  WriteErrorLine("no account \"" + OneLineName(name) + "\" in the settings; " + SmtpAccountsKnown());
  return false;
}

// e-mailer: sends one e-mail, whose subject and body are its parameters, through the
// SMTP server of the user's settings, and exits. "--help" or "--version" alone prints
// its text to standard output instead and sends nothing. Called "sendmail" or
// "e-mailer-sendmail", it is the system's sendmail instead (app/sendmail/face.h), and
// called "mailq", that sendmail listing its queue (-bp), and "newaliases", that sendmail
// asked to rebuild the aliases (-bi). "e-mailer --flush" is that sendmail flushing its
// queue (-q), "e-mailer --flush-due" the timers' flush. "--account NAME" first chooses
// an account of the settings (app/mailer/account_choice.h). The options for scripts
// (--to, --attach, ...) come out of the command line first (app/mailer/script_options.h).
// Run set-group-ID by an ordinary user it is the sendmail face's submission half alone,
// whatever its name.
// Only this file knows both faces.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/mailer/account_choice.h"
#include "app/mailer/command_line.h"
#include "app/run/exit_codes.h"
#include "app/mailer/mailer_app.h"
#include "app/mailer/script_options.h"
#include "app/sendmail/face.h"
#include "app/sendmail/options.h"
#include "platform/process_hardening.h"
#include "platform/program_arguments.h"
#include "platform/terminal_text.h"

int main(int argc, char* argv[]) {
  // First, before a DLL is loaded or a password read.
  HardenProcess();
  // argc may be 0 (older kernels start a program so): no name and no arguments.
  const std::string name = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  std::vector<std::string> arguments = ProgramArguments(argc, argv);
  if (IsMailqProgramName(name)) arguments.insert(arguments.begin(), "-bp");
  if (IsNewaliasesProgramName(name)) arguments.insert(arguments.begin(), "-bi");
  // The set-group-ID sendmail started by an ordinary user is the submission half alone,
  // whatever its name and arguments say.
  if (HoldsProgramGroup()) return SendmailSubmitMain(std::move(arguments));
  if (IsSendmailProgramName(name) || IsMailqProgramName(name) || IsNewaliasesProgramName(name)) {
    return SendmailMain(std::move(arguments));
  }
  ScriptOptions script;
  if (std::optional<std::string> refused = TakeScriptOptions(arguments, script)) {
    WriteErrorLine(*refused);
    return scriptUsageStatus;
  }
  const AccountArgument account =
      script.account ? AccountArgument{true, *script.account} : TakeAccountArgument(arguments);
  if (std::optional<int> refused = MisplacedAccount(account, arguments)) return *refused;
  if (FlushRequested(arguments)) return SendmailMain({"-q"});
  if (FlushDueRequested(arguments)) return SendmailFlushDueMain();
  if (const char* text = InformationText(arguments)) {
    // A text that could not be written is not a success (e-mailer --help >/dev/full).
    return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : ExitOutputFailed;
  }
  CMailerApp app(std::move(arguments), account.name, std::move(script));
  return app.Run();
}

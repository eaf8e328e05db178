// The sendmail command line, read as getopt reads it: flags may share one argument
// ("-ti"), an option that takes a value takes the rest of its argument or the next one.
#include "app/sendmail/options.h"

#include <algorithm>
#include <cctype>

#include "app/sendmail/failure.h"

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

[[noreturn]] void RaiseUsage(const std::string& text) {
  throw CSendmailFailure{SendmailUsage, text};
}

// -N: "never" or a comma-separated list of success, failure and delay.
int ParseNotify(const std::string& value) {
  if (EqualsIgnoringCase(value, "never")) return 0;
  int bits = 0;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = std::min(value.find(',', start), value.size());
    std::string_view item(value.data() + start, end - start);
    if (EqualsIgnoringCase(item, "success")) bits |= 1;
    else if (EqualsIgnoringCase(item, "failure")) bits |= 2;
    else if (EqualsIgnoringCase(item, "delay")) bits |= 4;
    else RaiseUsage("-N " + value + ": give never, or success, failure and delay");
    start = end + 1;
  }
  return bits;
}

// The options that take a value, with what they do with it. The accepted and ignored
// ones (-B, -X, -L, -h, most -o) are kept so that their value is not read as an operand.
void ApplyValueOption(char option, const std::string& value, SendmailOptions& options) {
  const std::string named = std::string("-") + option + value;
  switch (option) {
    case 'f':
    case 'r':
      options.sender = value;
      return;
    case 'F':
      options.fullName = value;
      return;
    case 'a':
      if (value.empty()) RaiseUsage("-a needs the name of an account");
      options.account = value;
      return;
    case 'N':
      options.dsnNotify = ParseNotify(value);
      options.dsnRequested = true;
      return;
    case 'R':
      if (!EqualsIgnoringCase(value, "full") && !EqualsIgnoringCase(value, "hdrs")) {
        RaiseUsage("-R " + value + ": give full or hdrs");
      }
      options.dsnReturnFull = EqualsIgnoringCase(value, "full");
      options.dsnRequested = true;
      return;
    case 'V':
      options.envelopeId = value;
      options.dsnRequested = true;
      return;
    case 'o':
      if (value == "i") options.dotEndsInput = false;
      // -odq and -odd queue the message; -odi and -odb (the default) try first.
      if (value == "dq" || value == "dd") options.queueOnly = true;
      if (value == "di" || value == "db") options.queueOnly = false;
      return;  // -oem, -oQdir, ...: nothing to do
    case 'e':
      if (value.size() == 1 && std::string_view("eempqw").find(value[0]) != std::string_view::npos) {
        return;  // errors always come back as the exit status and one line
      }
      break;
    case 'b':
      if (value == "m" || value == "p" || value == "i") {
        options.mode = value == "p"   ? SendmailOptions::ListQueue
                       : value == "i" ? SendmailOptions::InitializeAliases
                                      : SendmailOptions::SendMessage;
        return;
      }
      break;
    case 'A':
      if (value == "c" || value == "m") return;
      break;
    case 'B':
    case 'X':
    case 'L':
    case 'h':
      return;
  }
  RaiseUsage("option " + named + " is not supported");
}

constexpr std::string_view valueOptions = "frFaNRVoebABXLh";

// One argument that begins with "-": its flags and at most one option with a value.
void ParseOptionArgument(const std::vector<std::string>& arguments, std::size_t& index,
                         SendmailOptions& options) {
  const std::string& argument = arguments[index];
  if (argument.starts_with("--account=")) return ApplyValueOption('a', argument.substr(10), options);
  if (argument == "--account") {
    if (index + 1 >= arguments.size()) RaiseUsage("option --account needs a value");
    return ApplyValueOption('a', arguments[++index], options);
  }
  if (argument.starts_with("--")) RaiseUsage("option " + argument + " is not supported");
  for (std::size_t at = 1; at < argument.size(); ++at) {
    const char option = argument[at];
    if (option == 't') { options.recipientsFromHeader = true; continue; }
    if (option == 'i') { options.dotEndsInput = false; continue; }
    if (option == 'v') { options.verbose = true; continue; }
    if (option == 'q' && at + 1 == argument.size()) {
      options.mode = SendmailOptions::FlushQueue;
      continue;
    }
    if (valueOptions.find(option) == std::string_view::npos) {
      RaiseUsage(std::string("option -") + option + " is not supported");
    }
    if (at + 1 < argument.size()) return ApplyValueOption(option, argument.substr(at + 1), options);
    if (index + 1 >= arguments.size()) RaiseUsage(std::string("option -") + option + " needs a value");
    return ApplyValueOption(option, arguments[++index], options);
  }
}

// The last part of argv[0] without a final ".exe" (any case).
std::string_view ProgramName(std::string_view argv0) {
  std::size_t slash = argv0.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1);
  if (name.size() > 4 && EqualsIgnoringCase(name.substr(name.size() - 4), ".exe")) {
    name.remove_suffix(4);
  }
  return name;
}

}  // namespace

bool IsSendmailProgramName(std::string_view argv0) {
  std::string_view name = ProgramName(argv0);
  return EqualsIgnoringCase(name, "sendmail") || EqualsIgnoringCase(name, "e-mailer-sendmail");
}

bool IsMailqProgramName(std::string_view argv0) { return EqualsIgnoringCase(ProgramName(argv0), "mailq"); }

bool IsNewaliasesProgramName(std::string_view argv0) {
  return EqualsIgnoringCase(ProgramName(argv0), "newaliases");
}

SendmailOptions ParseSendmailOptions(const std::vector<std::string>& arguments) {
  SendmailOptions options;
  bool optionsEnded = false;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      if (!argument.empty()) options.recipients.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else {
      ParseOptionArgument(arguments, index, options);
    }
  }
  return options;
}

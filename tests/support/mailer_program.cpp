// RunMailer and SmtpSettings: the program run with a key file and an environment of
// its own.
#include "tests/support/mailer_program.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "tests/support/server_process.h"

namespace {

bool NeedsHex(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == '"' || c == '\\') return true;
  }
  return false;
}

// hex(1): the text in UTF-16LE with its closing NUL, two digits a byte.
std::string HexText(const std::string& text) {
  std::string hex = "hex(1):";
  char digits[8];
  for (unsigned char c : text) {
    std::snprintf(digits, sizeof digits, "%02x,00,", c);
    hex += digits;
  }
  return hex + "00,00";
}

// The value lines of a key.
std::string ValueLines(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text;
  for (const auto& [name, value] : values) {
    text += "\"" + name + "\"=" + (NeedsHex(value) ? HexText(value) : "\"" + value + "\"") + "\r\n";
  }
  return text;
}

std::vector<std::string> WrapperWords() {
  const char* wrapper = std::getenv("EMAILER_TEST_WRAPPER");
  std::vector<std::string> words;
  std::istringstream in(wrapper != nullptr ? wrapper : "");
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The test's own environment without what would change the run: no display, the
// settings of config, a state folder beside it, the C.UTF-8 locale.
std::vector<std::string> ProgramEnvironment(const std::string& config) {
  const char* const dropped[] = {"DISPLAY=", "WAYLAND_DISPLAY=", "XDG_CONFIG_HOME=", "XDG_STATE_HOME=", "LANG=",
                                 "LANGUAGE=", "LC_", "LSAN_OPTIONS=", "ASAN_OPTIONS="};
  auto isDropped = [&](const char* entry) {
    return std::any_of(std::begin(dropped), std::end(dropped), [&](const char* prefix) {
      return std::strncmp(entry, prefix, std::strlen(prefix)) == 0;
    });
  };
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!isDropped(*entry)) env.emplace_back(*entry);
  }
  env.push_back("XDG_CONFIG_HOME=" + config);
  // The queue and the tokens beside the settings, never in the user's own folder.
  env.push_back("XDG_STATE_HOME=" + config.substr(0, config.rfind('/')) + "/state");
  env.push_back("LC_ALL=C.UTF-8");
  // In the sanitizer build the leak checker passes over the leaks of the GSSAPI and
  // NTLMSSP libraries (gss_ntlmssp_leaks.supp says which), and only those; their
  // allocation stacks are taken the slow way, which reaches into those libraries.
  env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" EMAILER_TEST_SUPPORT_DIR
                "/gss_ntlmssp_leaks.supp");
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                ":fast_unwind_on_malloc=0");
  return env;
}

}  // namespace

void PrintTo(const MailerRun& run, std::ostream* os) {
  *os << "exit " << run.exitCode << ", output \"" << run.output << "\"";
}

std::string SmtpSettings(const std::vector<std::pair<std::string, std::string>>& values) {
  return "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\r\n" +
         ValueLines(values);
}

std::string SmtpAccountSettings(const std::string& account,
                                const std::vector<std::pair<std::string, std::string>>& values) {
  return "\r\n[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP\\Accounts\\" + account + "]\r\n" +
         ValueLines(values);
}

std::unique_ptr<TempConfigHome> PlainSessionHome(std::uint16_t port,
                                                 const std::vector<std::pair<std::string, std::string>>& more) {
  std::vector<std::pair<std::string, std::string>> values{
      {"Server", "127.0.0.1"}, {"Port", std::to_string(port)}, {"SenderEMail", "backup@example.com"}};
  values.insert(values.end(), more.begin(), more.end());
  auto home = std::make_unique<TempConfigHome>();
  home->WriteFile(home->SmtpKeyFile(), SmtpSettings(values));
  return home;
}

MailerRun RunMailer(const std::string& settings, const std::vector<std::string>& arguments) {
  TempConfigHome home;
  home.WriteFile(home.SmtpKeyFile(), settings);
  return RunMailer(home, arguments);
}

MailerRun RunMailer(const TempConfigHome& home, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = WrapperWords();
  argv.push_back(EMAILER_PROGRAM);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const std::vector<std::string> env = ProgramEnvironment(home.config);
  MailerRun run;
  run.exitCode = RunCommand(argv, &run.output, &env);
  return run;
}

namespace {

// Runs program with arguments and env, input as its standard input.
MailerRun RunWithInput(const TempConfigHome& home, const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& input, const std::vector<std::string>& env) {
  const std::string inputFile = home.base + "/input";
  home.WriteFile(inputFile, input);
  // The shell hands the file over as standard input and is then replaced by the
  // program, with its words as they are.
  std::vector<std::string> argv{"/bin/sh", "-c", "input=$1; shift; exec \"$@\" < \"$input\"",
                                "sh", inputFile};
  const std::vector<std::string> wrapper = WrapperWords();
  argv.insert(argv.end(), wrapper.begin(), wrapper.end());
  argv.push_back(program);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  MailerRun run;
  run.exitCode = RunCommand(argv, &run.output, &env);
  return run;
}

}  // namespace

MailerRun RunSendmail(const TempConfigHome& home, const std::vector<std::string>& arguments,
                      const std::string& input, const std::string& lang) {
  const std::string link = home.base + "/sendmail";
  std::error_code ignored;
  std::filesystem::remove(link, ignored);
  std::filesystem::create_symlink(EMAILER_PROGRAM, link);
  std::vector<std::string> env = ProgramEnvironment(home.config);
  if (!lang.empty()) env.push_back("LANG=" + lang);
  return RunWithInput(home, link, arguments, input, env);
}

MailerRun RunMailerWithInput(const TempConfigHome& home, const std::vector<std::string>& arguments,
                             const std::string& input) {
  return RunWithInput(home, EMAILER_PROGRAM, arguments, input, ProgramEnvironment(home.config));
}

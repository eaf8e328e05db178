#include "tests/support/mailer_program.h"

#include <cstdio>
#include <cstdlib>
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

std::vector<std::string> WrapperWords() {
  const char* wrapper = std::getenv("EMAILER_TEST_WRAPPER");
  std::vector<std::string> words;
  std::istringstream in(wrapper != nullptr ? wrapper : "");
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

std::string SmtpSettings(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\r\n";
  for (const auto& [name, value] : values) {
    text += "\"" + name + "\"=" + (NeedsHex(value) ? HexText(value) : "\"" + value + "\"") + "\r\n";
  }
  return text;
}

MailerRun RunMailer(const std::string& settings, const std::vector<std::string>& arguments) {
  TempConfigHome home;
  home.WriteFile(home.SmtpKeyFile(), settings);
  return RunMailer(home, arguments);
}

MailerRun RunMailer(const TempConfigHome& home, const std::vector<std::string>& arguments) {
  setenv("XDG_CONFIG_HOME", home.config.c_str(), 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  std::vector<std::string> argv = WrapperWords();
  argv.push_back(EMAILER_PROGRAM);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  MailerRun run;
  run.exitCode = RunCommand(argv, &run.output);
  return run;
}

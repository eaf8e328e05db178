// The locales the composition tests run in. The ANSI code page is the locale's codeset,
// so a test picks its code page by switching the process's locale: the built-in
// C.UTF-8, or a German Latin-1 locale that is compiled with localedef into a private
// directory (found through LOCPATH) the first time it is asked for, so nothing on the
// machine changes. The German locale also has day and month names that are not
// English. Each test program is one process, so the switch touches no other test.
#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace test_locale {

constexpr const char* latin1Name = "de_DE.ISO-8859-1";

class PrivateLocaleDirectory {
 public:
  PrivateLocaleDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "emailer-locale-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    path = pattern;
    std::string command = "localedef -i de_DE -f ISO-8859-1 '" + path + "/" + latin1Name + "' 2>&1";
    built = std::system(command.c_str()) == 0;
  }
  ~PrivateLocaleDirectory() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
  std::string path;
  bool built = false;
};

inline void UseUtf8() { ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr); }

inline void UseLatin1() {
  static PrivateLocaleDirectory directory;
  ASSERT_TRUE(directory.built) << "localedef could not build " << latin1Name;
  setenv("LOCPATH", directory.path.c_str(), 1);
  ASSERT_NE(std::setlocale(LC_ALL, latin1Name), nullptr);
}

}  // namespace test_locale

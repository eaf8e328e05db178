// The code pages the composition tests run in: UTF-8, or Latin-1 (whose German locale on
// Linux also has day and month names that are not English).
//
// On Linux the ANSI code page is the locale's codeset, so a test picks its code page by
// switching the process's locale: the built-in C.UTF-8, or a German Latin-1 locale that
// is compiled with localedef into a private directory (found through LOCPATH) the first
// time it is asked for, so nothing on the machine changes. Each test program is one
// process, so the switch touches no other test.
//
// On Windows a process's ANSI code page is fixed: 1252 (Latin-1) by default, UTF-8 when
// the program's manifest asks for it. A test program is built once for each, and a test
// that asks for the code page its program does not have fails.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32

#include "platform/code_page.h"

namespace test_locale {

inline void UseUtf8() {
  ASSERT_TRUE(AnsiCodePageIsUtf8()) << "needs a test program whose code page is UTF-8";
}

inline void UseLatin1() {
  ASSERT_TRUE(AnsiCodePageIsLatin1()) << "needs a test program whose code page is 1252";
}

}  // namespace test_locale

#else

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

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

#endif

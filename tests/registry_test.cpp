#include "platform/registry.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_config_home.h"

namespace {

constexpr REGSAM readWrite = KEY_READ | KEY_WRITE;

class RegistryTest : public ::testing::Test {
 protected:
  // Creates or opens software\Zelkor\Kestrum\SMTP as the settings reader does; the
  // status of the first step that fails, or of the last.
  LSTATUS CreateSmtpKey(HKEY* result) {
    HKEY key = HKEY_CURRENT_USER;
    LSTATUS status = ERROR_SUCCESS;
    for (const char* name : {"software", "Zelkor", "Kestrum", "SMTP"}) {
      HKEY child = nullptr;
      status = RegCreateKeyEx(key, name, readWrite, &child);
      RegCloseKey(key);
      key = child;
      if (status != ERROR_SUCCESS) break;
    }
    *result = key;
    return status;
  }

  HKEY OpenSmtpKey() {
    HKEY key = nullptr;
    EXPECT_EQ(CreateSmtpKey(&key), ERROR_SUCCESS);
    return key;
  }

  TempConfigHome home;
};

TEST_F(RegistryTest, QueryReportsTypeAndSizeAndAsksForRoomWhenTheBufferIsShort) {
  home.WriteFile(home.SmtpKeyFile(),
                 "REGEDIT4\n[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\n"
                 "\"Server\"=\"mail\"\n@=\"default\"\n\"Port\"=dword:0000024b\n");
  HKEY key = OpenSmtpKey();

  DWORD type = REG_NONE;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueEx(key, "server", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 5u);  // with its NUL

  char buffer[8] = {};
  size = 3;
  EXPECT_EQ(RegQueryValueEx(key, "Server", nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueEx(key, "Server", nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer, "mail", 5), 0);

  DWORD port = 0;
  size = sizeof port;
  EXPECT_EQ(RegQueryValueEx(key, "Port", &type, reinterpret_cast<BYTE*>(&port), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(port, 587u);

  for (const char* defaultName : {static_cast<const char*>(nullptr), ""}) {
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueEx(key, defaultName, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(buffer, "default");
  }
  EXPECT_EQ(RegQueryValueEx(key, "Missing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, OpenFindsOnlyExistingKeysAndCreatesNothing) {
  HKEY software = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software", readWrite, &software), ERROR_SUCCESS);
  HKEY company = nullptr;
  EXPECT_EQ(RegOpenKeyEx(software, "Zelkor", readWrite, &company), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(company, nullptr);
  EXPECT_FALSE(std::filesystem::exists(home.config + "/Zelkor"));
  RegCloseKey(software);

  HKEY other = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Environment", readWrite, &other),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, NamesThatCannotBeKeysAreRefused) {
  HKEY software = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "software", readWrite, &software), ERROR_SUCCESS);
  for (const char* name : {"", ".", "..", "a/b", "a\\b", static_cast<const char*>(nullptr)}) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(software, name, readWrite, &key), ERROR_INVALID_PARAMETER)
        << (name ? name : "null");
  }
  RegCloseKey(software);
  EXPECT_EQ(std::filesystem::directory_iterator(home.config), std::filesystem::directory_iterator());
}

// The subkeys of a section key are its file's further key lines: found without regard to
// case, listed once each in file order, each with only its own values; a key line with
// deeper keys alone still makes its key; nothing is created.
TEST_F(RegistryTest, SectionSubkeysAreTheFilesFurtherKeyLines) {
  const std::string smtp = "[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP";
  home.WriteFile(home.SmtpKeyFile(), "Windows Registry Editor Version 5.00\n\n" + smtp + "]\n\"Server\"=\"a\"\n" +
                                         smtp + "\\Accounts\\Work]\n\"Server\"=\"w\"\n" + smtp +
                                         "\\Other]\n" + smtp + "\\accounts\\Mail Box]\n" + smtp +
                                         "\\ACCOUNTS\\work]\n\"Port\"=\"1\"\n" + smtp + "\\Accounts\\Deep\\Er]\n");
  HKEY key = OpenSmtpKey();
  EXPECT_EQ(KeySubkeyNames(key), (std::vector<std::string>{"Accounts", "Other"}));
  HKEY accounts = nullptr;
  ASSERT_EQ(RegOpenKeyEx(key, "ACCOUNTS", KEY_READ, &accounts), ERROR_SUCCESS);
  EXPECT_EQ(KeySubkeyNames(accounts), (std::vector<std::string>{"Work", "Mail Box", "Deep"}));
  HKEY work = nullptr;
  ASSERT_EQ(RegOpenKeyEx(accounts, "work", KEY_READ, &work), ERROR_SUCCESS);
  EXPECT_EQ(KeyValueNames(work), (std::vector<std::string>{"Server", "Port"}));
  EXPECT_EQ(KeyValueNames(key), (std::vector<std::string>{"Server"}));
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyEx(accounts, "Deep", KEY_READ, &child), ERROR_SUCCESS);
  RegCloseKey(child);
  for (const char* missing : {"Er", "Wor", "Missing"}) {
    EXPECT_EQ(RegCreateKeyEx(accounts, missing, readWrite, &child), ERROR_FILE_NOT_FOUND) << missing;
  }
  EXPECT_EQ(RegOpenKeyEx(accounts, "Deep\\Er", KEY_READ, &child), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(KeySubkeyNames(work).empty());
  for (HKEY open : {work, accounts, key}) RegCloseKey(open);
}

TEST_F(RegistryTest, FilesThatAreNotKeysCannotBeOpened) {
  std::string key = "REGEDIT4\n[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\n";
  const std::string files[] = {key + "garbage\n", key + std::string(1 << 20, ';') + "\n"};
  for (const std::string& file : files) {
    home.WriteFile(home.SmtpKeyFile(), file);
    HKEY smtp = nullptr;
    EXPECT_EQ(CreateSmtpKey(&smtp), ERROR_BADDB);
    EXPECT_EQ(smtp, nullptr);
  }
}

}  // namespace

// Without XDG_CONFIG_HOME the user's key lies below HOME when it is a folder of the
// user's own, and below the passwd entry's home folder when HOME is unset, relative or
// another user's (cron starts an ordinary user's mailer with root's HOME).
TEST(UserKeyPlace, HomeOfTheUserOrElseOfThePasswdEntry) {
  TempConfigHome home;
  unsetenv("XDG_CONFIG_HOME");
  const std::string own = home.base + "/own";
  const std::string others = home.base + "/others";
  std::filesystem::create_directories(own);
  std::filesystem::create_directories(others);
  ASSERT_EQ(chown(others.c_str(), getuid() + 1, 0), 0);
  const std::string passwdHome = getpwuid(getuid())->pw_dir;
  struct Case {
    const char* home;  // null: unset
    std::string expected;
  };
  for (const Case& c : {Case{own.c_str(), own}, Case{others.c_str(), passwdHome},
                        Case{nullptr, passwdHome}, Case{"relative", passwdHome}}) {
    if (c.home != nullptr) {
      setenv("HOME", c.home, 1);
    } else {
      unsetenv("HOME");
    }
    const RegKeyPlace place = UserKeyPlace("Zelkor", "Kestrum", "SMTP");
    EXPECT_EQ(place.location, c.expected + "/.config/Zelkor/Kestrum/SMTP.reg") << (c.home ? c.home : "unset");
  }
  setenv("HOME", own.c_str(), 1);
  home.WriteFile(own + "/.config/zelkor/KESTRUM/smtp.reg", "");
  const RegKeyPlace found = UserKeyPlace("Zelkor", "Kestrum", "SMTP");
  EXPECT_TRUE(found.exists);
  EXPECT_EQ(found.location, own + "/.config/zelkor/KESTRUM/smtp.reg");
}

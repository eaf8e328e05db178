#include "app/run/settings.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "support/locale_fixture.h"
#include "support/temp_config_home.h"

namespace {

constexpr const char* header = "Windows Registry Editor Version 5.00\r\n\r\n";
constexpr const char* smtpKey = "[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\r\n";

class SettingsTest : public ::testing::Test {
 protected:
  void WriteSmtpKey(const std::string& values) {
    home.WriteFile(home.SmtpKeyFile(), header + std::string(smtpKey) + values);
  }

  TempConfigHome home;
};

struct ValueCase {
  const char* file;  // the lines after the key line
  const char* expected;
};

// Each case stores "Port" one way and reads it with the default "25".
TEST_F(SettingsTest, ValuesReadAsText) {
  const ValueCase cases[] = {
      {"\"Port\"=dword:0000024b\r\n", "587"},
      {"\"Port\"=dword:24B\r\n", "587"},
      {"\"Port\"=dword:ffffffff\r\n", "-1"},
      {"\"Port\"=dword:80000000\r\n", "-2147483648"},
      {"\"Port\"=hex(4):4b,02,00,00\r\n", "587"},
      {"\"Port\"=\"\"\r\n", ""},
      {"\"Port\"=\"465\"\r\n", "465"},
      {"\"Port\"=hex(2):25,00,50,00,00,00\r\n", ""},
      {"\"Port\"=hex:01,02\r\n", ""},
      {"\"Port\"=hex:\r\n", ""},
      {"\"Port\"=hex(7):61,00,00,00,00,00\r\n", ""},
      {"\"Port\"=hex(1):35,00,38,00,00,00,37,00,00,00\r\n", "58"},
      {"\"Port\"=hex(1):35,00,38,00,37,00,00,00\r\n", "587"},
      {"\"Port\"=hex(1):35,00,\\\r\n  38,00,\\\r\n  37,00,00,00\r\n", "587"},
      {"\"Port\"=hex(1):\r\n", ""},
      {"\"PORT\"=\"2525\"\r\n", "2525"},
      {"\"Port\" = \"2525\"\r\n", "2525"},
      {"\"Port\"=\"1\"\r\n\"port\"=\"2\"\r\n", "2"},
      {"; a comment\r\n\r\n  \"Port\"=\"26\"  \r\n", "26"},
      {"\"Port\"=\"a\\\\b \\\"c\\\"\"\r\n", "a\\b \"c\""},
      {"\"Port\"=\"CORP\\jdoe\"\r\n", "CORP\\jdoe"},
      {"\"Port\"=\"M\xC3\xBCller\"\r\n", "M\xC3\xBCller"},
      {"\"Server\"=\"x\"\r\n", "25"},
      {"[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP\\Other]\r\n\"Port\"=\"99\"\r\n", "25"},
      {"[HKEY_CURRENT_USER\\SOFTWARE\\zelkor\\kestrum\\smtp]\r\n\"Port\"=\"99\"\r\n", "99"},
  };
  for (const ValueCase& c : cases) {
    WriteSmtpKey(c.file);
    EXPECT_EQ(ReadSmtpSetting("Port", "25"), c.expected) << c.file;
  }
}

TEST_F(SettingsTest, Regedit4FilesHoldStringDataAsAnsiBytes) {
  home.WriteFile(home.SmtpKeyFile(),
                 "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\n"
                 "\"Server\"=hex(1):6d,61,69,6c,00,78\n\"Port\"=dword:0000024b\n");
  EXPECT_EQ(ReadSmtpSetting("Server", ""), "mail");
  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "587");
}

std::string Utf16le(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST_F(SettingsTest, Utf16leExportIsRead) {
  home.WriteFile(home.SmtpKeyFile(),
                 Utf16le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                         u"[HKEY_CURRENT_USER\\Software\\Zelkor\\Kestrum\\SMTP]\r\n"
                         u"\"Server\"=\"mail.example.com\"\r\n"
                         u"\"Port\"=dword:000001d1\r\n"
                         u"\"SenderName\"=\"J\u00FCrgen M\u00FCller\"\r\n"
                         u"\"AuthUser\"=hex(1):6a,00,fc,00,00,00\r\n\r\n"));
  EXPECT_EQ(ReadSmtpSetting("Server", ""), "mail.example.com");
  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "465");
  // The C locale of the test counts as UTF-8.
  EXPECT_EQ(ReadSmtpSetting("SenderName", ""), "J\xC3\xBCrgen M\xC3\xBCller");
  EXPECT_EQ(ReadSmtpSetting("AuthUser", ""), "j\xC3\xBC");
}

TEST_F(SettingsTest, Utf8ByteOrderMarkIsSkipped) {
  home.WriteFile(home.SmtpKeyFile(), "\xEF\xBB\xBF" + std::string(header) + smtpKey + "\"Port\"=\"1\"\r\n");
  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "1");
}

// A file that is not a registry file counts as a key that cannot be opened: every value
// takes its default, and the file stays as it is.
TEST_F(SettingsTest, UnparseableFileGivesDefaultsAndIsKept) {
  const char* files[] = {
      "",
      "\"Port\"=\"1\"\r\n",
      "Windows Registry Editor Version 4.00\r\n[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\r\n",
      "Windows Registry Editor Version 5.00\r\n\"Port\"=\"1\"\r\n",
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP\r\n",
  };
  const char* badValues[] = {
      "\"Port\"=\"1\r\n",       "\"Port\"=\"a\\\"\r\n",  "\"Port\"=dword:100000000\r\n",
      "\"Port\"=dword:\r\n",    "\"Port\"=dword:12g\r\n", "\"Port\"=hex:1,xyz\r\n",
      "\"Port\"=hex(1:00\r\n",  "\"Port\"=hex:123\r\n",   "\"Port\"=\"1\" x\r\n",
      "\"Port\"=-\r\n",         "Port=\"1\"\r\n",        "\"Port\"\"1\"\r\n",
      // A key deletion line, whichever key it names.
      "[-HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\r\n",
      "[-HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\Other]\r\n",
  };
  auto expectDefaults = [&](const std::string& bytes) {
    home.WriteFile(home.SmtpKeyFile(), bytes);
    EXPECT_EQ(ReadSmtpSetting("Port", "25"), "25") << bytes;
    EXPECT_EQ(ReadSmtpSetting("Server", ""), "") << bytes;
    EXPECT_EQ(home.ReadFile(home.SmtpKeyFile()), bytes);
  };
  for (const char* file : files) expectDefaults(file);
  for (const char* value : badValues) {
    expectDefaults(header + std::string(smtpKey) + "\"Server\"=\"x\"\r\n" + value);
  }
}

// While a CSettingsReadOnce lives the key's file is read at the first value only, so a
// change to it shows once the object is gone; a key that could not be opened is tried
// again at every read.
TEST_F(SettingsTest, ReadOnceKeepsTheFileReadAtTheFirstValue) {
  {
    CSettingsReadOnce readOnce;
    home.WriteFile(home.SmtpKeyFile(), "not a key file");
    EXPECT_EQ(ReadSmtpSetting("Port", "25"), "25");
    WriteSmtpKey("\"Port\"=\"587\"\r\n\"Server\"=\"a\"\r\n");
    EXPECT_EQ(ReadSmtpSetting("Port", "25"), "587");
    WriteSmtpKey("\"Port\"=\"465\"\r\n\"Server\"=\"b\"\r\n");
    EXPECT_EQ(ReadSmtpSetting("Server", ""), "a");
    EXPECT_EQ(ReadSmtpSetting("Port", "25"), "587");
    EXPECT_EQ(ReadSmtpSetting("AuthUser", "none"), "none");
  }
  EXPECT_EQ(ReadSmtpSetting("Server", ""), "b");
}

// A byte sequence that is not UTF-8 is one "?" whatever the code page, a UTF-8 one
// included, so no malformed text reaches the program from the file.
TEST_F(SettingsTest, InvalidUtf8ReadsAsAQuestionMarkInEveryLocale) {
  struct Locale {
    const char* name;
    void (*use)();
    const char* mueller;  // how the valid "M\xC3\xBCller" reads there
  };
  const Locale locales[] = {
      {"C", [] { ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr); }, "M\xC3\xBCller"},
      {"C.UTF-8", test_locale::UseUtf8, "M\xC3\xBCller"},
      {"Latin-1", test_locale::UseLatin1, "M\xFCller"},
  };
  const ValueCase cases[] = {
      {"\"Server\"=\"a\xFFz\"\r\n", "a?z"},
      {"\"Server\"=\"a\xC3z\"\r\n", "a?z"},
      {"\"Server\"=\"a\x80\x80z\"\r\n", "a?z"},
      {"\"Server\"=\"a\xED\xA0\x80z\"\r\n", "a?z"},  // a UTF-16 surrogate
      {"\"Server\"=\"a\xE2\x82\"\r\n", "a?"},
  };
  for (const Locale& locale : locales) {
    SCOPED_TRACE(locale.name);
    locale.use();
    for (const ValueCase& c : cases) {
      WriteSmtpKey(c.file);
      EXPECT_EQ(ReadSmtpSetting("Server", ""), c.expected) << c.file;
    }
    WriteSmtpKey("\"Server\"=\"M\xC3\xBCller\"\r\n");
    EXPECT_EQ(ReadSmtpSetting("Server", ""), locale.mueller);
  }
  std::setlocale(LC_ALL, "C");
}

TEST_F(SettingsTest, MissingKeyPathIsCreatedPrivately) {
  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "25");
  EXPECT_EQ(ReadSmtpSetting("AuthMethod", ""), "");

  EXPECT_EQ(TempConfigHome::Mode(home.config), 0700u);
  EXPECT_EQ(TempConfigHome::Mode(home.config + "/Zelkor"), 0700u);
  EXPECT_EQ(TempConfigHome::Mode(home.config + "/Zelkor/Kestrum"), 0700u);
  EXPECT_EQ(TempConfigHome::Mode(home.SmtpKeyFile()), 0600u);
  EXPECT_EQ(home.ReadFile(home.SmtpKeyFile()),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\n");
}

TEST_F(SettingsTest, MissingConfigFoldersAreCreatedPrivatelyWhateverTheUmask) {
  std::string nested = home.base + "/a/b/config";
  setenv("XDG_CONFIG_HOME", nested.c_str(), 1);
  mode_t previous = umask(0277);
  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "25");
  umask(previous);
  EXPECT_EQ(TempConfigHome::Mode(home.base + "/a"), 0700u);
  EXPECT_EQ(TempConfigHome::Mode(nested), 0700u);
  EXPECT_EQ(TempConfigHome::Mode(nested + "/Zelkor/Kestrum/SMTP.reg"), 0600u);
}

TEST_F(SettingsTest, WithoutXdgConfigHomeTheHomeConfigFolderIsUsed) {
  setenv("HOME", home.base.c_str(), 1);
  for (const char* value : {"", "relative/path"}) {
    setenv("XDG_CONFIG_HOME", value, 1);
    home.WriteFile(home.base + "/.config/Zelkor/Kestrum/SMTP.reg",
                   header + std::string(smtpKey) + "\"Port\"=\"2\"\r\n");
    EXPECT_EQ(ReadSmtpSetting("Port", "25"), "2") << value;
  }
}

TEST_F(SettingsTest, ExistingFilesAndFoldersAreNeverReplaced) {
  WriteSmtpKey("\"Port\"=\"587\"\r\n");
  chmod(home.SmtpKeyFile().c_str(), 0640);
  chmod((home.config + "/Zelkor").c_str(), 0755);
  std::string before = home.ReadFile(home.SmtpKeyFile());

  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "587");
  EXPECT_EQ(home.ReadFile(home.SmtpKeyFile()), before);
  EXPECT_EQ(TempConfigHome::Mode(home.SmtpKeyFile()), 0640u);
  EXPECT_EQ(TempConfigHome::Mode(home.config + "/Zelkor"), 0755u);
}

TEST_F(SettingsTest, KeyNamesOnDiskMatchWithoutRegardToCase) {
  home.WriteFile(home.config + "/zelkor/KESTRUM/smtp.REG",
                 header + std::string(smtpKey) + "\"Port\"=\"3\"\r\n");
  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "3");
  EXPECT_FALSE(std::filesystem::exists(home.config + "/Zelkor"));
}

TEST_F(SettingsTest, KeyTakenByAnotherKindOfFileGivesDefaults) {
  home.WriteFile(home.config + "/Zelkor", "not a folder");
  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "25");
  EXPECT_EQ(home.ReadFile(home.config + "/Zelkor"), "not a folder");

  std::filesystem::remove(home.config + "/Zelkor");
  std::filesystem::create_directories(home.SmtpKeyFile());
  EXPECT_EQ(ReadSmtpSetting("Port", "25"), "25");
}

// Values are never written, so settings that cannot be written are read all the same:
// a read-only file (chmod 400, or another owner's 0644 file) in read-only folders (a
// home mounted read-only). Only a missing key then cannot be created, and that too
// gives the defaults.
TEST_F(SettingsTest, ReadOnlySettingsAreRead) {
  WriteSmtpKey("\"Port\"=\"587\"\r\n\"Server\"=\"mail\"\r\n");
  chmod(home.SmtpKeyFile().c_str(), 0444);
  for (const std::string& folder :
       {home.config, home.config + "/Zelkor", home.config + "/Zelkor/Kestrum"}) {
    chmod(folder.c_str(), 0555);
  }
  EXPECT_EQ(RunUnprivileged([] {
              return ReadSmtpSetting("Port", "25") + "|" + ReadSmtpSetting("Server", "");
            }),
            "587|mail");
  EXPECT_EQ(RunUnprivileged([] { return ReadRegistryString("Zelkor", "Kestrum", "Other", "Port", "25"); }),
            "25");
  EXPECT_FALSE(std::filesystem::exists(home.config + "/Zelkor/Kestrum/Other.reg"));
}

TEST_F(SettingsTest, UnreadableKeyFileGivesDefaults) {
  WriteSmtpKey("\"Port\"=\"587\"\r\n");
  for (const std::string& folder :
       {home.config, home.config + "/Zelkor", home.config + "/Zelkor/Kestrum"}) {
    chmod(folder.c_str(), 0777);
  }
  chmod(home.SmtpKeyFile().c_str(), 0222);
  EXPECT_EQ(RunUnprivileged([] { return ReadSmtpSetting("Port", "25"); }), "25");
}

TEST(ReadRegistryString, NullCompanyGivesEmptyTextNotTheDefault) {
  TempConfigHome home;
  EXPECT_EQ(ReadRegistryString(nullptr, "Kestrum", "SMTP", "Port", "25"), "");
  EXPECT_FALSE(std::filesystem::exists(home.config));
}

TEST(ReadRegistryString, OtherKeysLiveInTheirOwnFiles) {
  TempConfigHome home;
  home.WriteFile(home.config + "/Acme/Tool/Main.reg",
                 "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Acme\\Tool\\Main]\n\"Level\"=dword:7\n");
  EXPECT_EQ(ReadRegistryString("Acme", "Tool", "Main", "Level", "0"), "7");
  EXPECT_EQ(ReadRegistryString("Acme", "Tool", "Other", "Level", "0"), "0");
  EXPECT_TRUE(std::filesystem::exists(home.config + "/Acme/Tool/Other.reg"));
}

}  // namespace

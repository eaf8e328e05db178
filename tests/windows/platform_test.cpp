// The Windows platform layer against the system itself (run under Wine on the build
// machine): the registry as reg.exe writes it, the system's message texts, RPC UUIDs,
// the ANSI code page, the time zone, attachment files, the host name and the trusted
// root certificates.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <openssl/x509_vfy.h>

#include "platform/code_page.h"
#include "platform/host_name.h"
#include "platform/local_time.h"
#include "platform/read_only_file.h"
#include "platform/registry.h"
#include "platform/system_messages.h"
#include "platform/trusted_certificates.h"
#include "platform/uuid.h"

namespace {

// Runs reg.exe, as a user or an installer would, and tells whether it succeeded.
bool Reg(const std::string& arguments) { return std::system(("reg " + arguments + " >NUL").c_str()) == 0; }

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Reg("add " + path + " /v Server /t REG_SZ /d mail.example.com /f"));
    ASSERT_TRUE(Reg("add " + path + " /v Port /t REG_DWORD /d 465 /f"));
  }
  void TearDown() override { Reg("delete HKCU\\software\\" + company + " /f"); }

  // The key of the test, opened step by step as the settings reader opens its own.
  HKEY OpenSmtpKey(bool create) {
    HKEY key = HKEY_CURRENT_USER;
    for (const char* name : {"software", company.c_str(), "Product", "SMTP"}) {
      HKEY child = nullptr;
      LSTATUS status = create ? RegCreateKeyEx(key, name, KEY_READ | KEY_WRITE, &child)
                              : RegOpenKeyEx(key, name, KEY_READ, &child);
      if (key != HKEY_CURRENT_USER) RegCloseKey(key);
      if (status != ERROR_SUCCESS) return nullptr;
      key = child;
    }
    return key;
  }

  const std::string company = "e-mailer-test-" + NewUuidText();
  const std::string path = "HKCU\\software\\" + company + "\\Product\\SMTP";
};

TEST_F(RegistryTest, ReadsWhatRegWrote) {
  HKEY key = OpenSmtpKey(false);
  ASSERT_NE(key, nullptr);
  DWORD type = REG_NONE;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueEx(key, "Server", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof "mail.example.com");
  std::string text(size, '\0');
  ASSERT_EQ(RegQueryValueEx(key, "Server", nullptr, reinterpret_cast<BYTE*>(text.data()), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text.c_str(), "mail.example.com");

  DWORD port = 0;
  size = sizeof port;
  ASSERT_EQ(RegQueryValueEx(key, "Port", &type, reinterpret_cast<BYTE*>(&port), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(port, 465u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, MissingAndTooLarge) {
  HKEY key = OpenSmtpKey(false);
  ASSERT_NE(key, nullptr);
  char small[4];
  DWORD size = sizeof small;
  EXPECT_EQ(RegQueryValueEx(key, "Server", nullptr, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof "mail.example.com");
  size = sizeof small;
  EXPECT_EQ(RegQueryValueEx(key, "NoSuchValue", nullptr, reinterpret_cast<BYTE*>(small), &size),
            ERROR_FILE_NOT_FOUND);
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyEx(key, "NoSuchKey", KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryTest, CreatesMissingKeysAndFindsExistingOnes) {
  ASSERT_TRUE(Reg("delete HKCU\\software\\" + company + " /f"));
  EXPECT_EQ(OpenSmtpKey(false), nullptr);
  HKEY created = OpenSmtpKey(true);
  ASSERT_NE(created, nullptr);
  RegCloseKey(created);
  HKEY opened = OpenSmtpKey(false);
  ASSERT_NE(opened, nullptr);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueEx(opened, "Server", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(opened);
}

TEST(SystemMessageText, SystemTextsWithoutLineEnd) {
  // Windows has texts for all of them; where Wine has none (most Winsock numbers, the
  // security statuses) the program's own text stands in.
  for (std::uint32_t number : {5u, 87u, 1225u, 10054u, 10060u, 10061u, 11001u, 0x80090302u,
                               0x8009030Cu}) {
    std::string text = SystemMessageText(number);
    EXPECT_FALSE(text.empty()) << number;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << number << ": " << text;
  }
  EXPECT_EQ(SystemMessageText(0x2000FFFFu), "");
}

TEST(LocalHostName, ComputerNameThatFitsTheBuffer) {
  char name[260] = {};
  ASSERT_TRUE(LocalHostName(name, sizeof name));
  EXPECT_GT(std::strlen(name), 0u);
  char tiny[1];
  EXPECT_FALSE(LocalHostName(tiny, sizeof tiny));
}

// OpenSSL reads no Windows store by itself: without these, no server's certificate
// would pass the check. Wine fills its ROOT store from the machine's CA certificates.
TEST(SystemTrustedCertificates, RootStoreCertificatesAreLoaded) {
  X509_STORE* store = X509_STORE_new();
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(LoadSystemTrustedCertificates(store));
  EXPECT_GT(sk_X509_OBJECT_num(X509_STORE_get0_objects(store)), 10);
  X509_STORE_free(store);
}

TEST(NewUuidText, FreshLowerCaseRandomUuids) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::string first = NewUuidText();
  std::string second = NewUuidText();
  EXPECT_TRUE(std::regex_match(first, form)) << first;
  EXPECT_TRUE(std::regex_match(second, form)) << second;
  EXPECT_NE(first, second);
}

TEST(AnsiCodePage, SystemCodePage) {
  std::string codePage = AnsiCodePage();
  EXPECT_TRUE(codePage == "UTF-8" || codePage.rfind("CP", 0) == 0) << codePage;
  if (codePage != "CP1252") GTEST_SKIP() << "ANSI code page " << codePage;
  EXPECT_TRUE(AnsiCodePageIsLatin1());
  EXPECT_FALSE(AnsiCodePageIsUtf8());
  EXPECT_EQ(AnsiToUtf16("\xE9\x80"), u"\u00E9\u20AC");
  EXPECT_EQ(Utf8FromAnsi("\xE9\x80"), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(AnsiFromUtf8("\xE2\x82\xAC\xF0\x9F\x98\x80"), "\x80?");
}

TEST(LocalTimeAt, FieldsAndBiasAgree) {
  // A winter and a summer instant, so a zone with daylight saving time shows both.
  for (std::time_t when : {std::time_t{1000000000}, std::time_t{1015000000}, CurrentTime()}) {
    LocalTime local = LocalTimeAt(when);
    std::tm fields = local.fields;
    std::time_t asUtc = _mkgmtime(&fields);
    EXPECT_EQ(asUtc - when, -static_cast<std::time_t>(local.biasMinutes) * 60) << when;
    EXPECT_EQ(fields.tm_wday, local.fields.tm_wday) << when;
    EXPECT_EQ(fields.tm_yday, local.fields.tm_yday) << when;
  }
}

TEST(FormatTimeInCLocale, EnglishNamesWhateverTheLocale) {
  std::tm fields{};
  fields.tm_year = 101;
  fields.tm_mon = 8;
  fields.tm_mday = 9;
  fields.tm_hour = 1;
  fields.tm_min = 46;
  fields.tm_sec = 40;
  fields.tm_wday = 0;
  EXPECT_EQ(FormatTimeInCLocale("%a, %d %b %Y %H:%M:%S", fields), "Sun, 09 Sep 2001 01:46:40");
}

TEST(ReadOnlyFile, ReadsRegularFilesOnly) {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("e-mailer-test-" + NewUuidText() + ".bin");
  std::string content(100000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  std::ofstream(path, std::ios::binary) << content;

  CReadOnlyFile file;
  ASSERT_TRUE(file.Open(path.string()));
  CFileStamp stamp;
  ASSERT_TRUE(file.Stamp(stamp));
  EXPECT_EQ(stamp.size, content.size());
  EXPECT_NE(stamp.modified, 0u);
  std::string read(content.size() + 10, '\0');
  std::size_t bytesRead = 0;
  ASSERT_TRUE(file.Read(read.data(), read.size(), bytesRead));
  EXPECT_EQ(bytesRead, content.size());
  EXPECT_EQ(read.substr(0, bytesRead), content);
  file.Close();
  std::filesystem::remove(path);

  EXPECT_FALSE(file.Open(path.string()));
  EXPECT_FALSE(file.Open(std::filesystem::temp_directory_path().string()));
  EXPECT_FALSE(file.Open("NUL"));
}

}  // namespace

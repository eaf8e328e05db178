#include "platform/posix/reg_file_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string smtpKey = "[HKEY_CURRENT_USER\\software\\Zelkor\\Kestrum\\SMTP]\r\n";

std::string StringValue(const std::string& line) {
  auto keys = ParseRegFile(header + smtpKey + line);
  if (!keys || keys->size() != 1 || keys->front().values.size() != 1) return "(unparsed)";
  const std::string& data = keys->front().values.front().data;
  return data.substr(0, data.size() - 1);  // without its NUL
}

// \\ and \" are the escapes; a backslash before anything else is itself, as a user
// writes DOMAIN\account by hand.
TEST(ParseRegFile, BackslashEscapesOnlyBackslashAndQuote) {
  EXPECT_EQ(StringValue("\"AuthUser\"=\"CORP\\\\jdoe\"\r\n"), "CORP\\jdoe");
  EXPECT_EQ(StringValue("\"AuthUser\"=\"CORP\\jdoe\"\r\n"), "CORP\\jdoe");
  EXPECT_EQ(StringValue("\"AuthUser\"=\"a\\nb\\a\\x41\"\r\n"), "a\\nb\\a\\x41");
  EXPECT_EQ(StringValue("\"AuthPassword\"=\"say \\\"hi\\\" \\\\o/\"\r\n"), "say \"hi\" \\o/");
  EXPECT_EQ(StringValue("\"Path\"=\"C:\\\\\"\r\n"), "C:\\");
  // A backslash before the closing quote escapes it: the string does not end.
  EXPECT_EQ(StringValue("\"Path\"=\"C:\\\"\r\n"), "(unparsed)");
  auto keys = ParseRegFile(header + smtpKey + "\"Do\\main\\\\\"=\"x\"\r\n");
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->front().values.front().name, "Do\\main\\");
}

struct BrokenCase {
  std::string file;
  std::size_t line;
  const char* reason;
};

// The first line that breaks the syntax, counted from 1, and what is wrong with it.
TEST(ParseRegFile, FailureNamesTheLineAndTheReason) {
  const std::string start = header + smtpKey;  // lines 1 to 3
  const BrokenCase cases[] = {
      {"", 1, "the file holds no registry header"},
      {"\r\n\r\n", 3, "the file holds no registry header"},
      {"\r\nWindows Registry Editor Version 4.00\r\n", 2,
       "the first line is not \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
      {header + "\"Port\"=\"1\"\r\n", 3, "a value comes before the first key line"},
      {header + "[HKEY_CURRENT_USER\\software\r\n", 3, "a key line must end with ]"},
      {header + "[-HKEY_CURRENT_USER\\software\\Zelkor]\r\n", 3,
       "a key line that deletes a key ([-...])"},
      {start + "\"Port\"=\"1\r\n", 4, "a string has no closing quote"},
      {start + "; fine\r\n\"Port\r\n", 5, "a string has no closing quote"},
      {start + "\"Port\"=\"1\" x\r\n", 4, "text follows the closing quote"},
      {start + "Port=\"1\"\r\n", 4, "a value name must be in double quotes, or @"},
      {start + "\"Port\"\"1\"\r\n", 4, "no = after the value name"},
      {start + "\"Port\"=dword:100000000\r\n", 4, "dword: takes one to eight hex digits"},
      {start + "\"Port\"=dword:12g\r\n", 4, "dword: takes one to eight hex digits"},
      {start + "\"Port\"=-\r\n", 4, "the data is not a \"string\", dword: or hex:"},
      {start + "\"Port\"=hex(1:00\r\n", 4, "hex( takes a hex type number and )"},
      {start + "\"Port\"=hex;00\r\n", 4, "no : after hex"},
      {start + "\"Port\"=hex:1,xyz\r\n", 4, "hex: takes bytes of two hex digits, separated by commas"},
      // A list that goes on over lines is reported at the line where its value starts.
      {start + "\"Port\"=hex:01,\\\r\n  0g\r\n", 4,
       "hex: takes bytes of two hex digits, separated by commas"},
  };
  for (const BrokenCase& c : cases) {
    RegParseError error;
    EXPECT_FALSE(ParseRegFile(c.file, &error)) << c.file;
    EXPECT_EQ(error.line, c.line) << c.file;
    EXPECT_EQ(error.reason, c.reason) << c.file;
  }
}

}  // namespace

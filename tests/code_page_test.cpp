#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

struct ConversionCase {
  std::string text;
  const char* from;
  const char* to;
  std::string expected;
};

TEST(ConvertCodeSet, SubstitutesWhatCannotBeConverted) {
  const ConversionCase cases[] = {
      {"M\xC3\xBCller", "UTF-8", "ISO-8859-1", "M\xFCller"},
      {"M\xFCller", "ISO-8859-1", "UTF-8", "M\xC3\xBCller"},
      {"\xE2\x82\xAC 5", "UTF-8", "CP1252", "\x80 5"},
      // Not in Latin-1: one '?' per character, however many bytes it has.
      {"a\xE2\x82\xAC" "b\xF0\x9F\x98\x80" "c", "UTF-8", "ISO-8859-1", "a?b?c"},
      // Malformed input: a stray continuation byte, a lead byte without its tail.
      {"a\x80" "b\xC3", "UTF-8", "ISO-8859-1", "a?b?"},
      {std::string("a\0b\0", 4), "UTF-16LE", "UTF-8", "ab"},
      // An unpaired surrogate, and an odd byte at the end.
      {std::string("\x00\xD8" "a\0" "b", 5), "UTF-16LE", "UTF-8", "?a?"},
      {std::string("x\0y", 3), "UTF-8", "UTF-8", std::string("x\0y", 3)},
      {"", "UTF-16LE", "UTF-8", ""},
  };
  for (const ConversionCase& c : cases) {
    EXPECT_EQ(ConvertCodeSet(c.text, c.from, c.to), c.expected) << c.from << " -> " << c.to;
  }
}

TEST(ConvertCodeSet, EmbeddedNulSurvives) {
  EXPECT_EQ(ConvertCodeSet(std::string("a\0\0\0b\0", 6), "UTF-16LE", "UTF-8"),
            std::string("a\0b", 3));
}

TEST(ConvertCodeSet, LongTextGrowsTheOutput) {
  std::string latin1(10000, '\xE9');
  std::string utf8;
  for (int i = 0; i < 10000; ++i) utf8 += "\xC3\xA9";
  EXPECT_EQ(ConvertCodeSet(latin1, "ISO-8859-1", "UTF-8"), utf8);
}

TEST(AnsiCodePage, PlainAsciiLocaleCountsAsUtf8) {
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(AnsiCodePage(), "UTF-8");
  EXPECT_EQ(AnsiFromUtf8("J\xC3\xBCrgen"), "J\xC3\xBCrgen");
  EXPECT_EQ(AnsiFromUtf16le(std::string("\xFC\0", 2)), "\xC3\xBC");
  EXPECT_EQ(Utf8FromAnsi("\xC3\xBC"), "\xC3\xBC");
}

}  // namespace

#include "platform/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TerminalCase {
  std::string text;
  bool utf8;
  std::string shown;
};

// What reaches the terminal: nothing that a terminal acts on, and every other byte as
// it was.
TEST(TerminalText, ControlCharactersAndMalformedUtf8ShowEscaped) {
  const TerminalCase cases[] = {
      {"550 5.1.1 User unknown", true, "550 5.1.1 User unknown"},
      {"554-one\r\n554 two", true, "554-one\n554 two"},
      {"a\tb\nc", true, "a\tb\nc"},
      {"title \x1B]0;owned\x07 clear \x1B[2J", true, "title \\x1B]0;owned\\x07 clear \\x1B[2J"},
      {"lone\rCR", true, "lone\\x0DCR"},
      {std::string("nul\0del\x7F", 8), true, "nul\\x00del\\x7F"},
      // U+0085 and U+009B (CSI) are C1 controls; U+00A0 and U+00E9 are characters.
      {"\xC2\x85\xC2\x9B[2J\xC2\xA0\xC3\xA9", true, "\\xC2\\x85\\xC2\\x9B[2J\xC2\xA0\xC3\xA9"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7", true, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7"},
      // A stray continuation, a cut character, an overlong form, a surrogate, past U+10FFFF.
      {"\x80|\xC3|\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80", true,
       "\\x80|\\xC3|\\xC0\\xAF|\\xED\\xA0\\x80|\\xF4\\x90\\x80\\x80"},
      {"\xE2\x82", true, "\\xE2\\x82"},
      // An 8-bit code set: its C1 range is escaped, its letters stay.
      {"caf\xE9 \x9B[2J \x1B", false, "caf\xE9 \\x9B[2J \\x1B"},
  };
  for (const TerminalCase& c : cases) {
    EXPECT_EQ(TerminalText(c.text, c.utf8), c.shown) << c.text;
  }
}

TEST(TerminalText, LongTextIsCutWithAMarkSayingHowMuchIsLeftOut) {
  EXPECT_EQ(TerminalText(std::string(messageTextLimit, 'a'), true),
            std::string(messageTextLimit, 'a'));
  EXPECT_EQ(TerminalText(std::string(1 << 20, 'a'), true),
            std::string(messageTextLimit, 'a') + "\n[cut: 1044480 more bytes not shown]");
  // Escapes count as what they show: 1024 of them fill the limit, and none is split.
  std::string escapes;
  for (int i = 0; i < 1024; ++i) escapes += "\\x1B";
  EXPECT_EQ(TerminalText(std::string(2000, '\x1B'), true),
            escapes + "\n[cut: 976 more bytes not shown]");
}

TEST(CutMessageText, CutsAtTheLimitButNeverInsideAUtf8Character) {
  EXPECT_EQ(CutMessageText("short", true, 8), "short");
  EXPECT_EQ(CutMessageText("12345678", true, 8), "12345678");
  EXPECT_EQ(CutMessageText("123456789", true, 8), "12345678\n[cut: 1 more bytes not shown]");
  // "é" is C3 A9, at bytes 7 and 8: kept whole or not at all.
  EXPECT_EQ(CutMessageText("1234567\xC3\xA9", true, 8), "1234567\n[cut: 2 more bytes not shown]");
  EXPECT_EQ(CutMessageText("1234567\xC3\xA9", false, 8),
            "1234567\xC3\n[cut: 1 more bytes not shown]");
}

}  // namespace

// The text encoders: quoted-printable, encoded words, UTF-8, dot stuffing.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mime/dot_stuffing.h"
#include "mime/header_encoding.h"
#include "mime/header_folding.h"
#include "mime/line_ends.h"
#include "mime/hex_digit.h"
#include "mime/quoted_printable.h"
#include "mime/utf8.h"
#include "platform/code_page.h"
#include "tests/support/locale_fixture.h"

namespace {

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

struct Case {
  std::string input;
  std::string expected;
};

// Undoes quoted-printable: soft breaks go, "=XX" becomes its byte.
std::string DecodeQuotedPrintable(const std::string& qp) {
  std::string out;
  for (std::size_t i = 0; i < qp.size(); ++i) {
    if (qp[i] != '=') {
      out += qp[i];
    } else if (qp.compare(i, 3, "=\r\n") == 0) {
      i += 2;
    } else {
      out += static_cast<char>(std::stoi(qp.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t p = text.find("\r\n"); p != text.npos; p = text.find("\r\n", from)) {
    lines.push_back(text.substr(from, p - from));
    from = p + 2;
  }
  lines.push_back(text.substr(from));
  return lines;
}

}  // namespace

TEST(HexDigit, UpperCaseDigitsForEveryValue) {
  const std::string digits = "0123456789ABCDEF";
  for (int v = 0; v < 16; ++v) EXPECT_EQ(HexDigit(v), digits[v]) << v;
}

TEST(QuotedPrintable, EscapesExactlyTheBytesOutsidePrintableAscii) {
  const Case cases[] = {
      {"a=b", "a=3Db"},
      {"\xE9", "=E9"},
      {"\t", "=09"},
      {"\tx", "\tx"},
      // A blank that ends a line is escaped, so no hop can strip it; others stay.
      {"a \t", "a =09"},
      {"a b \r\nc\t\r\n \r\n", "a b=20\r\nc=09\r\n=20\r\n"},
      {"one\r\ntwo\r\n", "one\r\ntwo\r\n"},
      {"bare\nlf\rcr", "bare\nlf\rcr"},
      {std::string("\0\x01\x1F\x7F\x80\xFF", 6), "=00=01=1F=7F=80=FF"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeQuotedPrintable(c.input), c.expected) << c.input;

  for (char c = 33; c <= 126; ++c) {
    if (c == '=') continue;
    EXPECT_EQ(EncodeQuotedPrintable(std::string(1, c)), std::string(1, c));
  }
}

TEST(QuotedPrintable, FoldsLongLinesWithSoftBreaks) {
  const std::string x39 = Repeat('x', 39);
  const Case cases[] = {
      // No space: pieces of 75 characters and "=", the rest of 50.
      {Repeat('x', 200), Repeat('x', 75) + "=\r\n" + Repeat('x', 75) + "=\r\n" + Repeat('x', 50)},
      // A space at position 40 of 80: the first line ends in the space and "=".
      {x39 + " " + Repeat('x', 40), x39 + " =\r\n" + Repeat('x', 40)},
      {Repeat('x', 50) + "\t" + Repeat('x', 30), Repeat('x', 50) + "\t=\r\n" + Repeat('x', 30)},
      // "=E9" at the limit is not split: the piece ends before it.
      {Repeat('x', 74) + "\xE9", Repeat('x', 74) + "=\r\n=E9"},
      {Repeat('x', 73) + "\xE9" + "yy", Repeat('x', 73) + "=\r\n=E9yy"},
      // A complete triplet that fits is a break point, like a space.
      {Repeat('x', 10) + "\xE9" + Repeat('x', 100),
       Repeat('x', 10) + "=E9=\r\n" + Repeat('x', 75) + "=\r\n" + Repeat('x', 25)},
      {std::string(30, '\xE9'), [] {
         std::string t;
         for (int i = 0; i < 25; ++i) t += "=E9";
         return t + "=\r\n=E9=E9=E9=E9=E9";
       }()},
      // 76 characters stay whole; 77 do not.
      {Repeat('x', 76), Repeat('x', 76)},
      {Repeat('x', 77), Repeat('x', 75) + "=\r\nxx"},
      {Repeat('x', 75) + " ", Repeat('x', 75) + "=\r\n=20"},
      // A 10,000-octet line goes out in lines of 76.
      {Repeat('x', 10000), [] {
         std::string t;
         for (int i = 0; i < 133; ++i) t += Repeat('x', 75) + "=\r\n";
         return t + Repeat('x', 25);
       }()},
      // Every line is folded on its own and the CR LF between them stays.
      {Repeat('a', 80) + "\r\n" + Repeat('b', 80) + "\r\n",
       Repeat('a', 75) + "=\r\naaaaa\r\n" + Repeat('b', 75) + "=\r\nbbbbb\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeQuotedPrintable(c.input), c.expected) << c.input;
}

TEST(QuotedPrintable, RandomTextsDecodeBackWithinTheLineLimit) {
  std::mt19937 rng(7);
  const std::string alphabet = std::string("ab =\t\xE9\x01") + "\r\n";
  for (int round = 0; round < 300; ++round) {
    std::string text(rng() % 400, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    const std::string encoded = EncodeQuotedPrintable(text);
    EXPECT_EQ(DecodeQuotedPrintable(encoded), text);
    std::string line;
    for (char c : encoded + "\n") {
      if (c == '\r' || c == '\n') {
        ASSERT_FALSE(line.ends_with(' ') || line.ends_with('\t')) << encoded;
        line.clear();
        continue;
      }
      line += c;
      ASSERT_LE(line.size(), 76u) << encoded;
    }
  }
}

TEST(QuotedPrintable, NeededForEightBitBytesNulAndLinesOver998Octets) {
  EXPECT_FALSE(NeedsQuotedPrintable(""));
  EXPECT_FALSE(NeedsQuotedPrintable("plain\r\ntext \x01\x7F\t"));
  EXPECT_FALSE(NeedsQuotedPrintable(Repeat('x', 998) + "\r\n" + Repeat('y', 998)));
  EXPECT_TRUE(NeedsQuotedPrintable("a\r\n" + Repeat('x', 999)));
  EXPECT_TRUE(NeedsQuotedPrintable(Repeat('x', 600) + Repeat('y', 600)));
  EXPECT_FALSE(NeedsQuotedPrintable(Repeat('x', 600) + "\n" + Repeat('y', 600)));  // bare LF ends a line too
  EXPECT_TRUE(NeedsQuotedPrintable("caf\xE9"));
  EXPECT_TRUE(NeedsQuotedPrintable("0123456789abcd\x80" "f0123"));  // inside the second eight
  EXPECT_TRUE(NeedsQuotedPrintable("01234567\xFF"));             // after the last eight
  EXPECT_FALSE(NeedsQuotedPrintable("0123456789abcdef\x7F"));
  EXPECT_TRUE(NeedsQuotedPrintable(std::string("a\0b", 3)));
}

TEST(HeaderEncoding, WordsWithoutEightBitOrControlBytesStayAsTheyAre) {
  const Case cases[] = {
      {"Hello, world <x@y> \"quoted\" a=b?c_d", "Hello, world <x@y> \"quoted\" a=b?c_d"},
      {"tab\tinside  two", "tab\tinside  two"},
      {"", ""},
      {Repeat('s', 997), Repeat('s', 997)},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeHeaderText(c.input, "iso-8859-1"), c.expected);
}

TEST(HeaderEncoding, EncodedWordsTakeInTheWordsTheyTouchAndEscapeWhatMustBe) {
  const Case cases[] = {
      {"Caf\xE9", "=?iso-8859-1?q?Caf=E9?="},
      {"a b\xE9", "a =?iso-8859-1?q?b=E9?="},
      // The ASCII run that touches 8-bit text goes into the word with it.
      {"95pct-\xFC" "ber", "=?iso-8859-1?q?95pct-=FCber?="},
      // Neighbouring words share one encoded word, so their space survives decoding.
      {"M\xFCller J\xF6rg und Sohn", "=?iso-8859-1?q?M=FCller_J=F6rg?= und Sohn"},
      {"\xE9\t\xE9", "=?iso-8859-1?q?=E9=09=E9?="},
      {"a?b_c=d\xE9", "=?iso-8859-1?q?a=3Fb=5Fc=3Dd=E9?="},
      // Control characters make an encoded word and are escaped in it, so no value
      // can start a header line of its own.
      {"Hello\r\nBcc: x", "=?iso-8859-1?q?Hello=0D=0ABcc:?= x"},
      {"line\nbreak", "=?iso-8859-1?q?line=0Abreak?="},
      {std::string("nul\0here", 8), "=?iso-8859-1?q?nul=00here?="},
      {"del\x7F", "=?iso-8859-1?q?del=7F?="},
      // What a reader would decode is encoded, so it reads back as written.
      {"see =?x?q?y?=", "see =?iso-8859-1?q?=3D=3Fx=3Fq=3Fy=3F=3D?="},
      // A run too long for a line of 998 becomes words; 51 characters fill one.
      {Repeat('a', 998), [] {
         std::string words;
         for (int i = 0; i < 19; ++i) words += "=?iso-8859-1?q?" + Repeat('a', 51) + "?=\r\n ";
         return words + "=?iso-8859-1?q?" + Repeat('a', 29) + "?=";
       }()},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeHeaderText(c.input, "iso-8859-1"), c.expected);
}

// Random texts of words, blanks, 8-bit and control bytes, in both charsets: decoded as
// a reader does (white space between adjacent encoded words dropped), each value gives
// its text back; every encoded word is at most 68 characters long, stands apart from
// other text and, with "UTF-8", holds whole characters.
TEST(HeaderEncoding, ValuesDecodeBackInShortWholeWordsThatTouchNothing) {
  test_locale::UseUtf8();
  std::mt19937 rng(3);
  const std::vector<std::string> pieces = {"a", "Zz", " ", "\t", "=", "?", "_", "\r\n", "\xC3\xA9",
                                           "\xE2\x82\xAC", "\xF0\x9F\x98\x80", Repeat('w', 80)};
  for (const char* charset : {"UTF-8", "iso-8859-1"}) {
    for (int round = 0; round < 300; ++round) {
      std::string text;
      for (auto n = rng() % 60; n > 0; --n) text += pieces[rng() % pieces.size()];
      const std::string value = EncodeHeaderText(text, charset);
      const std::string opener = "=?" + std::string(charset) + "?q?";
      std::string decoded;
      for (std::size_t pos = 0; pos < value.size();) {
        if (value.compare(pos, opener.size(), opener) != 0) {
          ASSERT_NE(value[pos], '\r') << value;  // line ends only between encoded words
          decoded += value[pos++];
          continue;
        }
        ASSERT_TRUE(pos == 0 || value[pos - 1] == ' ' || value[pos - 1] == '\t') << value;
        const std::size_t close = value.find("?=", pos + opener.size());
        ASSERT_NE(close, std::string::npos) << value;
        ASSERT_LE(close + 2 - pos, maxEncodedWordLength) << value;
        std::string word = value.substr(pos + opener.size(), close - pos - opener.size());
        std::replace(word.begin(), word.end(), '_', ' ');
        const std::string bytes = DecodeQuotedPrintable(word);
        if (IsUtf8Charset(charset)) {  // no lead byte left without its character
          EXPECT_NE(static_cast<unsigned char>(bytes.back()) & 0xC0, 0xC0u) << value;
        }
        decoded += bytes;
        pos = close + 2;
        ASSERT_TRUE(pos == value.size() || value[pos] == ' ' || value[pos] == '\t' ||
                    value.compare(pos, 3 + opener.size(), "\r\n " + opener) == 0) << value;
        if (value.compare(pos, 3, "\r\n ") == 0) pos += 3;  // dropped between encoded words
      }
      EXPECT_EQ(decoded, text) << value;
    }
  }
}

TEST(HeaderEncoding, Utf8WordsNeverCutACharacter) {
  test_locale::UseUtf8();
  const std::string e = "\xC3\xA9";  // U+00E9, two bytes
  const std::string a55 = Repeat('a', 55);
  const Case cases[] = {
      {"Caf" + e, "=?UTF-8?q?Caf=C3=A9?="},
      // 56 characters fill a word of "UTF-8"; a character that would pass it starts the
      // next word.
      {Repeat('a', 56) + e, "=?UTF-8?q?" + Repeat('a', 56) + "?=\r\n =?UTF-8?q?=C3=A9?="},
      {a55 + e, "=?UTF-8?q?" + a55 + "?=\r\n =?UTF-8?q?=C3=A9?="},
      {Repeat('a', 50) + e + "b", "=?UTF-8?q?" + Repeat('a', 50) + "=C3=A9?=\r\n =?UTF-8?q?b?="},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeHeaderText(c.input, "UTF-8"), c.expected);
  // Latin-1 has no multi-byte characters: there the word ends where it is full.
  EXPECT_EQ(EncodeHeaderText(Repeat('a', 48) + e, "iso-8859-1"),
            "=?iso-8859-1?q?" + Repeat('a', 48) + "=C3?=\r\n =?iso-8859-1?q?=A9?=");
}

// Every physical line of a folded field, without its CR LF.
std::vector<std::string> FoldedLines(const std::string& field) { return SplitCrLf(FoldHeaderField(field)); }

// Removing each CR LF unfolds a field: the text comes back.
std::string Unfolded(std::string folded) {
  for (std::size_t p = folded.find("\r\n"); p != folded.npos; p = folded.find("\r\n", p)) folded.erase(p, 2);
  return folded;
}

TEST(HeaderFolding, LinesFoldBeforeTheLastBlankThatKeepsThemWithin78) {
  const std::string x70 = Repeat('x', 70);
  const Case cases[] = {
      {"Subject: short", "Subject: short"},
      {"To: ", "To: "},
      {"Subject: " + Repeat('x', 100), "Subject: " + Repeat('x', 100)},  // nowhere to fold
      {"Subject: " + x70 + " " + x70, "Subject: " + x70 + "\r\n " + x70},
      // Of several blanks, the last starts the new line; the line before keeps text.
      {"Subject: " + x70 + "    " + x70, "Subject: " + x70 + "   \r\n " + x70},
      // Where no blank keeps a line short, the first after the limit ends it.
      {"Subject: " + Repeat('x', 90) + " tail", "Subject: " + Repeat('x', 90) + "\r\n tail"},
      // The field name keeps its first word, unless the line would pass 998 with it.
      {"Subject: " + Repeat('x', 997), "Subject:\r\n " + Repeat('x', 997)},
      {"Subject: " + Repeat('x', 989), "Subject: " + Repeat('x', 989)},
      // Continuation lines that are there already are folded each on its own.
      {"Subject: a\r\n " + x70 + " " + x70, "Subject: a\r\n " + x70 + "\r\n " + x70},
      {"Subject: " + x70 + " \t", "Subject: " + x70 + " \t"},  // no line of blanks alone
  };
  for (const auto& c : cases) EXPECT_EQ(FoldHeaderField(c.input), c.expected) << c.input;

  std::string words = "Subject:";
  for (int i = 0; i < 300; ++i) words += " w" + std::to_string(i);
  for (const std::string& line : FoldedLines(words)) EXPECT_LE(line.size(), foldedLineLength) << line;
  EXPECT_EQ(Unfolded(FoldHeaderField(words)), words);
}

// Each text with the length of its longest line: longer than one less, not than that.
TEST(LineEnds, LineLengthsCountBetweenAnyLineEnds) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0}, {"abc", 3}, {"ab\r\nabcd\nabc\rx", 4}, {"abcde\r\nab", 5}, {"\r\n\nab\r\nabcde", 5},
      // CRs before a distant LF, LFs before a distant CR; many short lines.
      {"a\rbb\rccc\rd\n\nee", 3}, {"a\nbbbb\nc\n\rdd\r", 4}, {"ab\r\nabc\r\na\r\nabc\r\nab", 3},
      {"abc\n\n\n\n\n\n\nabcd", 4}, {Repeat('x', 2000) + "\r\n", 2000}};
  for (const auto& [text, longest] : cases) {
    if (longest > 0) {
      EXPECT_TRUE(HasLineLongerThan(text, longest - 1)) << text;
    }
    EXPECT_FALSE(HasLineLongerThan(text, longest)) << text;
  }
  EXPECT_EQ(WithCrLfLineEnds("a\rb\nc\r\n\n.\r"), "a\r\nb\r\nc\r\n\r\n.\r\n");
  EXPECT_EQ(WithCrLfLineEnds("a\rbb\rccc\rd\n\nee"), "a\r\nbb\r\nccc\r\nd\r\n\r\nee");
  EXPECT_EQ(WithCrLfLineEnds("a\nbbbb\nc\n\rdd\r"), "a\r\nbbbb\r\nc\r\n\r\ndd\r\n");
}

TEST(HeaderEncoding, Utf8CharsetConvertsFromTheAnsiCodePage) {
  test_locale::UseLatin1();
  EXPECT_EQ(EncodeHeaderText("Caf\xE9", "UTF-8"), "=?UTF-8?q?Caf=C3=A9?=");
  EXPECT_EQ(EncodeHeaderText("Caf\xE9", "utf-8"), "=?utf-8?q?Caf=C3=A9?=");
  EXPECT_EQ(EncodeHeaderText("Caf\xE9", "iso-8859-1"), "=?iso-8859-1?q?Caf=E9?=");
}

TEST(Utf16ToUtf8, WritesAndMeasuresEveryForm) {
  struct Utf16Case {
    std::u16string units;
    std::string bytes;
  };
  const Utf16Case cases[] = {
      {u"A", "A"},
      {{0x7F}, "\x7F"},
      {{0x80}, "\xC2\x80"},
      {{0xE9}, "\xC3\xA9"},
      {{0x7FF}, "\xDF\xBF"},
      {{0x800}, "\xE0\xA0\x80"},
      {{0x20AC}, "\xE2\x82\xAC"},
      {{0xFFFF}, "\xEF\xBF\xBF"},
      {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
      {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
      // Surrogates without their partner are written as three bytes of their own.
      {{0xD800}, "\xED\xA0\x80"},
      {{0xDC00}, "\xED\xB0\x80"},
      {{0xD800, 0x41}, "\xED\xA0\x80" "A"},
      {{0xDE00, 0xD83D}, "\xED\xB8\x80\xED\xA0\xBD"},
      // The second of two high surrogates still pairs with the low one after it.
      {{0xD800, 0xD83D, 0xDE00}, "\xED\xA0\x80\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    const int count = static_cast<int>(c.units.size());
    const int length = Utf16ToUtf8(c.units.data(), count, nullptr, 0);
    EXPECT_EQ(length, static_cast<int>(c.bytes.size())) << c.bytes;
    std::string out(c.bytes.size() + 4, '#');
    ASSERT_EQ(Utf16ToUtf8(c.units.data(), count, out.data(), length), length);
    EXPECT_EQ(out, c.bytes + "####");  // nothing written past the bytes, no NUL
    // One byte short of the measured length: nothing counts.
    std::string shortBuffer(c.bytes.size() + 4, '#');
    EXPECT_EQ(Utf16ToUtf8(c.units.data(), count, shortBuffer.data(), length - 1), length == 1 ? 1 : 0);
  }
}

TEST(Utf16ToUtf8, CapacityOneShortOfALongTextGivesZero) {
  const std::u16string text = u"Gr\u00FC\u00DFe \u20AC \U0001F600!";
  const int count = static_cast<int>(text.size());
  const int length = Utf16ToUtf8(text.data(), count, nullptr, 0);
  std::string out(static_cast<std::size_t>(length), '\0');
  EXPECT_EQ(Utf16ToUtf8(text.data(), count, out.data(), length - 1), 0);
  EXPECT_EQ(Utf16ToUtf8(text.data(), count, out.data(), length), length);
  EXPECT_EQ(out, "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80!");
}

TEST(AnsiToUtf8, Utf8AndPlainCLocalesConvertAsIdentity) {
  for (const char* locale : {"C.UTF-8", "C", "POSIX"}) {
    ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr);
    EXPECT_TRUE(AnsiCodePageIsUtf8()) << locale;
    // Identity keeps even bytes that are not UTF-8.
    EXPECT_EQ(AnsiToUtf8("Caf\xC3\xA9 \xE9"), "Caf\xC3\xA9 \xE9") << locale;
  }
}

TEST(AnsiToUtf8, Latin1LocaleConvertsEveryByte) {
  test_locale::UseLatin1();
  EXPECT_EQ(AnsiCodePage(), "ISO-8859-1");
  EXPECT_FALSE(AnsiCodePageIsUtf8());
  EXPECT_EQ(AnsiToUtf8("Caf\xE9"), "Caf\xC3\xA9");
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::string utf8 = AnsiToUtf8(all);
  std::u16string units;
  for (int b = 1; b < 256; ++b) units += static_cast<char16_t>(b);
  std::string expected(static_cast<std::size_t>(Utf16ToUtf8(units.data(), 255, nullptr, 0)), '\0');
  Utf16ToUtf8(units.data(), 255, expected.data(), static_cast<int>(expected.size()));
  EXPECT_EQ(utf8, expected);
  EXPECT_EQ(AnsiToUtf8(""), "");
}

TEST(DotStuff, DoublesEveryLineLeadingDotOnce) {
  const Case cases[] = {
      {".", ".."},
      {".\r\n", "..\r\n"},
      {"a\r\n.b", "a\r\n..b"},
      {"a\r\n..b", "a\r\n...b"},
      {".abc", "..abc"},
      {"\r\n.\r\n", "\r\n..\r\n"},
      {".\r\n.\r\n.", "..\r\n..\r\n.."},
      {"a.b\r\nc.", "a.b\r\nc."},
      {"a\n.b\r.c", "a\n.b\r.c"},  // only CR LF starts a line
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string text = c.input;
    DotStuff(text);
    EXPECT_EQ(text, c.expected) << c.input;
  }
}

TEST(DotStuff, NoLineOfTheResultIsALoneDot) {
  std::mt19937 rng(11);
  const std::string alphabet = ".\r\na";
  for (int round = 0; round < 300; ++round) {
    std::string text(rng() % 60, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    std::string stuffed = text;
    DotStuff(stuffed);
    const std::vector<std::string> lines = SplitCrLf(stuffed);
    std::string restored;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_NE(lines[i], ".") << text;
      if (i > 0) restored += "\r\n";
      restored += lines[i].starts_with('.') ? lines[i].substr(1) : lines[i];
    }
    EXPECT_EQ(restored, text);
  }
}

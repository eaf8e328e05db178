// Line ends of the text that goes out after DATA: CR LF only (RFC 5321 2.3.8), so no
// bare CR or LF can make a line that a lenient server reads as the end of the data;
// and the length of the longest line, which must stay within 998 octets (RFC 5322 2.1.1).
#pragma once

#include <string>
#include <string_view>

// The longest line a text may hold on the wire, without its CR LF.
inline constexpr std::size_t maxLineLength = 998;

// The text with every line end, CR LF, CR or LF, made CR LF.
std::string WithCrLfLineEnds(std::string_view text);

// The length of the longest line of text, lines ending at each CR and each LF.
std::size_t LongestLine(std::string_view text);

// Finds the line ends of a text, CR or LF, in order from its start, looking at each byte
// about once however its lines end: a search for a set of two bytes would make a call
// for every byte, where this makes a few for every line.
class CLineEndFinder {
 public:
  explicit CLineEndFinder(std::string_view text) : m_text(text) {}

  // The position of the first CR or LF at or after from, the text's size when there is
  // none. from must not be smaller than in the call before.
  std::size_t Next(std::size_t from);

 private:
  std::string_view m_text;
  // The first LF at or after the from of an earlier call, the size when there is none.
  std::size_t m_nextLf = std::string_view::npos;
};

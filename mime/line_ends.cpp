#include "mime/line_ends.h"

#include <cstring>

namespace {

// The first c in text from from up to to, or to.
std::size_t Find(std::string_view text, char c, std::size_t from, std::size_t to) {
  const void* found = std::memchr(text.data() + from, c, to - from);
  return found == nullptr ? to : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

// Finds the line ends of a text, CR or LF, in order from its start, looking at each byte
// about once however its lines end: a search for a set of two bytes would make a call
// for every byte, where this makes two for every line.
class CLineEndFinder {
 public:
  explicit CLineEndFinder(std::string_view text) : m_text(text) {}

  // The position of the first CR or LF at or after from, the text's size when there is
  // none. from must not be smaller than in the call before.
  std::size_t Next(std::size_t from) {
    if (m_nextLf == std::string_view::npos || m_nextLf < from) {
      m_nextLf = Find(m_text, '\n', from, m_text.size());
    }
    return Find(m_text, '\r', from, m_nextLf);
  }

 private:
  std::string_view m_text;
  // The first LF at or after the from of an earlier call, the size when there is none.
  std::size_t m_nextLf = std::string_view::npos;
};

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

}  // namespace

// In one pass, so a long text is copied once; a run of lines that end in CR LF already
// is copied in one piece.
std::string WithCrLfLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  CLineEndFinder ends(text);
  std::size_t copied = 0;  // the text before this is in out
  for (std::size_t from = 0, end; (end = ends.Next(from)) != text.size();) {
    if (text.substr(end, 2) == "\r\n") {
      from = end + 2;
      continue;
    }
    out.append(text.substr(copied, end - copied)).append("\r\n");
    copied = from = end + 1;
  }
  out.append(text.substr(copied));
  return out;
}

// Each stretch of limit + 1 bytes from a line's start must hold a line end; the search
// goes on after the last one. A text of short lines is looked at backwards from the
// end of each stretch to its last line end only, a few bytes for each stretch.
bool HasLineLongerThan(std::string_view text, std::size_t limit) {
  for (std::size_t from = 0; text.size() - from > limit;) {
    std::size_t end = from + limit + 1;
    while (end > from && !IsLineEnd(text[end - 1])) --end;
    if (end == from) return true;
    from = end;
  }
  return false;
}

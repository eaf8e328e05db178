#include "mime/line_ends.h"

#include <algorithm>
#include <cstring>

namespace {

// The first c in text from from up to to, or to.
std::size_t Find(std::string_view text, char c, std::size_t from, std::size_t to) {
  const void* found = std::memchr(text.data() + from, c, to - from);
  return found == nullptr ? to : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

// The start of the line after the line end at end: a CR LF pair is one line end.
std::size_t AfterLineEnd(std::string_view text, std::size_t end) {
  return end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
}

}  // namespace

std::size_t CLineEndFinder::Next(std::size_t from) {
  if (m_nextLf == std::string_view::npos || m_nextLf < from) {
    m_nextLf = Find(m_text, '\n', from, m_text.size());
  }
  return Find(m_text, '\r', from, m_nextLf);
}

// In one pass, so a long text is copied once.
std::string WithCrLfLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  CLineEndFinder ends(text);
  for (std::size_t from = 0;;) {
    const std::size_t end = ends.Next(from);
    out.append(text.substr(from, end - from));
    if (end == text.size()) return out;
    out.append("\r\n");
    from = AfterLineEnd(text, end);
  }
}

// The empty line between the CR and the LF of a pair can't be the longest.
std::size_t LongestLine(std::string_view text) {
  CLineEndFinder ends(text);
  std::size_t longest = 0;
  for (std::size_t from = 0;;) {
    const std::size_t end = ends.Next(from);
    longest = std::max(longest, end - from);
    if (end == text.size()) return longest;
    from = AfterLineEnd(text, end);
  }
}

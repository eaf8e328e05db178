#include "mime/line_ends.h"

#include <algorithm>

// In one pass, so a long text is copied once.
std::string WithCrLfLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  std::size_t from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    out.append(text.substr(from, i - from)).append("\r\n");
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    from = i + 1;
  }
  out.append(text.substr(from));
  return out;
}

std::size_t LongestLine(std::string_view text) {
  std::size_t longest = 0;
  std::size_t from = 0;
  while (true) {
    const std::size_t end = std::min(text.find_first_of("\r\n", from), text.size());
    longest = std::max(longest, end - from);
    if (end == text.size()) return longest;
    from = end + 1;
  }
}

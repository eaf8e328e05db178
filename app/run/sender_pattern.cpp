#include "app/run/sender_pattern.h"

#include <cstddef>

#include "smtp/auth_text.h"

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// One pattern against the whole text. After a "*", a mismatch goes back to it and lets
// it take one character more, so the work stays in the product of the two lengths.
bool PatternMatches(std::string_view pattern, std::string_view text) {
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t starAt = std::string_view::npos;
  std::size_t starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starAt = p++;
      starText = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || AsciiUpper(pattern[p]) == AsciiUpper(text[t]))) {
      ++p;
      ++t;
    } else if (starAt != std::string_view::npos) {
      p = starAt + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool SenderMatches(std::string_view patterns, std::string_view sender) {
  if (sender.empty()) return false;
  while (true) {
    const std::size_t comma = patterns.find(',');
    const std::string_view pattern = Trimmed(patterns.substr(0, comma));
    if (!pattern.empty() && PatternMatches(pattern, sender)) return true;
    if (comma == std::string_view::npos) return false;
    patterns.remove_prefix(comma + 1);
  }
}

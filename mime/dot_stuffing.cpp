#include "mime/dot_stuffing.h"

#include <string_view>

namespace {

constexpr std::string_view lineStartDot = "\r\n.";

std::size_t CountLineStartDots(std::string_view text) {
  std::size_t count = text.starts_with('.') ? 1 : 0;
  for (std::size_t p = text.find(lineStartDot); p != text.npos; p = text.find(lineStartDot, p + 3)) {
    ++count;
  }
  return count;
}

}  // namespace

void AppendDotStuffed(std::string_view text, std::string& out) {
  out.reserve(out.size() + text.size() + CountLineStartDots(text));
  if (text.starts_with('.')) out.push_back('.');
  std::size_t from = 0;
  for (std::size_t p = text.find(lineStartDot); p != text.npos; p = text.find(lineStartDot, p + 3)) {
    out.append(text.substr(from, p + 3 - from));
    out.push_back('.');
    from = p + 3;
  }
  out.append(text.substr(from));
}

void DotStuff(std::string& text) {
  if (CountLineStartDots(text) == 0) return;
  // Built once into a string of the final size: inserting into the text itself would
  // move its tail once per dot.
  std::string out;
  AppendDotStuffed(text, out);
  text.swap(out);
}

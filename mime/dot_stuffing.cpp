#include "mime/dot_stuffing.h"

#include <string_view>

#include "mime/line_ends.h"

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

void DotStuff(std::string& text) {
  const std::size_t extra = CountLineStartDots(text);
  if (extra == 0) return;
  // Built once into a string of the final size: inserting into the text itself would
  // move its tail once per dot.
  std::string_view in = text;
  std::string out;
  out.reserve(text.size() + extra);
  if (in.starts_with('.')) out.push_back('.');
  std::size_t from = 0;
  for (std::size_t p = in.find(lineStartDot); p != in.npos; p = in.find(lineStartDot, p + 3)) {
    out.append(in.substr(from, p + 3 - from));
    out.push_back('.');
    from = p + 3;
  }
  out.append(in.substr(from));
  text.swap(out);
}

std::string DataText(std::string_view text) {
  std::string data = WithCrLfLineEnds(text);
  DotStuff(data);
  return data;
}

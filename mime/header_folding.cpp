#include "mime/header_folding.h"

#include "mime/line_ends.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Whether a continuation line of the line that starts at start may start at p: with
// the last blank before a word (readers that unfold by turning CR LF and the white
// space after it into one space then lose nothing), leaving text on the line before.
bool IsFoldPoint(std::string_view line, std::size_t start, std::size_t p) {
  return IsBlank(line[p]) && p + 1 < line.size() && !IsBlank(line[p + 1]) &&
         line.find_first_not_of(" \t", start) < p;
}

// Where the line that starts at start is cut, at first at or after first: the last
// fold point that keeps it within the limit, else the first one after; npos when it
// has none.
std::size_t FoldPoint(std::string_view line, std::size_t start, std::size_t first) {
  const std::size_t limit = start + foldedLineLength;
  for (std::size_t p = limit; p >= first && p > start; --p) {
    if (IsFoldPoint(line, start, p)) return p;
  }
  for (std::size_t p = std::max(limit + 1, first); p < line.size(); ++p) {
    if (IsFoldPoint(line, start, p)) return p;
  }
  return std::string_view::npos;
}

// A line that starts a field is folded after its first word ("Name:" and the value's
// first word stay together, as folding between them shortens nothing), unless only
// that keeps it within the line limit.
void AppendFolded(std::string& out, std::string_view line, bool startsField) {
  std::size_t start = 0;
  while (line.size() - start > foldedLineLength) {
    std::size_t first = start + 1;
    if (startsField && start == 0) {
      const std::size_t value = line.find_first_not_of(" \t", line.find_first_of(" \t"));
      first = value == std::string_view::npos ? line.size() : value;
    }
    std::size_t p = FoldPoint(line, start, first);
    if (p == std::string_view::npos && line.size() - start > maxLineLength) {
      p = FoldPoint(line, start, start + 1);
    }
    if (p == std::string_view::npos) break;
    out.append(line.substr(start, p - start)).append("\r\n");
    start = p;
  }
  out.append(line.substr(start));
}

}  // namespace

std::string FoldHeaderField(std::string_view field) {
  std::string out;
  out.reserve(field.size() + field.size() / 32);
  std::size_t from = 0;
  for (std::size_t p = field.find("\r\n"); p != field.npos; p = field.find("\r\n", from)) {
    AppendFolded(out, field.substr(from, p - from), from == 0);
    out.append("\r\n");
    from = p + 2;
  }
  AppendFolded(out, field.substr(from), from == 0);
  return out;
}

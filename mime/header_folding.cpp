#include "mime/header_folding.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Whether a continuation line of the line that starts at start may start at p: with
// the last blank before a word (readers that unfold by turning CR LF and the white
// space after it into one space then lose nothing), leaving text on the line before.
bool IsFoldPoint(std::string_view line, std::size_t start, std::size_t p) {
  return IsBlank(line[p]) && p + 1 < line.size() && !IsBlank(line[p + 1]) &&
         line.find_first_not_of(" \t", start) < p;
}

// Where the line that starts at start is cut: the last fold point that keeps it within
// the limit, else the first one after; npos when it has none.
std::size_t FoldPoint(std::string_view line, std::size_t start) {
  const std::size_t limit = start + foldedLineLength;
  for (std::size_t p = limit; p > start; --p) {
    if (IsFoldPoint(line, start, p)) return p;
  }
  for (std::size_t p = limit + 1; p < line.size(); ++p) {
    if (IsFoldPoint(line, start, p)) return p;
  }
  return std::string_view::npos;
}

void AppendFolded(std::string& out, std::string_view line) {
  std::size_t start = 0;
  while (line.size() - start > foldedLineLength) {
    const std::size_t p = FoldPoint(line, start);
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
    AppendFolded(out, field.substr(from, p - from));
    out.append("\r\n");
    from = p + 2;
  }
  AppendFolded(out, field.substr(from));
  return out;
}

#include "app/mailer/media_types.h"

#include <strings.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

struct BuiltInType {
  const char* extension;
  const char* type;
};

// The types scripts attach most: reports, logs, archives, pictures.
constexpr BuiltInType builtInTypes[] = {
    {"txt", "text/plain"},        {"log", "text/plain"},
    {"csv", "text/csv"},          {"htm", "text/html"},
    {"html", "text/html"},        {"xml", "application/xml"},
    {"json", "application/json"}, {"pdf", "application/pdf"},
    {"zip", "application/zip"},   {"gz", "application/gzip"},
    {"tar", "application/x-tar"}, {"7z", "application/x-7z-compressed"},
    {"png", "image/png"},         {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},       {"gif", "image/gif"},
    {"svg", "image/svg+xml"},     {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
};

constexpr const char* defaultType = "application/octet-stream";

// The type that a mime.types table gives extension; empty when it names none. Lines
// are "type ext ext ...", "#" begins a comment.
std::string TypeFromTable(std::istream& table, const std::string& extension) {
  for (std::string line; std::getline(table, line);) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string type;
    words >> type;
    for (std::string word; words >> word;) {
      if (strcasecmp(word.c_str(), extension.c_str()) == 0) return type;
    }
  }
  return {};
}

}  // namespace

std::string MediaTypeOf(std::string_view name, const std::string& table) {
  const auto dot = name.rfind('.');
  if (dot == name.npos || dot + 1 == name.size()) return defaultType;
  const std::string extension(name.substr(dot + 1));
  if (std::ifstream file(table); file) {
    if (std::string type = TypeFromTable(file, extension); !type.empty()) return type;
  }
  const auto* found = std::find_if(std::begin(builtInTypes), std::end(builtInTypes), [&](const BuiltInType& t) {
    return strcasecmp(t.extension, extension.c_str()) == 0;
  });
  return found == std::end(builtInTypes) ? defaultType : found->type;
}

#include "mime/charset_name.h"

#include <algorithm>

namespace {

bool IsCharsetCharacter(char c) {
  const bool letterOrDigit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  return letterOrDigit || std::string_view("!#$%&'+-^_`{}~").find(c) != std::string_view::npos;
}

}  // namespace

bool IsMimeCharsetName(std::string_view name) {
  return !name.empty() && name.size() <= maxCharsetNameLength && std::all_of(name.begin(), name.end(), IsCharsetCharacter);
}

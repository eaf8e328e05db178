#include "mime/fill_template.h"

std::string FillTemplate(std::string_view pattern, std::span<const std::string_view> values) {
  std::string out;
  auto value = values.begin();
  std::size_t from = 0;
  for (std::size_t p = pattern.find("%s"); p != pattern.npos; p = pattern.find("%s", from)) {
    out.append(pattern.substr(from, p - from));
    if (value != values.end()) out.append(*value++);
    from = p + 2;
  }
  out.append(pattern.substr(from));
  return out;
}

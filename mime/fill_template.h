// Filling the "%s" templates of header lines. Only "%s" is a conversion, so values are
// copied as they are, whatever "%" they hold.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

// Each "%s" of the pattern takes the next value in turn.
std::string FillTemplate(std::string_view pattern, std::span<const std::string_view> values);

inline std::string FillTemplate(std::string_view pattern,
                                std::initializer_list<std::string_view> values) {
  return FillTemplate(pattern, std::span<const std::string_view>(values.begin(), values.size()));
}

#include "app/mailer/address_list.h"

#include <algorithm>
#include <cstring>

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == text.npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// local@domain, with nothing in it that would end a command, a header field or the
// address itself.
bool IsMailbox(std::string_view address) {
  const auto at = address.rfind('@');
  if (at == address.npos || at == 0 || at + 1 == address.size()) return false;
  return std::none_of(address.begin(), address.end(), [](char c) {
    return IsControl(c) || std::strchr(" \"<>()[],;\\", c) != nullptr;
  }) && address.find('@') == at;
}

// Splits text at the commas outside quotes and angle brackets; false for an unclosed
// quote or bracket.
bool SplitItems(std::string_view text, std::vector<std::string_view>& items) {
  bool quoted = false;
  bool bracketed = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<') {
      bracketed = true;
    } else if (c == '>') {
      bracketed = false;
    } else if (c == ',' && !bracketed) {
      items.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  items.push_back(text.substr(start));
  return !quoted && !bracketed;
}

// The display name before "<": a quoted string with its escapes undone, or the words as
// they are.
std::string DisplayName(std::string_view phrase) {
  phrase = Trimmed(phrase);
  if (phrase.size() < 2 || phrase.front() != '"' || phrase.back() != '"') return std::string(phrase);
  std::string name;
  for (std::size_t i = 1; i + 1 < phrase.size(); ++i) {
    if (phrase[i] == '\\' && i + 2 < phrase.size()) ++i;
    name += phrase[i];
  }
  return name;
}

std::optional<CTAVSMTPAddress> ParseItem(std::string_view item) {
  item = Trimmed(item);
  const auto open = item.rfind('<');
  if (open == item.npos) {
    if (!IsMailbox(item)) return std::nullopt;
    return CTAVSMTPAddress("", std::string(item));
  }
  if (item.back() != '>') return std::nullopt;
  const std::string_view address = item.substr(open + 1, item.size() - open - 2);
  const std::string name = DisplayName(item.substr(0, open));
  if (!IsMailbox(address) || std::any_of(name.begin(), name.end(), IsControl)) return std::nullopt;
  return CTAVSMTPAddress(name, std::string(address));
}

}  // namespace

std::optional<std::vector<CTAVSMTPAddress>> ParseAddressList(std::string_view text, std::string& refused) {
  std::vector<std::string_view> items;
  if (!SplitItems(text, items)) {
    refused = std::string(text);
    return std::nullopt;
  }
  std::vector<CTAVSMTPAddress> addresses;
  for (std::string_view item : items) {
    std::optional<CTAVSMTPAddress> address = ParseItem(item);
    if (!address) {
      refused = std::string(Trimmed(item));
      return std::nullopt;
    }
    addresses.push_back(std::move(*address));
  }
  return addresses;
}

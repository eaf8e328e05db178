#include "app/sendmail/aliases.h"

#include <algorithm>
#include <cctype>

#include "app/sendmail/message_reader.h"

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// The logical lines of the file: comments dropped, continuation lines joined.
std::vector<std::string> LogicalLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (Trimmed(line).empty() || line.front() == '#') continue;
    const bool continues = line.front() == ' ' || line.front() == '\t';
    if (continues && !lines.empty()) lines.back() += " " + std::string(Trimmed(line));
    else lines.emplace_back(line);
  }
  return lines;
}

bool IsDeliverableTarget(std::string_view target) {
  return !target.empty() && target.front() != '|' && target.front() != '/' &&
         !target.starts_with(":include:");
}

}  // namespace

bool IsLocalName(std::string_view address) { return address.find('@') == std::string_view::npos; }

CAliases CAliases::Parse(std::string_view text) {
  CAliases aliases;
  for (const std::string& line : LogicalLines(text)) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::vector<std::string> targets;
    for (std::string& target : AddressesOf(std::string_view(line).substr(colon + 1))) {
      if (IsDeliverableTarget(target)) targets.push_back(std::move(target));
    }
    aliases.entries[Lower(Trimmed(std::string_view(line).substr(0, colon)))] = std::move(targets);
  }
  return aliases;
}

std::vector<std::string> CAliases::Resolve(const std::string& name) const {
  std::vector<std::string> seen;
  std::vector<std::string> addresses;
  ResolveInto(name, 0, seen, addresses);
  return addresses;
}

void CAliases::ResolveInto(const std::string& name, int depth, std::vector<std::string>& seen,
                           std::vector<std::string>& addresses) const {
  const std::string key = Lower(name);
  auto entry = entries.find(key);
  // A name seen before on this chain ("root: root, admin@x"), past the depth bound or
  // whose targets are all files, programs or includes ("root: /var/mail/root") stops
  // there, as itself: it has no address, and the caller decides where it goes.
  const bool stop = entry == entries.end() || entry->second.empty() || depth >= maxAliasDepth ||
                    std::ranges::find(seen, key) != seen.end();
  if (stop) {
    if (std::ranges::find(addresses, name) == addresses.end()) addresses.push_back(name);
    return;
  }
  seen.push_back(key);
  for (const std::string& target : entry->second) {
    if (IsLocalName(target)) {
      ResolveInto(target, depth + 1, seen, addresses);
    } else if (std::ranges::find(addresses, target) == addresses.end()) {
      addresses.push_back(target);
    }
  }
}

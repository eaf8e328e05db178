// Entries' envelopes and state files as text: one "Name: value" line per field, values
// percent-encoded so that no value can start a line of its own.
#include "queue/entry_text.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>

namespace {

std::string Encoded(std::string_view value) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f || c == '%') {
      text += '%';
      text += hex[c >> 4];
      text += hex[c & 15];
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

std::optional<std::string> Decoded(std::string_view text) {
  std::string value;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      value += text[i];
      continue;
    }
    unsigned byte = 0;
    if (i + 2 >= text.size()) return std::nullopt;
    auto [end, error] = std::from_chars(text.data() + i + 1, text.data() + i + 3, byte, 16);
    if (error != std::errc() || end != text.data() + i + 3) return std::nullopt;
    value += static_cast<char>(byte);
    i += 2;
  }
  return value;
}

template <typename Number>
std::optional<Number> NumberOf(const std::string& text) {
  Number number{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

std::optional<bool> FlagOf(const std::string& text) {
  if (text == "0" || text == "1") return text == "1";
  return std::nullopt;
}

void AddLine(std::string& text, std::string_view name, std::string_view value) {
  text.append(name).append(": ").append(Encoded(value)).append("\n");
}

// The fields of a block of lines; false when a line is not "Name: value" or a value
// does not decode. Recipient may repeat; any other name once.
bool ReadFields(std::string_view text, std::multimap<std::string, std::string>& fields) {
  while (!text.empty()) {
    std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string name(line.substr(0, colon));
    std::string_view rest = line.substr(colon + 1);
    if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    std::optional<std::string> value = Decoded(rest);
    if (!value || (name != "Recipient" && fields.count(name) != 0)) return false;
    fields.emplace(std::move(name), std::move(*value));
  }
  return true;
}

}  // namespace

std::string EnvelopeText(const CQueueEnvelope& envelope, std::time_t queued, std::uint64_t size) {
  std::string text = std::string(entryFirstLine) + "\n";
  AddLine(text, "Queued", std::to_string(queued));
  AddLine(text, "Sender", envelope.sender);
  for (const std::string& recipient : envelope.recipients) AddLine(text, "Recipient", recipient);
  AddLine(text, "Notify", std::to_string(envelope.dsnNotify));
  AddLine(text, "ReturnFull", envelope.dsnReturnFull ? "1" : "0");
  AddLine(text, "EnvelopeID", envelope.dsnEnvelopeId);
  AddLine(text, "FullName", envelope.fullName);
  AddLine(text, "DotEndsInput", envelope.dotEndsInput ? "1" : "0");
  AddLine(text, "Report", envelope.report ? "1" : "0");
  AddLine(text, "Size", std::to_string(size));
  if (!envelope.account.empty()) AddLine(text, "Account", envelope.account);
  return text + "\n";
}

bool ParseEnvelopeText(std::string_view text, CQueueEntry& entry) {
  if (!text.starts_with(entryFirstLine) || text.substr(entryFirstLine.size(), 1) != "\n") return false;
  std::multimap<std::string, std::string> fields;
  if (!ReadFields(text.substr(entryFirstLine.size() + 1), fields)) return false;
  auto one = [&](const char* name) -> const std::string* {
    auto found = fields.find(name);
    return found == fields.end() ? nullptr : &found->second;
  };
  static constexpr const char* names[] = {"Queued", "Sender", "Notify", "ReturnFull", "EnvelopeID",
                                          "FullName", "DotEndsInput", "Report", "Size"};
  const std::string* account = one("Account");
  if (fields.size() != std::size(names) + fields.count("Recipient") + (account != nullptr ? 1 : 0) ||
      !std::all_of(std::begin(names), std::end(names), [&](const char* name) { return one(name) != nullptr; })) {
    return false;
  }
  std::optional<long long> queued = NumberOf<long long>(*one("Queued"));
  std::optional<std::int32_t> notify = NumberOf<std::int32_t>(*one("Notify"));
  std::optional<std::uint64_t> size = NumberOf<std::uint64_t>(*one("Size"));
  std::optional<bool> returnFull = FlagOf(*one("ReturnFull"));
  std::optional<bool> dotEnds = FlagOf(*one("DotEndsInput"));
  std::optional<bool> report = FlagOf(*one("Report"));
  if (!queued || !notify || !size || !returnFull || !dotEnds || !report) return false;
  CQueueEnvelope& envelope = entry.envelope;
  envelope.sender = *one("Sender");
  envelope.recipients.clear();
  auto [first, last] = fields.equal_range("Recipient");
  for (auto it = first; it != last; ++it) envelope.recipients.push_back(it->second);
  envelope.dsnNotify = *notify;
  envelope.dsnReturnFull = *returnFull;
  envelope.dsnEnvelopeId = *one("EnvelopeID");
  envelope.fullName = *one("FullName");
  envelope.dotEndsInput = *dotEnds;
  envelope.report = *report;
  envelope.account = account != nullptr ? *account : std::string();
  entry.queued = static_cast<std::time_t>(*queued);
  entry.size = *size;
  return !envelope.recipients.empty();
}

std::string StateText(const CQueueState& state) {
  std::string text;
  AddLine(text, "Tries", std::to_string(state.tries));
  AddLine(text, "NextTry", std::to_string(state.nextTry));
  AddLine(text, "Reason", state.reason);
  return text;
}

CQueueState ParseStateText(std::string_view text) {
  std::multimap<std::string, std::string> fields;
  CQueueState state;
  if (!ReadFields(text, fields)) return state;
  auto value = [&](const char* name) {
    auto found = fields.find(name);
    return found == fields.end() ? std::string() : found->second;
  };
  state.tries = NumberOf<int>(value("Tries")).value_or(0);
  state.nextTry = static_cast<std::time_t>(NumberOf<long long>(value("NextTry")).value_or(0));
  state.reason = value("Reason");
  return state;
}

CQueueState PutOffState(const CQueueState& previous, std::time_t now, const std::string& reason) {
  CQueueState state;
  state.tries = previous.tries + 1;
  constexpr int minute = 60;
  constexpr int hour = 3600;
  const int doublings = std::min(state.tries - 1, 6);  // 64 minutes is past the hour
  state.nextTry = now + std::min(minute << doublings, hour);
  state.reason = reason;
  return state;
}

std::string PrintableLine(std::string_view text) {
  std::string line;
  for (unsigned char c : text) line += c < 0x20 || c == 0x7f ? ' ' : static_cast<char>(c);
  return line;
}

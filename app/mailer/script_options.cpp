#include "app/mailer/script_options.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "app/mailer/address_list.h"
#include "mime/message.h"

namespace {

// What --type and --name say for the --attach or --inline that follows them.
struct PendingFile {
  std::optional<std::string> type;
  std::optional<std::string> name;
};

using Refusal = std::optional<std::string>;
using Handler = Refusal (*)(ScriptOptions& options, PendingFile& pending, const std::string& value);

struct ScriptOption {
  const char* word;  // as written, with its two dashes
  Handler take;      // null for the options without a value
};

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool HoldsControl(std::string_view value) { return std::any_of(value.begin(), value.end(), IsControl); }

// RFC 2045 token: printable ASCII but the space and the tspecials.
bool IsToken(std::string_view text) {
  return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
    return IsControl(c) || static_cast<unsigned char>(c) > 0x7E || std::strchr(" ()<>@,;:\\\"/[]?=", c) != nullptr;
  });
}

bool IsMediaType(std::string_view type) {
  const auto slash = type.find('/');
  return slash != type.npos && IsToken(type.substr(0, slash)) && IsToken(type.substr(slash + 1));
}

Refusal AppendAddresses(std::vector<CTAVSMTPAddress>& list, const char* option, const std::string& value) {
  std::string refused;
  std::optional<std::vector<CTAVSMTPAddress>> addresses = ParseAddressList(value, refused);
  if (!addresses) return std::string(option) + ": not an address: \"" + refused + "\"";
  list.insert(list.end(), addresses->begin(), addresses->end());
  return std::nullopt;
}

Refusal OneAddress(std::optional<CTAVSMTPAddress>& field, const char* option, const std::string& value) {
  std::vector<CTAVSMTPAddress> list;
  if (Refusal refused = AppendAddresses(list, option, value)) return refused;
  if (list.size() != 1) return std::string(option) + " takes one address";
  field = list.front();
  return std::nullopt;
}

Refusal SetOnce(std::optional<std::string>& field, const char* option, const std::string& value) {
  if (field) return std::string(option) + " is given twice";
  field = value;
  return std::nullopt;
}

// The fields that the program makes itself; an extra line may not name them.
bool IsOwnField(std::string_view name) {
  constexpr const char* own[] = {"From", "To", "Cc", "Bcc", "Subject", "Date", "Message-ID", "MIME-Version"};
  const std::string field(name);
  return strncasecmp(field.c_str(), "Content-", 8) == 0 ||
         std::any_of(std::begin(own), std::end(own), [&](const char* o) { return strcasecmp(o, field.c_str()) == 0; });
}

Refusal TakeHeader(ScriptOptions& options, PendingFile&, const std::string& value) {
  if (value.find_first_of("\r\n") != value.npos) return "--header: the line holds a line end";
  const auto colon = value.find(':');
  const std::string_view name = std::string_view(value).substr(0, colon == value.npos ? 0 : colon);
  // RFC 5322 field names: printable ASCII but the space and the colon.
  if (name.empty() || std::any_of(name.begin(), name.end(), [](char c) { return c <= ' ' || c > '~'; }) ||
      HoldsControl(value)) {
    return "--header: not a line \"Name: value\": \"" + value + "\"";
  }
  if (IsOwnField(name)) return "--header: the program makes the field " + std::string(name) + " itself";
  options.headers.push_back(value);
  return std::nullopt;
}

Refusal TakeFile(ScriptOptions& options, PendingFile& pending, const std::string& path, bool inlinePart) {
  if (path.empty()) return std::string(inlinePart ? "--inline" : "--attach") + " needs a file";
  options.files.push_back({path, pending.type.value_or(""), pending.name.value_or(""), inlinePart});
  pending = {};
  return std::nullopt;
}

Refusal TakePriority(ScriptOptions& options, PendingFile&, const std::string& value) {
  struct Word {
    const char* word;
    int priority;
  };
  constexpr Word words[] = {{"high", CTAVSMTPMessage::PriorityHigh},
                            {"normal", CTAVSMTPMessage::PriorityNormal},
                            {"low", CTAVSMTPMessage::PriorityLow}};
  for (const Word& w : words) {
    if (value == w.word) {
      options.priority = w.priority;
      return std::nullopt;
    }
  }
  return "--priority: \"" + value + "\" is not high, normal or low";
}

// "never", or a comma-separated list of success, failure and delay (RFC 3461 NOTIFY).
Refusal TakeNotify(ScriptOptions& options, PendingFile&, const std::string& value) {
  const Refusal refused = "--notify: \"" + value + "\" is not never or a list of success, failure and delay";
  if (value == "never") {
    options.notify = 0;
    return std::nullopt;
  }
  constexpr const char* bits[] = {"success", "failure", "delay"};  // 1, 2, 4
  std::int32_t notify = 0;
  for (std::size_t from = 0; from <= value.size();) {
    const std::size_t comma = std::min(value.find(',', from), value.size());
    const std::string word = value.substr(from, comma - from);
    const auto* bit = std::find_if(std::begin(bits), std::end(bits), [&](const char* b) { return word == b; });
    if (bit == std::end(bits)) return refused;
    notify |= 1 << (bit - std::begin(bits));
    from = comma + 1;
  }
  options.notify = notify;
  return std::nullopt;
}

Refusal TakeReturn(ScriptOptions& options, PendingFile&, const std::string& value) {
  if (value != "full" && value != "headers") return "--return: \"" + value + "\" is not full or headers";
  options.returnFull = value == "full";
  return std::nullopt;
}

// A value that goes into a header field unencoded or names something.
Refusal Plain(const char* option, const std::string& value) {
  if (HoldsControl(value)) return std::string(option) + ": the value holds a control character";
  return std::nullopt;
}

constexpr ScriptOption scriptOptions[] = {
    {"--to", [](ScriptOptions& o, PendingFile&, const std::string& v) { return AppendAddresses(o.to, "--to", v); }},
    {"--cc", [](ScriptOptions& o, PendingFile&, const std::string& v) { return AppendAddresses(o.cc, "--cc", v); }},
    {"--bcc", [](ScriptOptions& o, PendingFile&, const std::string& v) { return AppendAddresses(o.bcc, "--bcc", v); }},
    {"--from", [](ScriptOptions& o, PendingFile&, const std::string& v) { return OneAddress(o.from, "--from", v); }},
    {"--from-name",
     [](ScriptOptions& o, PendingFile&, const std::string& v) {
       if (Refusal r = Plain("--from-name", v)) return r;
       return SetOnce(o.fromName, "--from-name", v);
     }},
    {"--reply-to",
     [](ScriptOptions& o, PendingFile&, const std::string& v) { return OneAddress(o.replyTo, "--reply-to", v); }},
    {"--subject", [](ScriptOptions& o, PendingFile&, const std::string& v) { return SetOnce(o.subject, "--subject", v); }},
    {"--body", [](ScriptOptions& o, PendingFile&, const std::string& v) { return SetOnce(o.body, "--body", v); }},
    {"--body-file",
     [](ScriptOptions& o, PendingFile&, const std::string& v) { return SetOnce(o.bodyFile, "--body-file", v); }},
    {"--html-file",
     [](ScriptOptions& o, PendingFile&, const std::string& v) { return SetOnce(o.htmlFile, "--html-file", v); }},
    {"--attach", [](ScriptOptions& o, PendingFile& p, const std::string& v) { return TakeFile(o, p, v, false); }},
    {"--inline", [](ScriptOptions& o, PendingFile& p, const std::string& v) { return TakeFile(o, p, v, true); }},
    {"--type",
     [](ScriptOptions&, PendingFile& p, const std::string& v) -> Refusal {
       if (!IsMediaType(v)) return "--type: \"" + v + "\" is not a media type such as text/plain";
       p.type = v;
       return std::nullopt;
     }},
    {"--name",
     [](ScriptOptions&, PendingFile& p, const std::string& v) -> Refusal {
       if (Refusal r = Plain("--name", v)) return r;
       if (v.empty() || v.size() > 255) return "--name: a name has 1 to 255 bytes";
       p.name = v;
       return std::nullopt;
     }},
    {"--header", TakeHeader},
    {"--priority", TakePriority},
    {"--notify", TakeNotify},
    {"--return", TakeReturn},
    {"--json", nullptr},
    {"--queue", nullptr},
};

// Whether argument is word ("--to") as written or with its first '-' written '/'
// ("/-to"), as the other option words may be written.
bool IsWord(std::string_view argument, std::string_view word) {
  return argument == word || (argument.starts_with("/-") && argument.substr(1) == word.substr(1));
}

// The option that word is; null for none.
const ScriptOption* FindOption(std::string_view word) {
  const auto* found = std::find_if(std::begin(scriptOptions), std::end(scriptOptions),
                                   [&](const ScriptOption& o) { return IsWord(word, o.word); });
  return found == std::end(scriptOptions) ? nullptr : found;
}

// Whether the options are the command line's: one is there, and it is no --check or
// --authorize (after an --account), whose --json is theirs.
bool HoldsOptions(const std::vector<std::string>& arguments) {
  std::size_t first = arguments.size() >= 2 && IsWord(arguments[0], "--account") ? 2 : 0;
  if (first < arguments.size() && (IsWord(arguments[first], "--check") || IsWord(arguments[first], "--authorize"))) {
    return false;
  }
  return std::any_of(arguments.begin(), arguments.end(), [](const std::string& a) { return FindOption(a) != nullptr; });
}

Refusal TakeOption(const ScriptOption& option, std::vector<std::string>::const_iterator& word,
                   std::vector<std::string>::const_iterator end, ScriptOptions& options, PendingFile& pending) {
  const std::string_view name(option.word);
  if (option.take == nullptr) {
    (name == "--json" ? options.json : options.queue) = true;
    return std::nullopt;
  }
  if (++word == end) return std::string(option.word) + " needs a value";
  return option.take(options, pending, *word);
}

}  // namespace

std::optional<std::string> TakeScriptOptions(std::vector<std::string>& arguments, ScriptOptions& options) {
  if (!HoldsOptions(arguments)) return std::nullopt;
  options.given = true;
  std::vector<std::string> parameters;
  PendingFile pending;
  for (auto word = arguments.cbegin(); word != arguments.cend(); ++word) {
    if (*word == "--") {
      parameters.insert(parameters.end(), word + 1, arguments.cend());
      break;
    }
    if (const ScriptOption* option = FindOption(*word)) {
      if (Refusal refused = TakeOption(*option, word, arguments.cend(), options, pending)) return refused;
    } else if (IsWord(*word, "--account")) {
      if (++word == arguments.cend() || word->empty()) return "--account needs the name of an account";
      options.account = *word;
    } else if (word->starts_with("--")) {
      return "unknown option " + *word;
    } else {
      parameters.push_back(*word);
    }
  }
  if (pending.type || pending.name) return "--type and --name go before the --attach or --inline they are for";
  if (options.body && options.bodyFile) return "--body and --body-file cannot be given together";
  if (!options.htmlFile && std::any_of(options.files.begin(), options.files.end(),
                                       [](const ScriptFile& f) { return f.inlinePart; })) {
    return "--inline goes with --html-file: it is a part of the HTML";
  }
  arguments = std::move(parameters);
  return std::nullopt;
}

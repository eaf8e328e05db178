// The service extensions of an EHLO reply (RFC 5321 section 4.1.1.1): one keyword per
// line after the code, then its parameters.
#include "smtp/server_extensions.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "smtp/auth_text.h"

namespace {

// The parameters of the reply line whose first word after the code is keyword (empty
// when it has none); nothing when no line names it.
std::optional<std::string_view> ExtensionParameters(const std::string& reply,
                                                    std::string_view keyword) {
  for (std::size_t at = 0; at < reply.size();) {
    std::size_t end = std::min(reply.find("\r\n", at), reply.size());
    std::string_view line = std::string_view(reply).substr(at, end - at);
    if (line.size() > 4) {
      std::string_view rest = line.substr(4);
      std::size_t blank = std::min(rest.find(' '), rest.size());
      if (EqualsIgnoringCase(rest.substr(0, blank), keyword)) {
        return blank < rest.size() ? rest.substr(blank + 1) : std::string_view();
      }
    }
    at = end + 2;
  }
  return std::nullopt;
}

std::uint64_t SizeLimit(std::string_view parameters) {
  std::uint64_t limit = 0;
  const char* end = parameters.data() + parameters.size();
  auto [stop, error] = std::from_chars(parameters.data(), end, limit);
  return error == std::errc() && stop == end ? limit : 0;
}

// Whether word is one of the blank-separated words of list, in any letter case.
bool ListsWord(std::string_view list, std::string_view word) {
  for (;;) {
    std::size_t blank = list.find(' ');
    if (EqualsIgnoringCase(list.substr(0, blank), word)) return true;
    if (blank == std::string_view::npos) return false;
    list.remove_prefix(blank + 1);
  }
}

}  // namespace

bool OffersExtension(const std::string& reply, std::string_view keyword) {
  return ExtensionParameters(reply, keyword).has_value();
}

CServerExtensions ReadServerExtensions(const std::string& reply) {
  CServerExtensions offered;
  offered.pipelining = OffersExtension(reply, "PIPELINING");
  offered.smtpUtf8 = OffersExtension(reply, "SMTPUTF8");
  offered.dsn = OffersExtension(reply, "DSN");
  if (std::optional<std::string_view> size = ExtensionParameters(reply, "SIZE")) {
    offered.size = true;
    offered.sizeLimit = SizeLimit(*size);
  }
  return offered;
}

bool OffersAuthMechanism(std::string_view reply, std::string_view mechanism) {
  for (std::size_t from = 0; from < reply.size();) {
    std::size_t end = reply.find("\r\n", from);
    std::string_view line = reply.substr(from, end - from);
    if (line.size() > 9 && EqualsIgnoringCase(line.substr(4, 4), "AUTH") &&
        (line[8] == ' ' || line[8] == '=') && ListsWord(line.substr(9), mechanism)) {
      return true;
    }
    if (end == std::string_view::npos) break;
    from = end + 2;
  }
  return false;
}

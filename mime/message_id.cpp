#include "mime/message_id.h"

#include <algorithm>
#include <cctype>

#include "mime/header_encoding.h"
#include "platform/uuid.h"

namespace {

// No domain name is longer (RFC 1035 2.3.4), and the Message-ID line stays short.
constexpr std::size_t maxDomainLength = 255;

// A dot-atom ("mail.example.com") or an address literal ("[192.0.2.1]"), of at most
// maxDomainLength octets.
bool IsIdDomain(std::string_view domain) {
  if (domain.size() > maxDomainLength) return false;
  if (domain.size() >= 2 && domain.front() == '[' && domain.back() == ']') {
    const std::string_view inside = domain.substr(1, domain.size() - 2);
    return std::all_of(inside.begin(), inside.end(), [](unsigned char c) {
      return c > 32 && c < 127 && c != '[' && c != ']' && c != '\\';
    });
  }
  if (domain.empty() || domain.front() == '.' || domain.back() == '.' ||
      domain.find("..") != std::string_view::npos) {
    return false;
  }
  return std::all_of(domain.begin(), domain.end(),
                     [](char c) { return c == '.' || IsAtext(c); });
}

// 44 hexadecimal digits: a whole UUID (122 random bits) and the last group of a second
// one (48 more), short enough for the Message-ID line to keep within 78 characters.
std::string RandomHexDigits() {
  std::string digits = NewUuidText();
  std::erase(digits, '-');
  return digits + NewUuidText().substr(24);
}

}  // namespace

std::string MakeMessageId(std::string_view senderAddress, std::string_view heloName) {
  const std::size_t at = senderAddress.rfind('@');
  std::string_view domain =
      at == std::string_view::npos ? std::string_view() : senderAddress.substr(at + 1);
  if (!IsIdDomain(domain)) domain = IsIdDomain(heloName) ? heloName : "localhost";
  return RandomHexDigits() + "@" + std::string(domain);
}

bool IsMessageIdLine(std::string_view line) {
  constexpr std::string_view name = "message-id";
  if (line.size() < name.size()) return false;
  const bool named = std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
    return a == std::tolower(static_cast<unsigned char>(b));
  });
  const std::size_t colon = line.find_first_not_of(" \t", name.size());
  return named && colon != std::string_view::npos && line[colon] == ':';
}

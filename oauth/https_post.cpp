// The form encoding (RFC 6749 appendix B, HTML's application/x-www-form-urlencoded)
// and the POST to an endpoint over the platform's HTTPS client.
#include "oauth/https_post.h"

#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/https_client.h"

namespace {

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string PercentEncode(const std::string& text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string escaped;
  for (unsigned char c : text) {
    if (Unreserved(c)) {
      escaped += static_cast<char>(c);
    } else {
      escaped += {'%', hex[c >> 4], hex[c & 15]};
    }
  }
  return escaped;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A "%" without two hex digits after it stays as it is.
std::string Unescape(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    int high = i + 2 < text.size() && text[i] == '%' ? HexValue(text[i + 1]) : -1;
    int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      plain += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      plain += text[i] == '+' ? ' ' : text[i];
    }
  }
  return plain;
}

}  // namespace

std::string FormEncode(const FormFields& fields) {
  std::string form;
  for (const auto& [name, value] : fields) {
    if (!form.empty()) form += '&';
    form += PercentEncode(name) + "=" + PercentEncode(value);
  }
  return form;
}

std::map<std::string, std::string> FormDecode(const std::string& query) {
  std::map<std::string, std::string> fields;
  for (std::size_t at = 0; at < query.size();) {
    std::size_t next = query.find('&', at);
    if (next == std::string::npos) next = query.size();
    const std::string pair = query.substr(at, next - at);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos) {
      auto [it, added] =
          fields.emplace(Unescape(pair.substr(0, equals)), Unescape(pair.substr(equals + 1)));
      if (!added) it->second = "\n";
    }
    at = next + 1;
  }
  return fields;
}

HttpsResponse HttpsPost(const OAuthClient& client, const std::string& url,
                        const FormFields& fields) {
  HttpsResult result = HttpsFormPost(url, FormEncode(fields), client.caFile, client.timeout);
  if (!result.answered) RaiseSmtpError(msgOAuthEndpoint, FACILITY_ITF, url + ": " + result.error);
  return {result.status, std::move(result.body)};
}

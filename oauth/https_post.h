// The provider's endpoints as the OAuth 2.0 client calls them: a form POST over HTTPS
// (platform/https_client.h) and the form encoding of its fields and of the redirect's
// query (RFC 6749 appendix B).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "oauth/client.h"

struct HttpsResponse {
  long status = 0;
  std::string body;
};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// text with every byte but the unreserved characters of RFC 3986 (letters, digits,
// "-", ".", "_", "~") written as %HH.
std::string PercentEncode(const std::string& text);

// "name=value&..." with both percent-encoded (application/x-www-form-urlencoded).
std::string FormEncode(const FormFields& fields);

// The fields of a form-encoded query ("a=1&b=%20"); a name given twice maps to "\n",
// which no encoded value can hold, so that a repeated parameter can be refused.
std::map<std::string, std::string> FormDecode(const std::string& query);

// POSTs fields, form-encoded, to url, trusting client.caFile's CAs when it is set, and
// returns the status and the body (at most 1 MiB). Raises CTAVSMTPException 560
// (facility 4) with the address and the reason when no response arrives within
// client.timeout, the connection or the certificate check fails, or the body is larger.
HttpsResponse HttpsPost(const OAuthClient& client, const std::string& url,
                        const FormFields& fields);

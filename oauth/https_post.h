// HTTPS requests to the provider's endpoints through libcurl: a form POST, the
// certificate and the host name always checked, https only, no redirects followed,
// each request bounded by the client's timeout.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "oauth/client.h"

struct HttpsResponse {
  long status = 0;
  std::string body;
};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// "name=value&..." with both percent-encoded (application/x-www-form-urlencoded).
std::string FormEncode(const FormFields& fields);

// POSTs fields, form-encoded, to url, trusting client.caFile's CAs when it is set, and
// returns the status and the body (at most 1 MiB). Raises CTAVSMTPException 560
// (facility 4) with the address and libcurl's reason when no response arrives within
// client.timeout, the connection or the certificate check fails, or the body is larger.
HttpsResponse HttpsPost(const OAuthClient& client, const std::string& url,
                        const FormFields& fields);

// HTTPS requests to an OAuth 2.0 provider through the system's well-kept HTTP library
// (libcurl on Linux, WinHTTP on Windows): a form POST with the certificate and the host
// name always checked, https only, no redirects followed, bounded in time and size.
// Never raises: a failure comes back with the library's reason.
#pragma once

#include <cstdint>
#include <string>

struct HttpsResult {
  bool answered = false;  // a whole response arrived
  long status = 0;
  std::string body;   // at most 1 MiB
  std::string error;  // why no response arrived, when not answered
};

// POSTs form (application/x-www-form-urlencoded) to url with "Accept: application/json",
// trusting the CAs of the PEM file caFile instead of the system's when it is not empty,
// within timeout milliseconds for the whole exchange.
HttpsResult HttpsFormPost(const std::string& url, const std::string& form,
                          const std::string& caFile, std::uint32_t timeout);

// The HTTPS form POST over libcurl (RFC 6749 3.2: TLS with the server's certificate
// and name checked; RFC 6749 B: the form encoding).
#include "oauth/https_post.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "errors/message_table.h"
#include "errors/raise.h"

namespace {

constexpr std::size_t bodyCap = 1024 * 1024;

struct CurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  void operator()(char* text) const { curl_free(text); }
};

CURL* NewHandle() {
  static std::once_flag started;
  std::call_once(started, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  return curl_easy_init();
}

std::string Escape(CURL* curl, const std::string& text) {
  std::unique_ptr<char, CurlFree> escaped(
      curl_easy_escape(curl, text.data(), static_cast<int>(text.size())));
  return escaped ? std::string(escaped.get()) : std::string();
}

size_t Collect(char* data, size_t size, size_t count, void* target) {
  auto* body = static_cast<std::string*>(target);
  // Answering less than was given ends the transfer with CURLE_WRITE_ERROR.
  if (body->size() + size * count > bodyCap) return 0;
  body->append(data, size * count);
  return size * count;
}

[[noreturn]] void RaiseUnreachable(const std::string& url, const std::string& why) {
  RaiseSmtpError(msgOAuthEndpoint, FACILITY_ITF, url + ": " + why);
}

}  // namespace

std::string FormEncode(const FormFields& fields) {
  std::unique_ptr<CURL, CurlFree> curl(NewHandle());
  std::string form;
  for (const auto& [name, value] : fields) {
    if (!form.empty()) form += '&';
    form += Escape(curl.get(), name) + "=" + Escape(curl.get(), value);
  }
  return form;
}

HttpsResponse HttpsPost(const OAuthClient& client, const std::string& url,
                        const FormFields& fields) {
  std::unique_ptr<CURL, CurlFree> handle(NewHandle());
  if (!handle) RaiseUnreachable(url, "libcurl could not start");
  CURL* curl = handle.get();
  const std::string form = FormEncode(fields);
  HttpsResponse response;
  char reason[CURL_ERROR_SIZE] = "";
  std::unique_ptr<curl_slist, CurlFree> headers(
      curl_slist_append(nullptr, "Accept: application/json"));
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!client.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, client.caFile.c_str());
  // No signals: the timeout must not rely on SIGALRM in a program that may use threads.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(client.timeout));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, reason);
  CURLcode result = curl_easy_perform(curl);
  if (result == CURLE_WRITE_ERROR) RaiseUnreachable(url, "the answer is larger than 1 MiB");
  if (result != CURLE_OK) {
    RaiseUnreachable(url, reason[0] != '\0' ? reason : curl_easy_strerror(result));
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

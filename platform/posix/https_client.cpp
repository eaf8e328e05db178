// The Linux side of HttpsFormPost: libcurl (Debian's libcurl4-openssl-dev).
#include "platform/https_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace {

constexpr std::size_t bodyCap = 1024 * 1024;

struct CurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
  auto* body = static_cast<std::string*>(target);
  // Answering less than was given ends the transfer with CURLE_WRITE_ERROR.
  if (body->size() + size * count > bodyCap) return 0;
  body->append(data, size * count);
  return size * count;
}

}  // namespace

HttpsResult HttpsFormPost(const std::string& url, const std::string& form,
                          const std::string& caFile, std::uint32_t timeout) {
  static std::once_flag started;
  std::call_once(started, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  HttpsResult result;
  std::unique_ptr<CURL, CurlFree> handle(curl_easy_init());
  if (!handle) {
    result.error = "libcurl could not start";
    return result;
  }
  CURL* curl = handle.get();
  char reason[CURL_ERROR_SIZE] = "";
  std::unique_ptr<curl_slist, CurlFree> headers(
      curl_slist_append(nullptr, "Accept: application/json"));
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  // No signals: the timeout must not rely on SIGALRM.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, reason);
  CURLcode outcome = curl_easy_perform(curl);
  if (outcome == CURLE_WRITE_ERROR) {
    result.error = "the answer is larger than 1 MiB";
  } else if (outcome != CURLE_OK) {
    result.error = reason[0] != '\0' ? reason : curl_easy_strerror(outcome);
  } else {
    result.answered = true;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  }
  return result;
}

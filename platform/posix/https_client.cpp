// The Linux side of HttpsFormPost: libcurl (Debian's libcurl4), opened with dlopen at
// the first request and its calls looked up with dlsym, so that a run that asks no
// token endpoint maps neither libcurl nor the many libraries it brings along (their
// loading and constructors doubled the start-up of every run). Only its header
// (libcurl4-openssl-dev) is used at build time.
#include "platform/https_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "platform/posix/library_calls.h"

namespace {

constexpr const char* curlLibrary = "libcurl.so.4";
constexpr std::size_t bodyCap = 1024 * 1024;

// The libcurl calls used here.
struct CurlCalls {
  decltype(&curl_global_init) globalInit;
  decltype(&curl_easy_init) easyInit;
  decltype(&curl_easy_cleanup) easyCleanup;
  decltype(&curl_easy_setopt) easySetopt;
  decltype(&curl_easy_perform) easyPerform;
  decltype(&curl_easy_getinfo) easyGetinfo;
  decltype(&curl_easy_strerror) easyStrerror;
  decltype(&curl_slist_append) slistAppend;
  decltype(&curl_slist_free_all) slistFreeAll;
};

bool ResolveCalls(void* library, CurlCalls& calls) {
  return ResolveLibraryCall(library, "curl_global_init", calls.globalInit) &&
         ResolveLibraryCall(library, "curl_easy_init", calls.easyInit) &&
         ResolveLibraryCall(library, "curl_easy_cleanup", calls.easyCleanup) &&
         ResolveLibraryCall(library, "curl_easy_setopt", calls.easySetopt) &&
         ResolveLibraryCall(library, "curl_easy_perform", calls.easyPerform) &&
         ResolveLibraryCall(library, "curl_easy_getinfo", calls.easyGetinfo) &&
         ResolveLibraryCall(library, "curl_easy_strerror", calls.easyStrerror) &&
         ResolveLibraryCall(library, "curl_slist_append", calls.slistAppend) &&
         ResolveLibraryCall(library, "curl_slist_free_all", calls.slistFreeAll);
}

// libcurl, opened and started once per process and kept open to its end; the empty
// text, or why it cannot be used.
struct CurlLibrary {
  CurlCalls calls{};
  std::string failure;
};

const CurlLibrary& OpenCurl() {
  static CurlLibrary curl;
  static std::once_flag opened;
  std::call_once(opened, [] {
    void* library = OpenRunTimeLibrary(curlLibrary, "libcurl", "libcurl4", curl.failure);
    if (library == nullptr) return;
    if (!ResolveCalls(library, curl.calls)) {
      curl.failure = std::string(curlLibrary) + " lacks a call this program makes";
    } else if (curl.calls.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      curl.failure = "libcurl could not start";
    }
  });
  return curl;
}

struct CurlFree {
  const CurlCalls& curl;
  void operator()(CURL* handle) const { curl.easyCleanup(handle); }
  void operator()(curl_slist* list) const { curl.slistFreeAll(list); }
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
  auto* body = static_cast<std::string*>(target);
  // Answering less than was given ends the transfer with CURLE_WRITE_ERROR.
  if (body->size() + size * count > bodyCap) return 0;
  body->append(data, size * count);
  return size * count;
}

// The request's options; false when libcurl cannot keep it to https (before 7.85).
bool SetOptions(const CurlCalls& curl, CURL* easy, const std::string& url, const std::string& form,
                const std::string& caFile, std::uint32_t timeout) {
  curl.easySetopt(easy, CURLOPT_URL, url.c_str());
  if (curl.easySetopt(easy, CURLOPT_PROTOCOLS_STR, "https") != CURLE_OK) return false;
  curl.easySetopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl.easySetopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile.empty()) curl.easySetopt(easy, CURLOPT_CAINFO, caFile.c_str());
  // No signals: the timeout must not rely on SIGALRM.
  curl.easySetopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl.easySetopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout));
  curl.easySetopt(easy, CURLOPT_POSTFIELDS, form.c_str());
  curl.easySetopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
  curl.easySetopt(easy, CURLOPT_WRITEFUNCTION, Collect);
  return true;
}

}  // namespace

HttpsResult HttpsFormPost(const std::string& url, const std::string& form,
                          const std::string& caFile, std::uint32_t timeout) {
  HttpsResult result;
  const CurlLibrary& library = OpenCurl();
  if (!library.failure.empty()) {
    result.error = library.failure;
    return result;
  }
  const CurlCalls& curl = library.calls;
  std::unique_ptr<CURL, CurlFree> handle(curl.easyInit(), CurlFree{curl});
  if (!handle) {
    result.error = "libcurl could not start";
    return result;
  }
  CURL* easy = handle.get();
  if (!SetOptions(curl, easy, url, form, caFile, timeout)) {
    result.error = "this libcurl cannot be kept to https: 7.85 or later is needed";
    return result;
  }
  char reason[CURL_ERROR_SIZE] = "";
  std::unique_ptr<curl_slist, CurlFree> headers(
      curl.slistAppend(nullptr, "Accept: application/json"), CurlFree{curl});
  curl.easySetopt(easy, CURLOPT_HTTPHEADER, headers.get());
  curl.easySetopt(easy, CURLOPT_WRITEDATA, &result.body);
  curl.easySetopt(easy, CURLOPT_ERRORBUFFER, reason);
  CURLcode outcome = curl.easyPerform(easy);
  if (outcome == CURLE_WRITE_ERROR) {
    result.error = "the answer is larger than 1 MiB";
  } else if (outcome != CURLE_OK) {
    result.error = reason[0] != '\0' ? reason : curl.easyStrerror(outcome);
  } else {
    result.answered = true;
    curl.easyGetinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
  }
  return result;
}

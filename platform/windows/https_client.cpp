// The Windows side of HttpsFormPost: WinHTTP, with the system's trusted CAs and its
// proxy settings. With a CA file of the user's, WinHTTP is told to accept an unknown
// root and OpenSSL checks the chain against that file instead, after the handshake and
// before the body (which holds the refresh token or the client secret) is sent.
#include "platform/https_client.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

namespace {

constexpr std::size_t bodyCap = 1024 * 1024;

struct InternetClose {
  void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using Handle = std::unique_ptr<void, InternetClose>;

std::wstring Wide(const std::string& text) {
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// Texts of the errors a user meets most, for systems whose WinHTTP has none (Wine).
const char* KnownErrorText(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT: return "the operation timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the server name could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "the connection could not be made";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "the connection was reset or ended";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "the TLS handshake failed";
    case ERROR_WINHTTP_SECURE_FAILURE: return "the server's certificate is not trusted";
    default: return "";
  }
}

// WinHTTP's text for its last error.
std::string LastError() {
  DWORD error = GetLastError();
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                GetModuleHandleA("winhttp.dll"), error, 0,
                                reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (message.empty()) message = KnownErrorText(error);
  return "WinHTTP error " + std::to_string(error) + (message.empty() ? "" : ": " + message);
}

// Empty when the server's certificate chains to a CA of caFile and names host; else why.
std::string CheckWithCaFile(HINTERNET request, const std::string& caFile, const std::string& host) {
  PCCERT_CONTEXT context = nullptr;
  DWORD size = sizeof context;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &size)) {
    return "no server certificate: " + LastError();
  }
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> chain(
      sk_X509_new_null(),
      [](STACK_OF(X509)* certificates) { sk_X509_pop_free(certificates, X509_free); });
  X509* leaf = nullptr;
  // The leaf, and what else the server sent, which may lead to the CA.
  for (PCCERT_CONTEXT c = nullptr;
       (c = CertEnumCertificatesInStore(context->hCertStore, c)) != nullptr;) {
    const unsigned char* der = c->pbCertEncoded;
    X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(c->cbCertEncoded));
    if (certificate == nullptr) continue;
    if (CertCompareCertificate(X509_ASN_ENCODING, c->pCertInfo, context->pCertInfo)) {
      leaf = certificate;
    } else {
      sk_X509_push(chain.get(), certificate);
    }
  }
  CertFreeCertificateContext(context);
  std::unique_ptr<X509, decltype(&X509_free)> owned(leaf, X509_free);
  if (leaf == nullptr) return "the server's certificate cannot be read";
  if (X509_STORE_load_file(store.get(), caFile.c_str()) != 1) {
    return "cannot read \"" + caFile + "\"";
  }
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> check(X509_STORE_CTX_new(),
                                                                       X509_STORE_CTX_free);
  X509_STORE_CTX_init(check.get(), store.get(), leaf, chain.get());
  X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(check.get());
  if (X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str()) != 1) {
    X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), host.size());
  }
  if (X509_verify_cert(check.get()) != 1) {
    return std::string("the server's certificate is not trusted: ") +
           X509_verify_cert_error_string(X509_STORE_CTX_get_error(check.get()));
  }
  return {};
}

// Sends the request line and headers (and with them the TLS handshake), checks the
// certificate against caFile when one is given, then the body; empty or why it failed.
std::string Send(HINTERNET request, const std::string& form, const std::string& caFile,
                 const std::string& host) {
  static const wchar_t headers[] =
      L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
  if (!WinHttpSendRequest(request, headers, static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0,
                          static_cast<DWORD>(form.size()), 0)) {
    return LastError();
  }
  if (!caFile.empty()) {
    std::string refused = CheckWithCaFile(request, caFile, host);
    if (!refused.empty()) return refused;
  }
  DWORD written = 0;
  if (!form.empty() &&
      !WinHttpWriteData(request, form.data(), static_cast<DWORD>(form.size()), &written)) {
    return LastError();
  }
  return {};
}

std::string ReadBody(HINTERNET request, std::string& body) {
  for (;;) {
    char buffer[8192];
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer, sizeof buffer, &read)) return LastError();
    if (read == 0) return {};
    if (body.size() + read > bodyCap) return "the answer is larger than 1 MiB";
    body.append(buffer, read);
  }
}

}  // namespace

HttpsResult HttpsFormPost(const std::string& url, const std::string& form,
                          const std::string& caFile, std::uint32_t timeout) {
  HttpsResult result;
  std::wstring wideUrl = Wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS) {
    result.error = "not an https address";
    return result;
  }
  std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength + parts.dwExtraInfoLength);
  Handle session(WinHttpOpen(L"e-mailer", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0));
  // TLS 1.2 and 1.3 only; older systems' WinHTTP offers TLS 1.0 by default.
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (session && !WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                   sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;  // a system without TLS 1.3
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  Handle connection(session ? WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0)
                            : nullptr);
  Handle request(connection ? WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 WINHTTP_FLAG_SECURE)
                            : nullptr);
  if (!request) {
    result.error = LastError();
    return result;
  }
  // Each step (name, connect, send, each receive) is bounded by the time.
  const int milliseconds = static_cast<int>(std::min<std::uint32_t>(timeout, 0x7FFFFFFF));
  WinHttpSetTimeouts(request.get(), milliseconds, milliseconds, milliseconds, milliseconds);
  DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
  WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
  if (!caFile.empty()) {
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
  }
  std::string narrowHost(host.begin(), host.end());
  result.error = Send(request.get(), form, caFile, narrowHost);
  if (result.error.empty() && !WinHttpReceiveResponse(request.get(), nullptr)) {
    result.error = LastError();
  }
  if (!result.error.empty()) return result;
  DWORD status = 0;
  DWORD size = sizeof status;
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  result.error = ReadBody(request.get(), result.body);
  result.answered = result.error.empty();
  result.status = static_cast<long>(status);
  return result;
}

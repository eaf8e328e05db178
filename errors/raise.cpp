#include "errors/raise.h"

#include "errors/exceptions.h"
#include "platform/last_error.h"

void RaiseSmtpError(std::uint32_t code, std::uint32_t facility, const std::string& text) {
  if (code == 0) code = static_cast<std::uint32_t>(WSAGetLastError());
  throw CTAVSMTPException(code, facility, text);
}

void RaiseSmtpError(HRESULT hr, const std::string& text) { throw CTAVSMTPException(hr, text); }

void RaiseSocketError(int error) {
  if (error == 0) error = WSAGetLastError();
  throw CWSocketException(error);
}

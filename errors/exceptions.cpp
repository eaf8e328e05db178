#include "errors/exceptions.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "errors/message_table.h"
#include "platform/message_box.h"
#include "platform/system_messages.h"

namespace {
// What a message box shows for an error that has no text of its own.
constexpr const char* noErrorText = "No error message is available.";
}  // namespace

int CException::GetErrorMessage(char* buffer, unsigned capacity, unsigned* helpContext) const {
  return CopyErrorText(ErrorTextNoThrow(), buffer, capacity, helpContext) ? 1 : 0;
}

void CException::ReportError() const {
  std::string text = ErrorText();
  ShowMessageBox(text.empty() ? noErrorText : text);
}

const char* CException::what() const noexcept {
  whatText = ErrorTextNoThrow();
  return whatText.empty() ? noErrorText : whatText.c_str();
}

std::string CException::ErrorText() const { return {}; }

std::string CException::ErrorTextNoThrow() const noexcept {
  try {
    return ErrorText();
  } catch (...) {
    return {};
  }
}

bool CException::CopyErrorText(const std::string& text, char* buffer, unsigned capacity,
                               unsigned* helpContext) {
  if (helpContext != nullptr) *helpContext = 0;
  if (buffer == nullptr || capacity == 0) return false;
  std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n > 0;
}

CTAVSMTPException::CTAVSMTPException(HRESULT hr, std::string lastResponseText)
    : m_hrError(hr), m_sLastResponseText(std::move(lastResponseText)) {}

CTAVSMTPException::CTAVSMTPException(std::uint32_t code, std::uint32_t facility,
                                     std::string lastResponseText)
    : m_hrError(MakeFailureHresult(facility, code)),
      m_sLastResponseText(std::move(lastResponseText)) {}

std::string CTAVSMTPException::ErrorText() const {
  switch (HresultFacility(m_hrError)) {
    case FACILITY_ITF:
      return FormatTableMessage(HresultCode(m_hrError), m_sLastResponseText);
    case FACILITY_WIN32:
      return SystemMessageText(HresultCode(m_hrError));
    default:
      return SystemMessageText(static_cast<std::uint32_t>(m_hrError));
  }
}

int CTAVSMTPException::GetErrorMessage(char* buffer, unsigned capacity,
                                       unsigned* helpContext) const {
  std::string text = ErrorTextNoThrow();
  if (!CopyErrorText(text, buffer, capacity, helpContext)) return 0;
  if (HresultFacility(m_hrError) == FACILITY_ITF) return 1;
  return static_cast<int>(text.size());
}

CWSocketException::CWSocketException(int errorCode) : m_nErrorCode(errorCode) {}

std::string CWSocketException::ErrorText() const {
  return SystemMessageText(static_cast<std::uint32_t>(m_nErrorCode));
}

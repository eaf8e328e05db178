// The two exception types of the engine. CWSocketException carries one Windows or
// Winsock error number and is raised only by the socket layer and its proxy tunnels;
// CTAVSMTPException carries an HRESULT and a response text and is the only type that
// leaves the SMTP connection. Both are thrown by value and caught by reference.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/win_types.h"

class CException : public std::exception {
 public:
  // Copies the error's text into buffer, cut to capacity - 1 characters and always
  // NUL-terminated, and stores 0 through helpContext when it is given. Returns non-zero
  // on success; 0 with an empty buffer when there is no text. Never throws.
  virtual int GetErrorMessage(char* buffer, unsigned capacity,
                              unsigned* helpContext = nullptr) const;

  // Shows the error's text in a message box with an OK button.
  virtual void ReportError() const;

  const char* what() const noexcept override;

 protected:
  // The whole text that GetErrorMessage copies; empty when there is none.
  virtual std::string ErrorText() const;

  // ErrorText, or an empty string when building it fails.
  std::string ErrorTextNoThrow() const noexcept;

  // The copy step of GetErrorMessage: true when a non-empty text was stored.
  static bool CopyErrorText(const std::string& text, char* buffer, unsigned capacity,
                            unsigned* helpContext);

 private:
  mutable std::string whatText;
};

class CTAVSMTPException : public CException {
 public:
  CTAVSMTPException(HRESULT hr, std::string lastResponseText);
  CTAVSMTPException(std::uint32_t code, std::uint32_t facility, std::string lastResponseText);

  // Interface facility (4): the message-table text of the code with "%1" replaced by
  // m_sLastResponseText; result 1. Win32 facility (7): the system's text for the code
  // alone; result the text's length. Any other facility (security statuses): the
  // system's text for the whole HRESULT; result the text's length.
  int GetErrorMessage(char* buffer, unsigned capacity,
                      unsigned* helpContext = nullptr) const override;

  HRESULT m_hrError;
  std::string m_sLastResponseText;

 protected:
  std::string ErrorText() const override;
};

class CWSocketException : public CException {
 public:
  explicit CWSocketException(int errorCode);

  int m_nErrorCode;

 protected:
  // The system's text for m_nErrorCode, taken whole (GetErrorMessage then returns 1).
  std::string ErrorText() const override;
};

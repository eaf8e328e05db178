// The raise functions: every failure of the engine is thrown through one of them.
//
// RaiseSmtpError(code, facility, text) throws CTAVSMTPException with the HRESULT
//   (bit 31) | (facility << 16) | code; a code of 0 stands for the thread's last
//   Winsock error.
// RaiseSmtpError(hr, text) throws CTAVSMTPException with hr unchanged, whatever its
//   facility (used to raise again after clean-up, and for security statuses).
// RaiseSocketError(error) throws CWSocketException with error; 0 stands for the
//   thread's last Winsock error.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_types.h"

[[noreturn]] void RaiseSmtpError(std::uint32_t code, std::uint32_t facility, const std::string& text);
[[noreturn]] void RaiseSmtpError(HRESULT hr, const std::string& text);
[[noreturn]] void RaiseSocketError(int error);

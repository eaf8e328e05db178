// Two guards that every part of the connection uses where it meets the outside: a
// socket failure becomes the connection's own error type, and text from the caller that
// would end a command line, and so start a command of its own, is refused; and the
// limit of a command line.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/error_numbers.h"
#include "errors/exceptions.h"
#include "errors/raise.h"

// Runs step and returns its result; a CWSocketException that it raises becomes a
// CTAVSMTPException with the same number in facility 7 and an empty text.
template <typename Step>
decltype(auto) ConvertSocketError(Step&& step) {
  try {
    return step();
  } catch (const CWSocketException& e) {
    RaiseSmtpError(static_cast<std::uint32_t>(e.m_nErrorCode), FACILITY_WIN32, "");
  }
}

// The longest command line, CR LF included (RFC 5321 4.5.3.1.4).
inline constexpr std::size_t commandLineLimit = 512;

// CR and LF end a command or header line; NUL belongs in no line, and a receiver that
// reads the line as a C string stops there.
inline constexpr std::string_view lineBreaksAndNul{"\r\n\0", 3};

// Whether text holds one of the few bytes of set: one search of the whole text for each
// of them (find_first_of would make a call for every byte of the text).
inline bool HoldsAnyOf(std::string_view text, std::string_view set) {
  return std::any_of(set.begin(), set.end(), [text](char c) { return text.find(c) != text.npos; });
}

// Raises 87 (facility 7, empty text) when text holds one of breaks, by default CR or LF.
inline void RefuseLineBreaks(std::string_view text, std::string_view breaks = "\r\n") {
  if (HoldsAnyOf(text, breaks)) RaiseSmtpError(ERROR_INVALID_PARAMETER, FACILITY_WIN32, "");
}

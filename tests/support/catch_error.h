// What an operation raised, for tests that check error numbers.
#pragma once

#include <optional>

#include <gtest/gtest.h>

#include "errors/exceptions.h"

// The number of the CWSocketException that f raises; 0 (and a test failure) when it
// raises none.
template <typename F>
int SocketErrorOf(F f) {
  try {
    f();
  } catch (const CWSocketException& e) {
    return e.m_nErrorCode;
  }
  ADD_FAILURE() << "no CWSocketException was raised";
  return 0;
}

// The CTAVSMTPException that f raises; empty (and a test failure) when it raises none.
template <typename F>
std::optional<CTAVSMTPException> SmtpErrorOf(F f) {
  try {
    f();
  } catch (const CTAVSMTPException& e) {
    return e;
  }
  ADD_FAILURE() << "no CTAVSMTPException was raised";
  return std::nullopt;
}

// How the examples tell of a failure of the engine. Every operation of
// CTAVSMTPConnection raises CTAVSMTPException alone; its HRESULT names the facility and
// the number:
//   facility 4 (FACILITY_ITF)    a message id of errors/message_table.h (msgRcptTo, ...);
//                                m_sLastResponseText holds the server's reply
//   facility 7 (FACILITY_WIN32)  a system or Winsock number (platform/error_numbers.h:
//                                WSAECONNREFUSED 10061, WSAETIMEDOUT 10060, ...)
//   any other                    a security status of NTLM, as the whole HRESULT
// what() gives the text: the message with the reply filled in, or the number's text.
#pragma once

#include <cstdio>

#include "errors/exceptions.h"

inline int ReportFailure(const char* step, const CTAVSMTPException& e) {
  std::fprintf(stderr, "%s failed: error 0x%08X (facility %u, number %u): %s\n", step,
               static_cast<unsigned>(e.m_hrError), HresultFacility(e.m_hrError),
               HresultCode(e.m_hrError), e.what());
  return 1;
}

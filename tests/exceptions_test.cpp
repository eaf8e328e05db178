#include "errors/exceptions.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/last_error.h"
#include "platform/system_messages.h"

namespace {

template <typename Raise>
CTAVSMTPException CatchSmtp(Raise raise) {
  try {
    raise();
  } catch (const CTAVSMTPException& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was raised";
  return CTAVSMTPException(0, "");
}

std::string MessageOf(const CException& e, unsigned capacity = 4096) {
  std::string buffer(capacity, 'X');
  e.GetErrorMessage(buffer.data(), capacity);
  return buffer.c_str();
}

}  // namespace

TEST(RaiseSmtpError, ComposesTheHresultFromCodeAndFacility) {
  CTAVSMTPException login = CatchSmtp([] { RaiseSmtpError(512, 4, "421 busy"); });
  EXPECT_EQ(static_cast<std::uint32_t>(login.m_hrError), 0x80040200u);
  EXPECT_EQ(login.m_sLastResponseText, "421 busy");
  EXPECT_EQ(MessageOf(login), "Unexpected SMTP Login response, Last Response: 421 busy");

  CTAVSMTPException ssl = CatchSmtp([] { RaiseSmtpError(541, 4, "bad record mac"); });
  EXPECT_EQ(static_cast<std::uint32_t>(ssl.m_hrError), 0x8004021Du);
  EXPECT_EQ(MessageOf(ssl), "Failed to create SSL socket, Details: bad record mac");

  CTAVSMTPException timeout = CatchSmtp([] { RaiseSmtpError(10060, 7, ""); });
  EXPECT_EQ(static_cast<std::uint32_t>(timeout.m_hrError), 0x8007274Cu);
}

TEST(RaiseSmtpError, WholeHresultIsKeptWhateverItsFacility) {
  for (std::uint32_t hr : {0x80090302u, 0x8007274Cu, 0x80040200u, 0x00090312u}) {
    CTAVSMTPException e = CatchSmtp([hr] { RaiseSmtpError(static_cast<HRESULT>(hr), "text"); });
    EXPECT_EQ(static_cast<std::uint32_t>(e.m_hrError), hr);
    EXPECT_EQ(e.m_sLastResponseText, "text");
  }
}

TEST(RaiseSmtpError, CodeZeroTakesTheThreadsLastWinsockError) {
  WSASetLastError(10061);
  CTAVSMTPException e = CatchSmtp([] { RaiseSmtpError(0, 7, ""); });
  EXPECT_EQ(static_cast<std::uint32_t>(e.m_hrError), 0x8007274Du);

  WSASetLastError(10054);
  try {
    RaiseSocketError(0);
    FAIL() << "nothing was raised";
  } catch (const CWSocketException& s) {
    EXPECT_EQ(s.m_nErrorCode, 10054);
  }
}

TEST(MessageTable, EveryTextLetterForLetter) {
  const char* expected[] = {
      "Unexpected SMTP Login response, Last Response: %1",
      "Failed to get header of body part",
      "Failed to get body of body part",
      "Failed to ger footer of body part",
      "Unexpected EHLO response, Last Response: %1",
      "Unexpected HELO response, Last Response: %1",
      "Unexpected QUIT response, Last Response: %1",
      "Unexpected MAIL FROM response, Last Response: %1",
      "Unexpected DATA response, Last Response: %1",
      "Unexpected End of Message response, Last Response: %1",
      "File too large to mail",
      "Cannot mail 0 byte length file",
      "Unexpected RCPT TO response, Last Response: %1",
      "Unexpected AUTH LOGIN response, Last Response: %1",
      "Unexpected AUTH LOGIN username request, Last Response: %1",
      "Unexpected AUTH LOGIN username response, Last Response: %1",
      "Unexpected AUTH LOGIN password request, Last Response: %1",
      "Unexpected AUTH LOGIN password response, Last Response: %1",
      "Unexpected AUTH PLAIN response, Last Response: %1",
      "Unexpected AUTH PLAIN username request, Last Response: %1",
      "Unexpected AUTH PLAIN username response, Last Response: %1",
      "Unexpected AUTH PLAIN password request, Last Response: %1",
      "Unexpected AUTH PLAIN password response, Last Response: %1",
      "Unexpected CRAM-MD5 response, Last Response: %1",
      "Unexpected CRAM-MD5 digest response, Last Response: %1",
      "Failed to perform NTLM authentication",
      "Unexpected AUTH NTLM response, Last Response: %1",
      "Failed to base64 decode data",
      "Failed to base64 encode data",
      "Failed to create SSL socket, Details: %1",
      "Failed to connect to Socks 4 proxy via SSL: Details:%1",
      "Failed to connect to Socks 5 proxy via SSL: Details:%1",
      "Failed to connect to HTTP proxy via SSL:Details:%1",
      "Failed to connect via SSL: Details:%1",
      "Failed to send data via SSL: Details:%1",
      "Failed to receive data via SSL: Details:%1",
      "Unexpected AUTH PLAIN credentials response, Last Response: %1",
      "Unexpected EHLO response, no OAUTHBEARER or XOAUTH2, Last Response: %1",
      "Unexpected AUTH OAUTHBEARER response, Last Response: %1",
      "Unexpected AUTH XOAUTH2 response, Last Response: %1",
      "The server refused the OAuth 2.0 token, Details: %1",
      "Failed to get the password from AuthPasswordCommand: %1",
      "STARTTLS not offered, Last Response: %1",
      "Unexpected STARTTLS response, Last Response: %1",
      "Unexpected data after STARTTLS response, Last Response: %1",
      "The OAuth 2.0 provider refused the request, Details: %1",
      "The OAuth 2.0 sign-in is no longer valid, run e-mailer --authorize again, Details: %1",
      "Failed to use the OAuth 2.0 token store, Details: %1",
      "Failed to reach the OAuth 2.0 provider, Details: %1",
      "The OAuth 2.0 sign-in failed, Details: %1",
      "Invalid OAuth 2.0 settings: %1",
      "Message too large for the server, Details: %1",
      "Address cannot be sent to this server, Details: %1",
      "AUTH PLAIN not offered, Last Response: %1",
  };
  ASSERT_EQ(std::size(expected), 54u);
  for (std::uint32_t id = 512; id <= 565; ++id) {
    std::string text = expected[id - 512];
    if (auto at = text.find("%1"); at != std::string::npos) text.replace(at, 2, "<reply>");
    EXPECT_EQ(MessageOf(CTAVSMTPException(id, 4, "<reply>")), text) << id;
  }
  EXPECT_EQ(FormatTableMessage(511, "x"), "");
  EXPECT_EQ(FormatTableMessage(566, "x"), "");
}

TEST(MessageTable, ResponseTextIsInsertedOnceAndNeverExpandedAgain) {
  EXPECT_EQ(MessageOf(CTAVSMTPException(520, 4, "554 %1 %1")),
            "Unexpected DATA response, Last Response: 554 %1 %1");
  EXPECT_EQ(MessageOf(CTAVSMTPException(539, 4, "ignored")), "Failed to base64 decode data");
}

TEST(GetErrorMessage, TruncatesToCapacityAndAlwaysTerminates) {
  CTAVSMTPException e(539, 4, "");
  char buffer[10];
  unsigned helpContext = 99;
  EXPECT_NE(e.GetErrorMessage(buffer, sizeof buffer, &helpContext), 0);
  EXPECT_STREQ(buffer, "Failed to");
  EXPECT_EQ(helpContext, 0u);

  char one[1] = {'X'};
  EXPECT_EQ(e.GetErrorMessage(one, 1), 0);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(e.GetErrorMessage(nullptr, 0), 0);
}

TEST(GetErrorMessage, Win32FacilityShowsOnlyTheSystemTextAndReturnsItsLength) {
  CTAVSMTPException e(10060, 7, "this reply must not show");
  std::string expected = SystemMessageText(10060);
  ASSERT_FALSE(expected.empty());
  char buffer[256];
  EXPECT_EQ(e.GetErrorMessage(buffer, sizeof buffer), static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(buffer), expected);
}

TEST(GetErrorMessage, UnknownNumberGivesEmptyTextAndZero) {
  char buffer[64] = "stale";
  EXPECT_EQ(CTAVSMTPException(4321, 7, "").GetErrorMessage(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  std::strcpy(buffer, "stale");
  EXPECT_EQ(CWSocketException(4321).GetErrorMessage(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(GetErrorMessage, SecurityStatusShowsTheTextOfTheWholeStatus) {
  // 0x80090302 masked to its low 16 bits would be 770, an unrelated Windows error.
  CTAVSMTPException e(static_cast<HRESULT>(0x80090302u), "334 TlRMTVNTUAACAAAA");
  EXPECT_EQ(MessageOf(e), SystemMessageText(0x80090302u));
  EXPECT_NE(MessageOf(e), "");
}

TEST(GetErrorMessage, SocketExceptionTakesTheNumberWholeAndReturnsOne) {
  CWSocketException e(10061);
  char buffer[256];
  EXPECT_EQ(e.GetErrorMessage(buffer, sizeof buffer), 1);
  EXPECT_EQ(std::string(buffer), SystemMessageText(10061));
  // 0x10000 + 58 would be 58 if it were masked.
  EXPECT_EQ(MessageOf(CWSocketException(0x10000 + 58)), "");
}

TEST(Exceptions, WhatGivesTheSameTextAsGetErrorMessage) {
  CTAVSMTPException e(519, 4, "550 no");
  EXPECT_STREQ(e.what(), "Unexpected MAIL FROM response, Last Response: 550 no");
  EXPECT_STRNE(CWSocketException(4321).what(), "");
}

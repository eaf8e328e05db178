#include "app/sendmail/failure.h"

#include <gtest/gtest.h>

#include <string>

#include "app/run/settings_checks.h"
#include "platform/win_types.h"

namespace {

struct StatusCase {
  std::uint32_t code;
  std::uint32_t facility;
  const char* reply;
  bool connecting;
  SendmailStatus status;
};

TEST(StatusOf, EngineFailuresAsSysexits) {
  const StatusCase cases[] = {
      {87, FACILITY_WIN32, "", true, SendmailConfigError},   // a port out of range
      {87, FACILITY_WIN32, "", false, SendmailDataError},    // a line break in a field
      {11001, FACILITY_WIN32, "", true, SendmailNoHost},
      {10061, FACILITY_WIN32, "", true, SendmailTemporary},
      {10060, FACILITY_WIN32, "", false, SendmailTemporary},
      {512, FACILITY_ITF, "554 5.3.2 go away", true, SendmailUnavailable},
      {512, FACILITY_ITF, "421 4.3.2 busy", true, SendmailTemporary},
      {529, FACILITY_ITF, "535 5.7.8 credentials invalid", true, SendmailNoPermission},
      {529, FACILITY_ITF, "454 4.7.0 try later", true, SendmailTemporary},
      {524, FACILITY_ITF, "550 5.1.1 <a@b>: unknown", false, SendmailNoUser},
      {524, FACILITY_ITF, "452 4.2.2 mailbox full", false, SendmailTemporary},
      {519, FACILITY_ITF, "553 5.7.1 sender refused", false, SendmailUnavailable},
      {521, FACILITY_ITF, "", false, SendmailTemporary},  // no reply to the end of data
      {545, FACILITY_ITF, "certificate verify failed", true, SendmailUnavailable},
      {541, FACILITY_ITF, "no such CA file", true, SendmailConfigError},
      {553, FACILITY_ITF, "pass: exit status 1", true, SendmailConfigError},
      {554, FACILITY_ITF, "250 SIZE", true, SendmailUnavailable},
      {563, FACILITY_ITF, "the message has 20 octets, and the server takes at most 10 (SIZE 10)", false,
       SendmailUnavailable},
      {564, FACILITY_ITF, "450@b\xc3\xbc: its domain is not a valid internationalised domain name", false,
       SendmailDataError},
      // The OAuth 2.0 client: what no later try can pass is never queued (75 queues).
      {558, FACILITY_ITF, "invalid_grant: AADSTS70008", true, SendmailNoPermission},
      {559, FACILITY_ITF, "\"/home/a/.local/state/e-mailer/oauth-tokens.json\": not a token record", true,
       SendmailConfigError},
      {562, FACILITY_ITF, "OAuthProvider \"gogle\" is not microsoft, google or custom", true, SendmailConfigError},
      {560, FACILITY_ITF, "https://login.example/token: cannot connect", true, SendmailTemporary},
  };
  for (const StatusCase& c : cases) {
    EXPECT_EQ(StatusOf(CTAVSMTPException(c.code, c.facility, c.reply), c.connecting), c.status)
        << c.code << " " << c.reply;
  }
  // An NTLM security status (SEC_E_LOGON_DENIED).
  EXPECT_EQ(StatusOf(CTAVSMTPException(static_cast<HRESULT>(0x8009030C), ""), true), SendmailNoPermission);
  // A setting the run refuses (SSL "yes", StartTLS "on") is the administrator's to fix.
  EXPECT_EQ(StatusOf(CSettingError("The setting SSL holds \"yes\""), true), SendmailConfigError);
}

TEST(EngineFailure, OneLineWithTheServersReply) {
  CSendmailFailure failure = EngineFailure(CTAVSMTPException(524, FACILITY_ITF, "550-a\r\n550 b"), false, "refused");
  EXPECT_EQ(failure.status, SendmailNoUser);
  EXPECT_EQ(failure.text, "refused: Unexpected RCPT TO response, Last Response: 550-a 550 b");
}

}  // namespace

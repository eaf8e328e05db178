// The sendmail face's greeting against a scripted peer: EHLO without authentication,
// HELO where the server does not know EHLO; and its transfer against aiosmtpd: a body
// that fails part way, after megabytes have gone out, is never delivered.
#include "app/sendmail/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "app/sendmail/failure.h"
#include "errors/message_table.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_server.h"

namespace {

// What the server answers to EHLO, and how the face goes on: HELO after 500 or 502
// (answered helo), or the error that ends the connect (0: connected).
TEST(SendmailConnection, GreetsWithEhloAndFallsBackToHeloOnlyWhereEhloIsUnknown) {
  const std::string offers = "250-server\r\n250-PIPELINING\r\n250-SIZE 1000\r\n250 SMTPUTF8\r\n";
  struct Case {
    std::string ehloReply;
    const char* heloReply;  // null: no HELO follows
    std::uint32_t error;
    bool extensions;
  } cases[] = {
      {offers, nullptr, 0, true},
      {"502 5.5.1 unknown\r\n", "250 ok\r\n", 0, false},
      {"500 what?\r\n", "250 ok\r\n", 0, false},
      {"502 5.5.1 unknown\r\n", "550 no\r\n", msgHelo, false},
      {"554 5.7.1 go away\r\n", nullptr, msgEhlo, false},
      {"501 5.5.4 bad name\r\n", nullptr, msgEhlo, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ehloReply);
    PeerScript script = PeerScript().Send("220 hi\r\n").Expect("EHLO client\r\n").Send(c.ehloReply);
    if (c.heloReply != nullptr) script.Expect("HELO client\r\n").Send(c.heloReply);
    ScriptedPeer peer{script.Expect("QUIT\r\n").Send("221 bye\r\n").ExpectClosed()};
    CSendmailConnection connection(false);
    connection.SetHeloHostname("client");
    std::uint32_t error = 0;
    try {
      connection.Connect("127.0.0.1", AuthNone, "", "", peer.Port(), false);
      EXPECT_EQ(connection.m_serverExtensions.pipelining, c.extensions);
      EXPECT_EQ(connection.m_serverExtensions.smtpUtf8, c.extensions);
      EXPECT_EQ(connection.m_serverExtensions.sizeLimit, c.extensions ? 1000u : 0u);
      connection.Disconnect(true);
    } catch (const CTAVSMTPException& e) {
      error = HresultCode(e.m_hrError);
    }
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(peer.Finish(), "");
  }
}

TEST(SendmailConnection, StandardInputThatFailsPartWayDeliversNothing) {
  SmtpTestServer server;
  CSendmailConnection connection(false);
  connection.Connect("127.0.0.1", AuthNone, "", "", server.Port(), false);
  // 3 MiB of lines, past the look-ahead, then a failed read.
  std::size_t sent = 0;
  CInputLines input([&sent](char* buffer, std::size_t capacity) -> long {
    if (sent >= 3u << 20) return -1;
    const std::size_t count = std::min<std::size_t>(capacity, 500);
    std::memset(buffer, 'x', count);
    buffer[count - 1] = '\n';
    sent += count;
    return static_cast<long>(count);
  });
  CBodyStream body(input, false, false);
  body.LookAhead();
  body.Start(false, 3);
  SendmailEnvelope envelope;
  envelope.sender = "a@example.com";
  envelope.recipients = {"b@example.com"};
  try {
    connection.SendStreamed(envelope, "Subject: cut\r\n", body);
    ADD_FAILURE() << "sent";
  } catch (const CSendmailFailure& failure) {
    EXPECT_EQ(failure.status, SendmailInputError);
  }
  EXPECT_FALSE(connection.m_bConnected);
  // A message sent after it has its reply only once the server has read the first
  // connection to its close: the server then holds the second message alone.
  CSendmailConnection second(false);
  second.Connect("127.0.0.1", AuthNone, "", "", server.Port(), false);
  CInputLines secondInput([done = false](char* buffer, std::size_t) mutable -> long {
    if (std::exchange(done, true)) return 0;
    std::memcpy(buffer, "whole\n", 6);
    return 6;
  });
  CBodyStream secondBody(secondInput, false, false);
  secondBody.LookAhead();
  secondBody.Start(false, 3);
  second.SendStreamed(envelope, "Subject: whole\r\n", secondBody);
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_EQ(server.Messages()[0].content, "Subject: whole\r\n\r\nwhole\r\n");
}

}  // namespace

// The sendmail face's transfer against aiosmtpd: a body that fails part way, after
// megabytes have gone out, is never delivered.
#include "app/sendmail/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "app/sendmail/failure.h"
#include "tests/support/smtp_server.h"

namespace {

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

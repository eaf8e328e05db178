// A message whose Date and Message-ID lines are fixed, so that a test knows its header
// block before the message is sent.
#pragma once

#include <ctime>
#include <string>

#include "mime/message.h"

inline constexpr std::time_t fixedDate = 1796595459;  // 2026-12-06 22:17:39 UTC
inline constexpr const char* fixedMessageId = "fixed-message-id@example.com";

class FixedDateMessage : public CTAVSMTPMessage {
 public:
  FixedDateMessage() { messageId = fixedMessageId; }
  std::string BuildHeader() override { return BuildHeaderAt(fixedDate); }
  std::string FixedHeader() const { return BuildHeaderAt(fixedDate); }
};

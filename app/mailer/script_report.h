// The outcome of a send run for the calling script: the server's reply to each
// recipient, as the transfer reads them, and the whole outcome as one JSON object on
// standard output (--json):
//
//   {"status": "sent" | "queued" | "failed", "exitStatus": 0, "messageId": "<...>",
//    "recipients": [{"address": "a@example.org", "kind": "to" | "cc" | "bcc",
//                    "outcome": "accepted" | "refused" | "not tried", "reply": "250 ..."}],
//    "lastReply": "...", "error": "...", "queueId": "..."}
//
// "error" only after a failure, "queueId" only for a queued message.
#pragma once

#include <string>
#include <vector>

#include "mime/message.h"
#include "smtp/connection.h"

// The engine with the replies to its RCPT TO commands kept in order, whether they go
// one at a time or pipelined (both read them with ExpectEitherReply(250, 251)).
class CRecipientReplyConnection : public CTAVSMTPConnection {
 public:
  struct Reply {
    bool accepted;
    std::string text;
  };

  bool ExpectEitherReply(int code1, int code2) override;

  std::vector<Reply> recipientReplies;
};

struct ScriptOutcome {
  const char* status;  // "sent", "queued" or "failed"
  int exitStatus;
  std::string error;    // empty: none
  std::string queueId;  // empty: not queued
};

// The JSON text, one line; recipients in envelope order (To, Cc, Bcc), each with the
// reply that replies holds for it, "not tried" past their end.
std::string OutcomeJson(const CTAVSMTPMessage& message, const std::vector<CRecipientReplyConnection::Reply>& replies,
                        const std::string& lastReply, const ScriptOutcome& outcome);

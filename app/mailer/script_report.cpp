#include "app/mailer/script_report.h"

#include <nlohmann/json.hpp>

#include "platform/code_page.h"

bool CRecipientReplyConnection::ExpectEitherReply(int code1, int code2) {
  const bool accepted = CTAVSMTPConnection::ExpectEitherReply(code1, code2);
  if (code1 == 250 && code2 == 251) recipientReplies.push_back({accepted, GetLastReply()});
  return accepted;
}

namespace {

// Texts go out as UTF-8 whatever the code page, with bytes that are not replaced.


}  // namespace

std::string OutcomeJson(const CTAVSMTPMessage& message, const std::vector<CRecipientReplyConnection::Reply>& replies,
                        const std::string& lastReply, const ScriptOutcome& outcome) {
  // Texts go out as UTF-8 whatever the code page.
  nlohmann::json recipients = nlohmann::json::array();
  std::size_t index = 0;
  const std::pair<const char*, int> kinds[] = {
      {"to", CTAVSMTPMessage::RecipientTo}, {"cc", CTAVSMTPMessage::RecipientCc}, {"bcc", CTAVSMTPMessage::RecipientBcc}};
  for (const auto& [kind, list] : kinds) {
    for (int i = 0; i < message.RecipientCount(list); ++i, ++index) {
      nlohmann::json recipient = {{"address", Utf8FromAnsi(message.RecipientAt(i, list)->emailAddress)}, {"kind", kind}};
      if (index < replies.size()) {
        recipient["outcome"] = replies[index].accepted ? "accepted" : "refused";
        recipient["reply"] = Utf8FromAnsi(replies[index].text);
      } else {
        recipient["outcome"] = "not tried";
      }
      recipients.push_back(recipient);
    }
  }
  nlohmann::json object = {{"status", outcome.status},
                           {"exitStatus", outcome.exitStatus},
                           {"messageId", message.messageId.empty() ? "" : "<" + Utf8FromAnsi(message.messageId) + ">"},
                           {"recipients", recipients},
                           {"lastReply", Utf8FromAnsi(lastReply)}};
  if (!outcome.error.empty()) object["error"] = Utf8FromAnsi(outcome.error);
  if (!outcome.queueId.empty()) object["queueId"] = outcome.queueId;
  // Bytes that are not UTF-8 (a server's reply) are replaced rather than refused.
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

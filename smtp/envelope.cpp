// The envelope commands' texts and the checks of the addresses they carry (RFC 5321
// MAIL FROM and RCPT TO, RFC 3461 NOTIFY and ENVID).
#include "smtp/envelope.h"

#include <algorithm>

#include "smtp/guards.h"

namespace {

constexpr std::int32_t noDsn = -1;

// The NOTIFY items by their bits, in the order they are listed.
struct NotifyItem {
  std::int32_t bit;
  const char* name;
};
constexpr NotifyItem notifyItems[] = {{1, "SUCCESS"}, {2, "FAILURE"}, {4, "DELAY"}};

// A command line may have commandLineLimit octets with its CR LF.
constexpr auto maxCommandLength = static_cast<std::ptrdiff_t>(commandLineLimit);
// The length of the envelope ids that MakeEnvelopeId makes.
constexpr std::ptrdiff_t madeEnvelopeIdLength = 32;

constexpr std::ptrdiff_t Length(std::string_view text) { return std::ssize(text); }

}  // namespace

std::string NotifyList(std::int32_t notify) {
  std::string list;
  for (const NotifyItem& item : notifyItems) {
    if ((notify & item.bit) == 0) continue;
    if (!list.empty()) list += ",";
    list += item.name;
  }
  return list.empty() ? "NEVER" : list;
}

std::string FormatRcptTo(const std::string& address, std::int32_t notify) {
  // Made in one piece, without temporaries: it is made between two replies.
  using namespace std::string_view_literals;
  std::string command;
  command.reserve(address.size() + "RCPT TO:<>\r\n"sv.size());
  command.append("RCPT TO:<"sv).append(address).append(">"sv);
  if (notify != noDsn) command.append(" NOTIFY="sv).append(NotifyList(notify));
  command.append("\r\n"sv);
  return command;
}

std::ptrdiff_t SenderRoom(std::int32_t notify, std::string_view envelopeId) {
  std::ptrdiff_t rest = Length("MAIL FROM:<>\r\n");
  if (notify != noDsn) {
    const std::ptrdiff_t id = envelopeId.empty() ? madeEnvelopeIdLength : Length(envelopeId);
    rest += Length(" RET=HDRS ENVID=") + id;  // RET=FULL is as long
  }
  return maxCommandLength - rest;
}

std::ptrdiff_t RecipientRoom(std::int32_t notify) {
  std::ptrdiff_t rest = Length("RCPT TO:<>\r\n");
  if (notify != noDsn) rest += Length(" NOTIFY=") + Length(NotifyList(notify));
  return maxCommandLength - rest;
}

bool IsUnsendableBracketedText(std::string_view text, std::ptrdiff_t room) {
  // CR, LF and NUL end a line; "<" and ">" the brackets.
  constexpr std::string_view unsendable{"\r\n\0<>", 5};
  return Length(text) > room || HoldsAnyOf(text, unsendable);
}

bool IsEnvelopeIdSendable(std::int32_t notify, std::string_view envelopeId) {
  if (notify == noDsn) return true;
  return std::all_of(envelopeId.begin(), envelopeId.end(),
                     [](char c) { return c > ' ' && c < '\x7f'; });
}

void RefuseUnsendableEnvelope(std::string_view sender, const std::vector<std::string>& recipients,
                              std::int32_t notify, std::string_view envelopeId, std::size_t parameters) {
  const std::ptrdiff_t recipientRoom = RecipientRoom(notify);
  const bool badRecipient =
      std::any_of(recipients.begin(), recipients.end(),
                  [&](const std::string& r) { return IsUnsendableBracketedText(r, recipientRoom); });
  const std::ptrdiff_t senderRoom = SenderRoom(notify, envelopeId) - static_cast<std::ptrdiff_t>(parameters);
  if (badRecipient || IsUnsendableBracketedText(sender, senderRoom) ||
      !IsEnvelopeIdSendable(notify, envelopeId)) {
    RaiseSmtpError(ERROR_INVALID_PARAMETER, FACILITY_WIN32, "");
  }
}

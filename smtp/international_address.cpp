// Internationalised addresses: SMTPUTF8 (RFC 6531, RFC 6532) and IDNA A-labels
// (RFC 5890, RFC 5891) for the envelope and the header block.
#include "smtp/international_address.h"

#include <algorithm>

#include "errors/message_table.h"
#include "errors/raise.h"
#include "platform/code_page.h"
#include "platform/idna.h"

namespace {

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; });
}

// The local part and the domain, split at the last "@" (a quoted local part may hold
// one); an address without "@" is a local part alone.
struct AddressParts {
  std::string_view localPart;
  std::string_view domain;
  bool hasDomain;
};

AddressParts SplitAddress(std::string_view address) {
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos) return {address, {}, false};
  return {address.substr(0, at), address.substr(at + 1), true};
}

[[noreturn]] void RaiseNotSendable(std::string_view address, const std::string& reason) {
  RaiseSmtpError(msgAddressNotSendable, FACILITY_ITF, std::string(address) + ": " + reason);
}

constexpr const char* needsSmtpUtf8 =
    "its local part is not ASCII, which needs SMTPUTF8, and the server does not offer SMTPUTF8";

// Every address of the message, the header's as well as the envelope's.
std::vector<CTAVSMTPAddress*> MessageAddresses(CTAVSMTPMessage& message) {
  std::vector<CTAVSMTPAddress*> addresses{&message.from, &message.replyTo};
  for (auto* list : {&message.toList, &message.ccList, &message.bccList}) {
    for (auto& address : *list) addresses.push_back(address.get());
  }
  return addresses;
}

}  // namespace

bool IsInternationalAddress(std::string_view address) { return !IsAscii(address); }

bool ChooseSmtpUtf8(const std::vector<std::string_view>& addresses, bool offered) {
  if (std::none_of(addresses.begin(), addresses.end(), IsInternationalAddress)) return false;
  if (offered) return true;
  for (std::string_view address : addresses) {
    if (!IsAscii(SplitAddress(address).localPart)) RaiseNotSendable(address, needsSmtpUtf8);
  }
  return false;
}

std::string TransferAddress(std::string_view address, bool smtpUtf8) {
  if (IsAscii(address)) return std::string(address);
  const AddressParts parts = SplitAddress(address);
  if (!smtpUtf8 && !IsAscii(parts.localPart)) RaiseNotSendable(address, needsSmtpUtf8);
  const std::string utf8Domain = Utf8FromAnsi(parts.domain);
  std::string aLabel = utf8Domain;
  std::string reason;
  if (!IsAscii(parts.domain) && !DomainToAscii(utf8Domain, aLabel, reason)) {
    RaiseNotSendable(address, "its domain is not a valid internationalised domain name: " + reason);
  }
  if (smtpUtf8) return Utf8FromAnsi(address);
  return std::string(parts.localPart) + (parts.hasDomain ? "@" : "") + aLabel;
}

bool ConvertEnvelopeAddresses(std::string& sender, std::vector<std::string>& recipients,
                              bool offered) {
  std::vector<std::string_view> addresses{sender};
  addresses.insert(addresses.end(), recipients.begin(), recipients.end());
  const bool smtpUtf8 = ChooseSmtpUtf8(addresses, offered);
  sender = TransferAddress(sender, smtpUtf8);
  for (std::string& recipient : recipients) recipient = TransferAddress(recipient, smtpUtf8);
  return smtpUtf8;
}

CTransferAddresses::CTransferAddresses(CTAVSMTPMessage& message, bool offered) {
  const std::vector<CTAVSMTPAddress*> addresses = MessageAddresses(message);
  std::vector<std::string_view> texts;
  for (const CTAVSMTPAddress* address : addresses) texts.push_back(address->emailAddress);
  // ASCII addresses (the usual message's) go out as given, without SMTPUTF8.
  if (std::none_of(texts.begin(), texts.end(), IsInternationalAddress)) return;
  smtpUtf8 = ChooseSmtpUtf8(texts, offered);
  // All are converted before any is replaced, so a refused one leaves the message as it
  // was given.
  std::vector<std::string> forms;
  for (const CTAVSMTPAddress* address : addresses) {
    forms.push_back(TransferAddress(address->emailAddress, smtpUtf8));
  }
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (forms[i] == addresses[i]->emailAddress) continue;
    replaced.push_back({addresses[i], std::move(addresses[i]->emailAddress)});
    addresses[i]->emailAddress = std::move(forms[i]);
  }
}

CTransferAddresses::~CTransferAddresses() {
  for (Replaced& r : replaced) r.address->emailAddress = std::move(r.given);
}

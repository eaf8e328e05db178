#include "mime/address.h"

#include <utility>

#include "mime/fill_template.h"
#include "mime/header_encoding.h"

CTAVSMTPAddress::CTAVSMTPAddress(std::string name, std::string address)
    : displayName(std::move(name)), emailAddress(std::move(address)) {}

std::string CTAVSMTPAddress::ToHeaderText(bool encode, const std::string& charset) const {
  if (displayName.empty()) return emailAddress;
  const std::string name = encode ? EncodeDisplayName(displayName, charset) : displayName;
  return FillTemplate("%s <%s>", {name, emailAddress});
}

// A mailbox with its display name, as the header lines show it (RFC 2822 name-addr).
#pragma once

#include <string>

class CTAVSMTPAddress {
 public:
  CTAVSMTPAddress() = default;
  CTAVSMTPAddress(std::string name, std::string address);

  // "name <address>", or the bare address when the name is empty. With encode, the
  // name goes through EncodeHeaderText with the charset, so 8-bit names become encoded
  // words. Nothing is quoted or checked.
  std::string ToHeaderText(bool encode, const std::string& charset) const;

  std::string displayName;
  std::string emailAddress;
};
